# One float changed in place through edit, set beside atbutil set of the same float.
import sys

import atbfile

with atbfile.edit(sys.argv[1]) as t:
    t[int(sys.argv[2])] = float(sys.argv[3])
