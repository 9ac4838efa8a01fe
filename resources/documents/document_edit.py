import datetime
from docx import Document

path = {{path}}
instruction = {{instruction}}
find = {{find}}
replace = {{replace}}
doc = Document(path)
changes = []
if find:
    count = 0
    for p in doc.paragraphs:
        if find in p.text:
            p.text = p.text.replace(find, replace)
            count += 1
    # A merged cell appears once per grid column it spans; edit it once.
    seen = set()
    for table in doc.tables:
        for row in table.rows:
            for cell in row.cells:
                if cell._tc in seen:
                    continue
                seen.add(cell._tc)
                if find in cell.text:
                    cell.text = cell.text.replace(find, replace)
                    count += 1
    changes.append("replace_all count=%d find=%r -> %r" % (count, find, replace))
doc.add_heading("Revisions", 2)
now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
doc.add_paragraph("[" + now.isoformat() + "Z] " + instruction)
for change in changes:
    doc.add_paragraph(change)
save_replacing(path, doc.save)
print("ok: edited " + path + " | " + ("; ".join(changes) if changes else "appended revision note"))
