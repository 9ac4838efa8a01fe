from openpyxl import load_workbook

path = {{path}}
cell = {{cell}}.upper()
value = {{value}}
wb = load_workbook(path)
ws = wb.active
try:
    stored = float(value) if "." in value else int(value)
except ValueError:
    stored = value
ws[cell] = stored
save_replacing(path, wb.save)
print("ok: " + path + " " + cell + "=" + repr(ws[cell].value))
