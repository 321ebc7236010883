"""The clock that every timed loop reads, before and after the loop.

Normally it is time.perf_counter_ns. Under callgrind, use_dumps() turns each
reading into a dump of the instruction counts gathered since the previous
one (valgrind runs with --dump-before=getppid, and the reading calls
getppid), so the dump taken at a loop's closing reading holds exactly the
loop: building the map and checking results stay in other dumps, as if a
baseline run doing the same setup without the loop had been subtracted.
"""

import os
from time import perf_counter_ns

now = perf_counter_ns
# Under callgrind: the number of the dump taken at the latest reading.
dumps = 0

# The function whose entry triggers a dump, for valgrind's --dump-before.
DUMP_TRIGGER = "getppid"


def _dump():
    global dumps
    os.getppid()
    dumps += 1
    return dumps


def use_dumps():
    global now
    now = _dump
