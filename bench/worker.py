"""Worker process: runs one system on one dataset and prints one JSON record
per line on stdout. Started by run.py and callgrind.py, never by hand:

    worker.py timing SYSTEM DATASET_FILE OPS REPEAT
    worker.py callgrind SYSTEM DATASET_FILE OPS CAP   (under valgrind)
    worker.py memory SYSTEM INT_ARRAY_FILE N count|nocount rss|traced
"""

import json
import sys

import clock
import datasets
import systems
import workloads


def main(argv):
    mode, name = argv[0], argv[1]
    system = systems.SYSTEMS[name]
    if mode in ("timing", "callgrind"):
        path, ops = argv[2], argv[3].split(",")
        if mode == "timing":
            options = {"repeat": int(argv[4])}
        else:
            clock.use_dumps()
            options = {"repeat": 1, "cap": int(argv[4]), "dumps": True}
        try:
            records = workloads.run_timing(system, datasets.load(path), ops, **options)
        except Exception as exc:
            # The map could not even be filled: nothing else can be timed.
            reason = f"{type(exc).__name__}: {exc}"
            records = [{"op": op, "status": "error", "reason": reason} for op in ops]
    else:
        path, n = argv[2], int(argv[3])
        count, traced = argv[4] == "count", argv[5] == "traced"
        keys = datasets.load_int_array(path, n)
        records = [workloads.run_memory(system, keys, count, traced)]
    for record in records:
        print(json.dumps(record), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
