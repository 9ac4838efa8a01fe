import fitz

path = {{path}}
limit = {{limit}}
doc = fitz.open(path)
text = "".join(page.get_text() for page in doc)
if not text.strip():
    print("error: empty PDF text (scanned?)")
else:
    print(text[:limit])
