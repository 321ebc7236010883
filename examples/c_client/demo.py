"""What the rankstats extension adds to btree, on a day of request logs.

Build it first (from the repository root): pip install ./examples/c_client
Run: python examples/c_client/demo.py
"""

from __future__ import annotations

import random

import rankstats
from btree import BTree


def main() -> None:
    rng = random.Random(11)

    # Response times in microseconds, all distinct, in a tree: quantiles are
    # positional lookups, one descent each.
    latencies: BTree[int, None] = BTree()
    for micros in rng.sample(range(200, 900_000), 50_000):
        latencies.insert(micros)
    for q in (0.5, 0.9, 0.99):
        print(f"p{round(q * 100)}: {rankstats.quantile(latencies, q) / 1000:.1f} ms")
    print("between 100 and 200 ms:", rankstats.count_between(latencies, 100_000, 200_000))

    # Counting status codes: one increment per request, no lookup first.
    statuses: BTree[int, int] = BTree()
    rankstats.tally(statuses, rng.choices([200, 201, 304, 404, 500], [80, 5, 10, 4, 1], k=10_000))
    print("status counts:", list(statuses.items()))

    # A job queue keyed by (priority, sequence number): take the three most urgent.
    queue: BTree[tuple[int, int], str] = BTree()
    for seq, (priority, job) in enumerate([(3, "resize"), (1, "bill"), (2, "mail"), (1, "ship"), (5, "log")]):
        queue.insert((priority, seq), job)
    print("next jobs:", rankstats.pop_lowest(queue, 3))
    print("left in the queue:", list(queue.values()))

    # Users active on two days, each day's log loaded from sorted pairs.
    monday = rankstats.from_sorted([(uid, "mon") for uid in range(0, 3000, 3)])
    tuesday = rankstats.from_sorted([(uid, "tue") for uid in range(0, 3000, 5)])
    both = rankstats.common(monday, tuesday)
    print(f"active on both days: {len(both)}, first {list(both.keys())[:4]}")


if __name__ == "__main__":
    main()
