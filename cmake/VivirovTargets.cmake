# Every target collects its sources by folder, so adding a file to an area
# needs no edit here.
function(vivirov_glob out)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS ${ARGN})
  set(${out} ${found} PARENT_SCOPE)
endfunction()
