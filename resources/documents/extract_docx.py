from docx import Document

path = {{path}}
limit = {{limit}}
doc = Document(path)
lines = [p.text for p in doc.paragraphs]
for table in doc.tables:
    for row in table.rows:
        lines.append(" | ".join(cell.text for cell in row.cells))
print("\n".join(lines)[:limit])
