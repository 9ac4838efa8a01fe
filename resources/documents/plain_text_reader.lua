-- Reads a file as plain text for pandoc: one paragraph per line, nothing
-- interpreted as markup.
function Reader(input)
  local text = tostring(input):gsub("[\r\n]+$", "")
  local blocks = {}
  if text == "" then
    return pandoc.Pandoc(blocks)
  end
  for line in (text .. "\n"):gmatch("(.-)\r?\n") do
    blocks[#blocks + 1] = pandoc.Para({pandoc.Str(line)})
  end
  return pandoc.Pandoc(blocks)
end
