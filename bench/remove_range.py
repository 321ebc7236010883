"""Removal of a middle range of keys from a BTreeMap: remove_range against
deleting the same keys one by one with `del m[k]`.

At 10**6 int keys (values the keys themselves) the middle 10**5 keys go, on
fresh copies of one map made before the clock starts. The range removal cuts
whole subtrees and joins the two edges, so its node work is O(log n) and the
rest is letting the removed references go; it must cost at most a tenth of
the deletions one by one. Prints both times (the best of the repetitions) and
their ratio; exits with status 1 when the range removal misses the bound.

    python bench/remove_range.py [--size N] [--removed K] [--repeat R]
"""

import argparse
import sys

import clock
from btreemap import BTreeMap

BOUND = 0.1


def best_of(repeat, template, removal):
    """The least time of `repeat` runs of removal(map) on copies of template."""
    best = None
    for _ in range(repeat):
        m = template.copy()
        start = clock.now()
        removal(m)
        elapsed = clock.now() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=10**6)
    parser.add_argument("--removed", type=int, default=10**5)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    template = BTreeMap.fromsorted((k, k) for k in range(args.size))
    low = (args.size - args.removed) // 2
    high = low + args.removed - 1
    expected = args.size - args.removed

    def by_range(m):
        assert m.remove_range(low, high) == args.removed

    def one_by_one(m):
        for k in range(low, high + 1):
            del m[k]

    for removal in (by_range, one_by_one):
        m = template.copy()
        removal(m)
        assert len(m) == expected and m.floor_key(high) == low - 1 and m.ceiling_key(low) == high + 1
    ranged = best_of(args.repeat, template, by_range)
    single = best_of(args.repeat, template, one_by_one)
    ratio = ranged / single
    print(f"{args.size} int keys, the middle {args.removed} removed (best of {args.repeat}):")
    print(f"  remove_range       {ranged / 1e6:10.3f} ms")
    print(f"  del m[k] for each  {single / 1e6:10.3f} ms")
    print(f"  ratio              {ratio:10.4f} (bound {BOUND})")
    return 0 if ratio <= BOUND else 1


if __name__ == "__main__":
    sys.exit(main())
