from openpyxl import load_workbook

path = {{path}}
limit = {{limit}}
wb = load_workbook(path, data_only=False)
lines = []
for ws in wb.worksheets:
    lines.append("# sheet " + ws.title)
    for row in ws.iter_rows(values_only=True):
        lines.append("\t".join("" if v is None else str(v) for v in row))
print("\n".join(lines)[:limit])
