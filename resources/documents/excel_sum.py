import math
from openpyxl import load_workbook

path = {{path}}
column = {{column}}.upper()
start = {{start}}
end = {{end}}
formulas = load_workbook(path, data_only=False).active
values = load_workbook(path, data_only=True).active
total = 0.0
uncomputed = 0


def number(v):
    if isinstance(v, bool):
        return None
    if isinstance(v, (int, float)):
        return float(v)
    if isinstance(v, str):
        try:
            f = float(v.replace(",", ""))
        except ValueError:
            return None
        return f if math.isfinite(f) else None
    return None


for r in range(start, end + 1):
    ref = column + str(r)
    cell = formulas[ref]
    if cell.data_type == "f":
        # A formula counts with the value the spreadsheet last computed for it.
        cached = number(values[ref].value)
        if cached is None:
            uncomputed += 1
        else:
            total += cached
        continue
    n = number(cell.value)
    if n is not None:
        total += n
if uncomputed:
    print("%r (%d formula cell%s without a computed value not counted)" % (total, uncomputed, "" if uncomputed == 1 else "s"))
else:
    print(repr(total))
