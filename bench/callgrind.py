"""Instructions per operation under valgrind's callgrind: a measure that
other work on the machine does not disturb.

Each system runs the same workloads as the timed benchmark, on n = 10^5 keys
of each key type (the list and set family: int and str elements), in one worker under `valgrind --tool=callgrind`, with at
most CAP operations per insertion, deletion and probe loop: insertions grow
a map of n - CAP keys to n, deletions shrink one of n keys, probes ask a map
of n. The worker's clock (clock.py) makes callgrind dump its counts at every
reading, so the dump taken at the end of a loop holds that loop alone and
the setup before it (loading the data, building the map) is left out, as if
a baseline run doing the same setup without the operation had been
subtracted. The count includes the loop's own Python overhead, as the timed
figures do. Counts do not depend on the load of the machine, nor on --jobs,
the number of workers run at once.
"""

import shutil
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import clock
import datasets
import report
import spawn

SIZE = 10**5
CAP = 2 * 10**4
FIELD = "ir_per_op"
DETAIL = f"under callgrind, at most {CAP:,} operations per loop"


def valgrind():
    """valgrind's path, or exits with a message saying how to get it."""
    path = shutil.which("valgrind")
    if path is None:
        sys.exit("error: --callgrind needs valgrind, which is not on PATH; install it "
                 "(Debian: apt-get install valgrind) or run without --callgrind")
    return path


def instructions(dump_file):
    """The instruction count of one callgrind dump."""
    with open(dump_file) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise ValueError(f"{dump_file}: no totals line")


def run_system(name, available, path, ops, cap, tmp):
    """One system's records under callgrind, with ir_per_op where ok."""
    out = Path(tmp) / f"callgrind-{name}.out"
    prefix = [valgrind(), "--tool=callgrind", "-q", f"--callgrind-out-file={out}",
              f"--dump-before={clock.DUMP_TRIGGER}"]
    records = spawn.run_system(name, available, ["callgrind", name, str(path), ",".join(ops),
                                                 str(cap)], ops, prefix)
    for r in records:
        if r["status"] == "ok":
            (dump,) = r.pop("dumps")
            r["instructions"] = instructions(f"{out}.{dump}")
            r[FIELD] = r["instructions"] / r["nops"]
    for dump_file in Path(tmp).glob(f"{out.name}*"):
        dump_file.unlink()
    return records


def run(args, kind, chosen, available, tmp):
    """Measures every chosen system on one key type; prints a table per
    benchmark and returns the records by table, as chosen: (table, systems,
    ops) for the maps ("map") and the list and set family ("family")."""
    if not chosen:
        return {}
    path = Path(tmp) / f"{kind}-{SIZE}.pickle"
    datasets.save(path, *datasets.generate(SIZE, kind, args.seed, CAP))
    print(f"[callgrind n={SIZE:,} {kind}]", file=sys.stderr, flush=True)
    records = {}
    for table, names, ops in chosen:
        cells = {}
        with ThreadPoolExecutor(args.jobs) as pool:
            runs = pool.map(lambda name: run_system(name, available[name], path, ops, CAP, tmp),
                            names)
            for name, system_records in zip(names, runs):
                for r in system_records:
                    r.update(size=SIZE, kind=kind, system=name)
                    cells[(name, r["op"])] = r
        if table == "map":
            report.add_net_index(cells, [FIELD])
            text = report.timing_table(SIZE, kind, DETAIL, names, cells, FIELD)
        else:
            text = report.family_table(
                f"list and set family, n = {SIZE:,}, {kind} elements: instructions/op, {DETAIL}",
                names, cells, FIELD)
        print(text + "\n", flush=True)
        records[table] = list(cells.values())
    path.unlink()
    return records
