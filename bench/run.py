"""Benchmark of btree.BTree and btreemap.BTreeMap against other sorted maps
and dict, and of btreemap's sorted list and set against sortedcontainers'.

Usage (from the repository root):

    make bench                                    # default run, ~14 min
    make bench BENCH_ARGS=--quick                 # smoke run, < 1 min
    make bench BENCH_ARGS="--sizes 1e6 --keys int --ops lookup_hit,irange_100"
    make bench BENCH_ARGS="--huge --chart"        # adds 10^7 keys; PNG chart
    make bench BENCH_ARGS=--callgrind             # instructions/op, ~ minutes
    .venv-bench/bin/python bench/run.py --help    # once the venv exists

Systems: btree (btree.BTree), btreemap (btreemap.BTreeMap), sortedcontainers
(SortedDict), BTrees (ZODB's LOBTree for int keys, OOBTree otherwise),
pysorteddict (SortedDict, C++) and dict, the floor for point operations. Key types: random 63-bit int, random
float, random 12-character str. Sizes: 10^3, 10^5, 10^6 (10^7 with --huge).
The list and set family (see family.py): btreelist (btreemap.BTreeList),
btreelist_key (the same with a key function), btreeset (btreemap.BTreeSet)
and sortedcontainers' SortedList, SortedKeyList (the same key function) and
SortedSet, on the int and str datasets; a type that btreemap lacks is "n/a".

Method:
- Every dataset is generated once from a fixed seed and written to a
  temporary file; each system then runs on that file in a fresh worker
  process (one process per system and dataset, PYTHONHASHSEED=0).
- Each operation is a tight loop over a pre-built list with the methods bound
  to locals, timed with time.perf_counter_ns with the garbage collector off.
  It is repeated (--repeat; default 5 up to 10^5 keys, 2 at 10^6, 1 above)
  in each of one or more rounds (--rounds; default 1 up to 10^5 keys, 2
  from 10^6): a round runs every system once, in turn, so that a slow spell
  of the machine cannot fall on one system alone. The min and median ns/op
  over all repetitions of all rounds are kept; each table of minima is
  followed by the same table of medians.
- Operations: insert in random and in ascending order into a growing map;
  lookup of present keys and of absent ones (the miss includes raising and
  catching KeyError, for every system); `k in m` and `m.get(k, d)` on
  present and absent keys (btree: search, catching KeyError); deletion of
  every key in random order; bisect_left on random probes; irange windows of
  100 consecutive keys materialised as a list; the key at random positions
  (btreemap and peers: keys()[i]); peekitem(i) at the same positions and
  index(k) of present keys; popitem(i) at random positions of the full map,
  whose items are put back untimed; full iteration of keys (`for k in m`;
  btree: keys()) and of items, forward and reversed; construction from
  sorted (key, value) pairs (btreemap: BTreeMap.fromsorted) and from an
  unsorted dict; pickle.loads(pickle.dumps(m)); union, intersection and
  difference of two maps of n keys with n/2 in common (see merges.py),
  reported per input item. Constructions and the pickle round trip are
  reported per item. Probes: at most 200,000 per run, positions a tenth as
  many (100 on pysorteddict, whose keys()[i] walks the map); 2,000 windows.
  btreemap and the peers use m[k] = v, m[k], del m[k]; btree its methods. Operations btree has no method for (bulk build, positional
  access, merges) call its C API entries through ctypes, with everything
  prepared before the clock starts (the rows of the first two are marked *);
  a positional access is also shown less the cost of a ctypes call, measured
  on a list, or as "below resolution" where the difference is within the
  spread of the repetitions.
- An operation a system does not offer, or that raises NotImplementedError
  (btree operations still being built), is shown as "n/a"; one whose result
  fails a sanity check (length, window size) as "error"; a worker that dies
  leaves "crash" in its remaining cells.
- The family: add, remove, discard, pop(i), s[i], index(v), bisect_left and
  bisect_right, `v in s` (present and absent), iteration forward and
  reversed, construction from an unsorted and from a sorted list, update
  with n/10 new elements, and the sets' union and intersection of two sets
  of n elements with n/2 in common; point loops make at most 20,000 calls.
  --ops and --systems select among them as among the maps' (names shared
  with a map operation select both).
- Memory: a map of 10^6 int keys (10^5 with --quick) inserted in random order
  with None values, measured in fresh processes as RSS growth and as
  tracemalloc's count, once with the key objects created beforehand
  (structure only) and once created during the build (counted). For the
  family: whole-process bytes per element (RSS growth of a fresh process,
  the int objects included) of a list, SortedList, SortedSet, BTreeList,
  BTreeSet and a BTreeMap of the same keys with None values, each filled
  one by one and built from an iterable.

- Targets: after the tables, every performance target at 10^6 keys is shown
  met or missed with its measured ratio (see targets.py); a run without
  10^6 keys (--quick) judges none.
- Summary: the run ends with BTreeMap's lead over the fastest sorted peer
  for each operation, key type and size, each list and set type's over its
  sortedcontainers counterpart, and the count of targets met, missed and not
  judged (see summary.py). A quick run says so at its start and end.
- --callgrind: instead of timing, counts instructions per operation under
  valgrind's callgrind at 10^5 keys, a measure that other work on the
  machine does not disturb (see callgrind.py); a few minutes per key type.

Output: one table per size and key type (rows: operations; columns: ns/op of
each system and each peer's ratio to btree, > 1 meaning btree is faster; in
a row btree has no figure in, the ratio to btreemap, marked "o"), the
set merges table, the memory table, one table per size and element type of
the family (each sortedcontainers type's ratio to its btreemap counterpart)
and its memory table, the targets,
bench/results/results.json (all figures, min and median, every repetition,
the targets; the family's in "family" and "family_memory") and, with --chart, bench/results/chart.png (the maps) and family_chart.png (the list and set family). With --callgrind
the same tables of instructions/op and bench/results/callgrind.json.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import callgrind
import datasets
import family
import report
import spawn
import summary
import systems
import targets
from workloads import OP_NAMES

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
DEFAULT_SIZES = (10**3, 10**5, 10**6)
QUICK_SIZES = (10**3, 10**4)
HUGE = 10**7
ALL_OPS = tuple(dict.fromkeys(OP_NAMES + family.OP_NAMES))
ALL_SYSTEMS = (*systems.SYSTEMS, *family.SYSTEMS)
SEED = 20240601
# A one-minute load average above this means something else is running.
BUSY_LOAD = 0.5


def parse_size(text):
    text = text.strip().replace("_", "").replace(",", "")
    if "^" in text:
        base, exp = text.split("^")
        return int(base) ** int(exp)
    return int(float(text)) if "e" in text.lower() else int(text)


def parse_list(text, allowed, what):
    items = [t.strip() for t in text.split(",") if t.strip()]
    unknown = [t for t in items if t not in allowed]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown {what}: {', '.join(unknown)}; "
                                         f"choose from {', '.join(allowed)}")
    return items


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", type=lambda t: [parse_size(s) for s in t.split(",")],
                   help="comma-separated sizes, e.g. 1000,1e5,10^6")
    p.add_argument("--ops", type=lambda t: parse_list(t, ALL_OPS, "operation"),
                   default=list(ALL_OPS), help=f"subset of: {','.join(ALL_OPS)}")
    p.add_argument("--systems", type=lambda t: parse_list(t, ALL_SYSTEMS, "system"),
                   default=list(ALL_SYSTEMS), help=f"subset of: {','.join(ALL_SYSTEMS)}")
    p.add_argument("--keys", type=lambda t: parse_list(t, datasets.KEY_TYPES, "key type"),
                   default=list(datasets.KEY_TYPES),
                   help=f"subset of: {','.join(datasets.KEY_TYPES)}")
    p.add_argument("--repeat", type=int, help="repetitions of every operation in a round")
    p.add_argument("--rounds", type=int,
                   help="worker processes per system and dataset, run in turn with the others")
    p.add_argument("--quick", action="store_true",
                   help="sizes 10^3 and 10^4, 2 repetitions, memory at 10^5")
    p.add_argument("--huge", action="store_true", help="add 10^7 keys")
    p.add_argument("--memory-size", type=parse_size,
                   help="int keys for the memory measurement (0: skip it)")
    p.add_argument("--chart", action="store_true", help="also write a PNG chart")
    p.add_argument("--callgrind", action="store_true",
                   help=f"count instructions under callgrind at {callgrind.SIZE:,} keys "
                        "instead of timing")
    p.add_argument("--jobs", type=int, default=1,
                   help="workers run at once under --callgrind (default 1)")
    p.add_argument("--seed", type=int, default=SEED)
    p.add_argument("--out", type=Path,
                   help="JSON file (default: results/results.json, or results/callgrind.json "
                        "with --callgrind)")
    args = p.parse_args(argv)
    if args.out is None:
        args.out = RESULTS / ("callgrind.json" if args.callgrind else "results.json")
    if args.sizes is None:
        args.sizes = list(QUICK_SIZES if args.quick else DEFAULT_SIZES)
        if args.huge:
            args.sizes.append(HUGE)
    if args.memory_size is None:
        args.memory_size = 10**5 if args.quick else 10**6
    if args.quick and args.repeat is None:
        args.repeat = 2
    return args


def default_repeat(n):
    return 5 if n <= 10**5 else 2 if n <= 10**6 else 1


def default_rounds(n):
    return 1 if n <= 10**5 else 2


def merge_rounds(rounds):
    """One record per operation from the records of several rounds: the
    repetitions of all rounds pooled, or the first failure of any round."""
    merged = {}
    for records in rounds:
        for r in records:
            kept = merged.setdefault(r["op"], r)
            if kept is r or kept["status"] != "ok":
                continue
            if r["status"] != "ok":
                merged[r["op"]] = r
                continue
            runs = kept["runs_ns"] + r["runs_ns"]
            kept.update(runs_ns=runs, min_ns=min(runs), median_ns=statistics.median(runs))
    return list(merged.values())


def groups(args, kind=None):
    """The benchmarks a run makes, each (table, systems, ops), those with
    nothing chosen left out: the maps, and the list and set family, which
    takes int and str elements only."""
    chosen = [("map", [s for s in args.systems if s in systems.SYSTEMS],
               [op for op in args.ops if op in OP_NAMES])]
    if kind is None or kind in family.KINDS:
        chosen.append(("family", [s for s in args.systems if s in family.SYSTEMS],
                       [op for op in args.ops if op in family.OP_NAMES]))
    return [(table, names, ops) for table, names, ops in chosen if names and ops]


def bench_dataset(args, n, kind, available, tmp):
    """Times every chosen system on one dataset; returns the records, by
    table ("map" or "family")."""
    chosen = groups(args, kind)
    if not chosen:
        return {}
    repeat = args.repeat or default_repeat(n)
    rounds = args.rounds or default_rounds(n)
    path = Path(tmp) / f"{kind}-{n}.pickle"
    t0 = time.perf_counter()
    datasets.save(path, *datasets.generate(n, kind, args.seed))
    print(f"[n={n:,} {kind}] data: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    runs = {name: [] for _, names, _ in chosen for name in names}
    for _ in range(rounds):
        for _, names, ops in chosen:
            for name in names:
                runs[name].append(spawn.run_system(
                    name, available[name],
                    ["timing", name, str(path), ",".join(ops), str(repeat)], ops))
    path.unlink()
    reps = f"{repeat * rounds}" + (f" in {rounds} rounds" if rounds > 1 else "")
    records = {}
    for table, names, _ in chosen:
        cells = {}
        for name in names:
            for r in merge_rounds(runs[name]):
                r.update(size=n, kind=kind, system=name, repeat=repeat, rounds=rounds)
                cells[(name, r["op"])] = r
        if table == "map":
            report.add_net_index(cells, ["min_ns", "median_ns"])
        for field, detail in (("min_ns", "best"), ("median_ns", "median")):
            if table == "map":
                text = report.timing_table(n, kind, f"{detail} of {reps}", names, cells, field)
            else:
                text = report.family_table(
                    f"list and set family, n = {n:,}, {kind} elements: ns/op, {detail} of {reps}",
                    names, cells, field)
            if text:
                print(text + "\n", flush=True)
        records[table] = list(cells.values())
    return records


def bench_memory(args, names, available, tmp):
    n = args.memory_size
    path = Path(tmp) / f"int-array-{n}.bin"
    datasets.save_int_array(path, n, args.seed)
    print(f"[memory n={n:,}]", file=sys.stderr)
    records = {}
    for name in names:
        for count in (False, True):
            for traced in (False, True):
                (rec,) = spawn.run_system(
                    f"{name} ({'with' if count else 'without'} keys, "
                    f"{'traced' if traced else 'RSS'})", available[name],
                    ["memory", name, str(path), str(n), "count" if count else "nocount",
                     "traced" if traced else "rss"], ["memory"])
                rec.update(system=name, count_keys=count, traced=traced, n=n)
                records[(name, count, traced)] = rec
    path.unlink()
    print(report.memory_table(n, records) + "\n", flush=True)
    return list(records.values())


def bench_family_memory(args, names, available, tmp):
    """Whole-process bytes per element of a list, the chosen family types
    and, when chosen, a BTreeMap with None values."""
    n = args.memory_size
    path = Path(tmp) / f"int-array-{n}.bin"
    datasets.save_int_array(path, n, args.seed)
    print(f"[family memory n={n:,}]", file=sys.stderr)
    rows = [row for row in family.MEMORY_SYSTEMS
            if row == "list" or row in names or (row == systems.MAP and row in args.systems)]
    records = {}
    for row in rows:
        ok = available[row] if row in available else (True, "")
        for mode, _ in family.MEMORY_MODES:
            (rec,) = spawn.run_system(f"{row} ({mode})", ok,
                                      ["family-memory", row, str(path), str(n), mode],
                                      ["memory"])
            rec.update(system=row, mode=mode, n=n)
            records[(row, mode)] = rec
    path.unlink()
    print(report.family_memory_table(n, records) + "\n", flush=True)
    return list(records.values())


def git_commit():
    try:
        out = subprocess.run(["git", "-C", str(HERE), "describe", "--always", "--dirty"],
                             capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def installed(name):
    if name in family.SYSTEMS:
        return family.installed(family.SYSTEMS[name])
    return systems.installed(systems.SYSTEMS[name])


def main(argv=None):
    args = parse_args(argv)
    if args.quick:
        print(summary.QUICK + "\n", flush=True)
    if args.callgrind:
        callgrind.valgrind()
    available = {name: installed(name) for name in args.systems}
    for name, (ok, info) in available.items():
        print(f"{name}: {info}", file=sys.stderr)
    map_systems = [s for s in args.systems if s in systems.SYSTEMS]
    family_systems = [s for s in args.systems if s in family.SYSTEMS]
    meta = {
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "commit": git_commit(), "seed": args.seed, "sizes": args.sizes, "keys": args.keys,
        "ops": args.ops, "systems": {n: info for n, (_, info) in available.items()},
        "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "load_before": os.getloadavg(),
    }
    if meta["load_before"][0] > BUSY_LOAD:
        print(f"warning: load average {meta['load_before'][0]:.1f} on {os.cpu_count()} cores; "
              "other work will make the figures noisy", file=sys.stderr)
    t0 = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="btree-bench-") as tmp:
        if args.callgrind:
            section, field, detail = "callgrind", callgrind.FIELD, callgrind.DETAIL
            meta.update(sizes=[callgrind.SIZE], cap=callgrind.CAP)
            runs = [callgrind.run(args, kind, groups(args, kind), available, tmp)
                    for kind in args.keys]
        else:
            section, field, detail = "timing", "min_ns", "best of the repetitions"
            runs = [bench_dataset(args, n, kind, available, tmp)
                    for n in args.sizes for kind in args.keys]
        sections = {section: [r for run in runs for r in run.get("map", [])],
                    "family": [r for run in runs for r in run.get("family", [])]}
        merge_rows = report.merges_table(sections[section], map_systems, detail, field,
                                         notes=args.callgrind)
        if merge_rows and not args.callgrind:
            merge_rows += "\n\n" + report.merges_table(
                sections[section], map_systems, "median of the repetitions", "median_ns")
        if merge_rows:
            print(merge_rows + "\n")
        if args.memory_size and not args.callgrind:
            if map_systems:
                sections["memory"] = bench_memory(args, map_systems, available, tmp)
            if family_systems:
                sections["family_memory"] = bench_family_memory(args, family_systems,
                                                                available, tmp)
    report.add_family_ratios(sections["family"], field)
    sections["targets"] = targets.evaluate(sections[section] + sections["family"],
                                           sections.get("memory", []), field,
                                           sections.get("family_memory", []))
    judged = targets.table(sections["targets"], report.MEASURES[field][1])
    if judged:
        print(judged + "\n")
    print(summary.summary(sections[section], sections["family"], sections["targets"], field,
                          args.systems, args.quick), flush=True)
    meta["seconds"] = round(time.perf_counter() - t0, 1)
    meta["load_after"] = os.getloadavg()
    report.write_json(args.out, meta, sections, field)
    print(f"results: {args.out}", file=sys.stderr)
    if args.chart and not args.callgrind:
        chart = args.out.with_name("chart.png")
        if map_systems:
            report.write_chart(chart, sections["timing"], args.sizes, args.keys, map_systems)
            print(f"chart: {chart}", file=sys.stderr)
        if sections["family"]:
            chart = args.out.with_name("family_chart.png")
            report.write_family_chart(chart, sections["family"], args.keys, family_systems)
            print(f"chart of the list and set family: {chart}", file=sys.stderr)
    print(f"total: {meta['seconds']} s", file=sys.stderr)


if __name__ == "__main__":
    main()
