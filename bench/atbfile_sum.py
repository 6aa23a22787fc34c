# loads of a whole file, then the sum of every float in it, reading every table: what a script
# over a file's values costs, set beside atbutil dump of the same file.
import sys

import atbfile

Float, Table = atbfile.Float, atbfile.Table
with open(sys.argv[1], "rb") as f:
    tree = atbfile.load(f)
total, tables = 0.0, [tree]
while tables:
    for entry in tables.pop():
        value = entry.value
        if type(value) is Float:
            total += float(value)
        elif type(value) is Table:
            tables.append(value)
print(total)
