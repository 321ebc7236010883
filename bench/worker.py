"""Worker process: runs one system on one dataset and prints one JSON record
per line on stdout. Started by run.py, never by hand:

    worker.py timing SYSTEM DATASET_FILE OPS REPEAT
    worker.py memory SYSTEM INT_ARRAY_FILE N count|nocount rss|traced
"""

import json
import sys

import datasets
import systems
import workloads


def main(argv):
    mode, name = argv[0], argv[1]
    system = systems.SYSTEMS[name]
    if mode == "timing":
        path, ops, repeat = argv[2], argv[3].split(","), int(argv[4])
        try:
            records = workloads.run_timing(system, datasets.load(path), ops, repeat)
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
