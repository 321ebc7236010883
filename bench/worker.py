"""Worker process: runs one system on one dataset and prints one JSON record
per line on stdout. Started by run.py and callgrind.py, never by hand:

    worker.py timing SYSTEM DATASET_FILE OPS REPEAT
    worker.py callgrind SYSTEM DATASET_FILE OPS CAP   (under valgrind)
    worker.py memory SYSTEM INT_ARRAY_FILE N count|nocount rss|traced
    worker.py family-memory ROW INT_ARRAY_FILE N add|build

SYSTEM is a map of systems.py or a list or set of family.py.
"""

import json
import sys

import clock
import datasets
import family
import systems
import workloads


def main(argv):
    mode, name = argv[0], argv[1]
    if mode in ("timing", "callgrind"):
        path, ops = argv[2], argv[3].split(",")
        if mode == "timing":
            options = {"repeat": int(argv[4])}
        else:
            clock.use_dumps()
            options = {"repeat": 1, "dumps": True}
            if name not in family.SYSTEMS:
                options["cap"] = int(argv[4])
        if name in family.SYSTEMS:
            system, run = family.SYSTEMS[name], family.run_timing
        else:
            system, run = systems.SYSTEMS[name], workloads.run_timing
        try:
            records = run(system, datasets.load(path), ops, **options)
        except Exception as exc:
            # The structure could not even be filled: nothing else can be timed.
            reason = f"{type(exc).__name__}: {exc}"
            records = [{"op": op, "status": "error", "reason": reason} for op in ops]
    elif mode == "family-memory":
        path, n = argv[2], int(argv[3])
        records = [family.run_memory(name, datasets.load_int_array(path, n), argv[4])]
    else:
        path, n = argv[2], int(argv[3])
        count, traced = argv[4] == "count", argv[5] == "traced"
        keys = datasets.load_int_array(path, n)
        records = [workloads.run_memory(systems.SYSTEMS[name], keys, count, traced)]
    for record in records:
        print(json.dumps(record), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
