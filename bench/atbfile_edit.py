# One float changed in place through edit, set beside atbutil set of the same float. With a
# fourth argument, appends to that file the seconds the block took (and no peak memory), as the
# bench's timed lines have them.
import resource
import sys
import time

import atbfile

start = time.perf_counter()
with atbfile.edit(sys.argv[1]) as t:
    t[int(sys.argv[2])] = float(sys.argv[3])
took = time.perf_counter() - start
if len(sys.argv) > 4:
    with open(sys.argv[4], "a") as f:
        print(f"{took:.4f} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}", file=f)
