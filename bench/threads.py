"""Threads on BTreeMap: how throughput scales with a second thread.

Run by the interpreter under test: on a free-threaded build with
PYTHON_GIL=0 the threads run at once; on a regular build the same run gives
the single-thread figure that the free-threaded one is compared with.

    python bench/threads.py [--size 1000000] [--ops 400000] [--rounds 3] [--json FILE]

Each row is operations per second, best of the rounds, over all threads:
- lookups by one thread; by two threads on one shared map; by two threads,
  each on a map of its own;
- a mix of 90% lookups and 10% writes (stores over present keys and
  insertions of new ones, each followed later by its removal) by one thread
  and by two threads on one shared map.
Each thread makes its own probe keys and calls a bound method of its own, so
that the interpreter's reference counts of shared objects do not decide the
figure."""

import argparse
import json
import random
import sys
import threading
import time

import btreemap


def lookups(m, ops, seed, size, start):
    rng = random.Random(seed)
    keys = [rng.randrange(size) * 2 for _ in range(ops)]
    get = m.get
    start.wait()
    for k in keys:
        get(k)


def mixed(m, ops, seed, size, start):
    rng = random.Random(seed)
    plan = [(rng.random() < 0.1, rng.randrange(size) * 2) for _ in range(ops)]
    get, store, pop = m.get, m.__setitem__, m.pop
    start.wait()
    for write, k in plan:
        if not write:
            get(k)
        elif k & 2:
            store(k, k)
        else:
            # An odd key is absent: inserted, then taken out again.
            store(k + 1, k)
            pop(k + 1)


def run(work, maps, ops, size):
    start = threading.Barrier(len(maps) + 1)
    threads = [threading.Thread(target=work, args=(m, ops, i, size, start)) for i, m in enumerate(maps)]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    return len(maps) * ops / (time.perf_counter() - began)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--ops", type=int, default=400_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json")
    args = parser.parse_args()
    free = not getattr(sys, "_is_gil_enabled", lambda: True)()
    make = lambda: btreemap.BTreeMap((k * 2, k) for k in range(args.size))
    shared, other = make(), make()
    rows = {
        "lookups, 1 thread": (lookups, [shared]),
        "lookups, 2 threads, one map": (lookups, [shared, shared]),
        "lookups, 2 threads, two maps": (lookups, [shared, other]),
        "90% lookups 10% writes, 1 thread": (mixed, [shared]),
        "90% lookups 10% writes, 2 threads, one map": (mixed, [shared, shared]),
    }
    best = {name: 0.0 for name in rows}
    for _ in range(args.rounds):
        for name, (work, maps) in rows.items():
            best[name] = max(best[name], run(work, maps, args.ops, args.size))
    print(f"Python {sys.version.split()[0]}, interpreter lock {'off' if free else 'on'}, "
          f"BTreeMap of {args.size:,} int keys, best of {args.rounds}")
    for name, rate in best.items():
        print(f"  {name:45} {rate / 1e6:7.3f} M ops/s")
    pairs = [("lookups, 2 threads, one map", "lookups, 1 thread"),
             ("lookups, 2 threads, two maps", "lookups, 1 thread"),
             ("90% lookups 10% writes, 2 threads, one map", "90% lookups 10% writes, 1 thread")]
    for two, one in pairs:
        print(f"  scaling: {two:45} {best[two] / best[one]:5.2f}x")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"python": sys.version, "free_threaded": free, "ops_per_second": best}, out, indent=1)


if __name__ == "__main__":
    main()
