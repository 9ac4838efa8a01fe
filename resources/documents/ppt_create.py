from pptx import Presentation

path = {{path}}
slides = {{slides}}
prs = Presentation()
lines = [line.strip() for line in slides.split("\n")]
lines = [line for line in lines if line]
if not lines:
    lines = ["Dudive|Heritage jewellery craftsmanship"]
layout = prs.slide_layouts[1]
for line in lines:
    title, _, body = line.partition("|")
    slide = prs.slides.add_slide(layout)
    slide.shapes.title.text = title.strip()
    placeholders = list(slide.placeholders)
    if len(placeholders) > 1:
        placeholders[1].text = body.strip()
prs.save(path)
print("ok: wrote %s slides=%d" % (path, len(lines)))
