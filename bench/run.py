"""Benchmark of btree.BTree against other sorted maps and dict.

Usage (from the repository root):

    make bench                                    # default run, ~10 min
    make bench BENCH_ARGS=--quick                 # smoke run, < 1 min
    make bench BENCH_ARGS="--sizes 1e6 --keys int --ops lookup_hit,irange_100"
    make bench BENCH_ARGS="--huge --chart"        # adds 10^7 keys; PNG chart
    .venv-bench/bin/python bench/run.py --help    # once the venv exists

Systems: btree (btree.BTree), sortedcontainers (SortedDict), BTrees (ZODB's
LOBTree for int keys, OOBTree otherwise), pysorteddict (SortedDict, C++) and
dict, the floor for point operations. Key types: random 63-bit int, random
float, random 12-character str. Sizes: 10^3, 10^5, 10^6 (10^7 with --huge).

Method:
- Every dataset is generated once from a fixed seed and written to a
  temporary file; each system then runs on that file in a fresh worker
  process (one process per system and dataset, PYTHONHASHSEED=0).
- Each operation is a tight loop over a pre-built list with the methods bound
  to locals, timed with time.perf_counter_ns with the garbage collector off.
  It is repeated (--repeat; default 5 up to 10^5 keys, 3 at 10^6, 1 above)
  and the min and median ns/op are kept; tables show the min.
- Operations: insert in random and in ascending order into a growing map;
  lookup of present keys and of absent ones (the miss includes raising and
  catching KeyError, for every system); deletion of every key in random
  order; bisect_left on random probes; irange windows of 100 consecutive keys
  materialised as a list; full iteration of keys and of items; construction
  from sorted (key, value) pairs. Probes: at most 200,000 per run; 2,000
  windows. Peers use m[k] = v, m[k], del m[k]; btree its methods. btree's
  bulk build is its C API entry BuildFromSortedPairs, reached through
  ctypes with the key and value arrays prepared before the clock starts.
- An operation a system does not offer, or that raises NotImplementedError
  (btree operations still being built), is shown as "n/a"; one whose result
  fails a sanity check (length, window size) as "error"; a worker that dies
  leaves "crash" in its remaining cells.
- Memory: a map of 10^6 int keys (10^5 with --quick) inserted in random order
  with None values, measured in fresh processes as RSS growth and as
  tracemalloc's count, once with the key objects created beforehand
  (structure only) and once created during the build (counted).

Output: one table per size and key type (rows: operations; columns: ns/op of
each system and each peer's ratio to btree, > 1 meaning btree is faster), the
memory table, bench/results/results.json (all figures, min and median, every
repetition) and, with --chart, bench/results/chart.png.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import datasets
import report
import systems
from workloads import OP_NAMES

HERE = Path(__file__).resolve().parent
WORKER = HERE / "worker.py"
DEFAULT_SIZES = (10**3, 10**5, 10**6)
QUICK_SIZES = (10**3, 10**4)
HUGE = 10**7
SEED = 20240601
WORKER_TIMEOUT = 3600
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
    p.add_argument("--ops", type=lambda t: parse_list(t, OP_NAMES, "operation"),
                   default=list(OP_NAMES), help=f"subset of: {','.join(OP_NAMES)}")
    p.add_argument("--systems", type=lambda t: parse_list(t, list(systems.SYSTEMS), "system"),
                   default=list(systems.SYSTEMS),
                   help=f"subset of: {','.join(systems.SYSTEMS)}")
    p.add_argument("--keys", type=lambda t: parse_list(t, datasets.KEY_TYPES, "key type"),
                   default=list(datasets.KEY_TYPES),
                   help=f"subset of: {','.join(datasets.KEY_TYPES)}")
    p.add_argument("--repeat", type=int, help="repetitions of every operation")
    p.add_argument("--quick", action="store_true",
                   help="sizes 10^3 and 10^4, 2 repetitions, memory at 10^5")
    p.add_argument("--huge", action="store_true", help="add 10^7 keys")
    p.add_argument("--memory-size", type=parse_size,
                   help="int keys for the memory measurement (0: skip it)")
    p.add_argument("--chart", action="store_true", help="also write a PNG chart")
    p.add_argument("--seed", type=int, default=SEED)
    p.add_argument("--out", type=Path, default=HERE / "results" / "results.json")
    args = p.parse_args(argv)
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
    return 5 if n <= 10**5 else 3 if n <= 10**6 else 1


def run_worker(args, label):
    """Runs one worker; returns (records, failure reason or None)."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    t0 = time.perf_counter()
    try:
        proc = subprocess.run([sys.executable, str(WORKER), *args], capture_output=True,
                              text=True, env=env, timeout=WORKER_TIMEOUT)
    except subprocess.TimeoutExpired:
        return [], f"timed out after {WORKER_TIMEOUT} s"
    records = [json.loads(line) for line in proc.stdout.splitlines() if line]
    print(f"  {label}: {time.perf_counter() - t0:.1f} s", file=sys.stderr, flush=True)
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        print(f"  {label} died:\n{proc.stderr}", file=sys.stderr)
        return records, tail[0]
    return records, None


def bench_dataset(args, n, kind, available, tmp):
    """Times every chosen system on one dataset; returns cells and records."""
    repeat = args.repeat or default_repeat(n)
    path = Path(tmp) / f"{kind}-{n}.pickle"
    t0 = time.perf_counter()
    datasets.save(path, *datasets.generate(n, kind, args.seed))
    print(f"[n={n:,} {kind}] data: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    cells = {}
    for name in args.systems:
        ok, info = available[name]
        if not ok:
            records, failure = [], info
        else:
            records, failure = run_worker(
                ["timing", name, str(path), ",".join(args.ops), str(repeat)], name)
        got = {r["op"] for r in records}
        records += [{"op": op, "status": "crash" if ok else "n/a", "reason": failure}
                    for op in args.ops if op not in got]
        for r in records:
            r.update(size=n, kind=kind, system=name, repeat=repeat)
            cells[(name, r["op"])] = r
    path.unlink()
    print(report.timing_table(n, kind, repeat, args.systems, cells) + "\n", flush=True)
    return list(cells.values())


def bench_memory(args, available, tmp):
    n = args.memory_size
    path = Path(tmp) / f"int-array-{n}.bin"
    datasets.save_int_array(path, n, args.seed)
    print(f"[memory n={n:,}]", file=sys.stderr)
    records = {}
    for name in args.systems:
        for count in (False, True):
            for traced in (False, True):
                rec = {"status": "n/a", "reason": available[name][1]}
                if available[name][0]:
                    got, failure = run_worker(
                        ["memory", name, str(path), str(n), "count" if count else "nocount",
                         "traced" if traced else "rss"],
                        f"{name} ({'with' if count else 'without'} keys, "
                        f"{'traced' if traced else 'RSS'})")
                    rec = got[0] if got else {"status": "crash", "reason": failure}
                rec.update(system=name, count_keys=count, traced=traced, n=n)
                records[(name, count, traced)] = rec
    path.unlink()
    print(report.memory_table(n, records) + "\n", flush=True)
    return list(records.values())


def git_commit():
    try:
        out = subprocess.run(["git", "-C", str(HERE), "describe", "--always", "--dirty"],
                             capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def main(argv=None):
    args = parse_args(argv)
    available = {name: systems.installed(systems.SYSTEMS[name]) for name in args.systems}
    for name, (ok, info) in available.items():
        print(f"{name}: {info}", file=sys.stderr)
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
    timing, memory = [], []
    with tempfile.TemporaryDirectory(prefix="btree-bench-") as tmp:
        for n in args.sizes:
            for kind in args.keys:
                timing += bench_dataset(args, n, kind, available, tmp)
        if args.memory_size:
            memory = bench_memory(args, available, tmp)
    meta["seconds"] = round(time.perf_counter() - t0, 1)
    meta["load_after"] = os.getloadavg()
    report.write_json(args.out, meta, timing, memory)
    print(f"results: {args.out}", file=sys.stderr)
    if args.chart:
        chart = args.out.with_name("chart.png")
        report.write_chart(chart, timing, args.sizes, args.keys, args.systems)
        print(f"chart: {chart}", file=sys.stderr)
    print(f"total: {meta['seconds']} s", file=sys.stderr)


if __name__ == "__main__":
    main()
