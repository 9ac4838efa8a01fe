from docx import Document

path = {{path}}
title = {{title}}
content = {{content}}
doc = Document()
if title:
    doc.add_heading(title, 0)
for piece in content.split("\n"):
    doc.add_paragraph(piece)
doc.save(path)
print("ok")
