import json
import fitz

path = {{path}}
fields = json.loads({{fields}})
if not isinstance(fields, dict):
    sys.exit("fields must be a JSON object")
doc = fitz.open(path)
count = 0
for page in doc:
    for widget in page.widgets():
        name = widget.field_name or ""
        if name in fields:
            widget.field_value = str(fields[name])
            widget.update()
            count += 1
if count == 0:
    page = doc[0]
    y = 72
    for key, value in fields.items():
        page.insert_text((72, y), key + ": " + str(value), fontsize=11)
        y += 16
    message = "ok: stamped %d fields (no AcroForm widgets) on %s" % (len(fields), path)
else:
    message = "ok: filled %d form widgets on %s" % (count, path)
# PyMuPDF cannot rewrite the file it has open in place: save a new copy and
# rename it over the original.
save_replacing(path, lambda tmp: doc.save(tmp, incremental=False, encryption=fitz.PDF_ENCRYPT_NONE))
doc.close()
print(message)
