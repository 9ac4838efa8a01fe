from docx import Document

path = {{path}}
title = {{title}}
content = {{content}}
doc = Document()
if title:
    doc.add_heading(title, 0)
for line in content.split("\n"):
    doc.add_paragraph(line)
doc.save(path)
print("ok")
