"""Steady state: a fixed workload of every operation, successful and failing,
repeated many times, neither holds more memory nor more references to the
objects it uses from one round to the next."""

import gc
import sys
import tracemalloc
from array import array

import pytest

from helpers import TEST_CAPSULE, _btree_client as capi, _btree_test as bt, drain_pools, needs_test_build

pytestmark = needs_test_build

REENTRANT = "BTree reentrant access during comparison"


class Reentrant:
    """A key whose comparison calls back into its tree."""

    def __init__(self, tree):
        self.tree = tree

    def __lt__(self, other):
        self.tree.search(other)
        return False

    __gt__ = __lt__


def one_round(keys, values, delta):
    """Every operation once or more; the trees it makes are dropped again."""
    tree = bt.BTree()
    for key, value in zip(keys, values):
        tree.insert(key, value)
    for key in keys[::7]:
        tree.insert(key, delta)  # replaces the value
    for key in keys:
        tree.search(key)
    for key in keys[::5]:
        tree.bisect_left(key), tree.bisect_right(key)
    tree.irange(keys[10], keys[-10], (False, True))
    tree.irange(min=keys[5])
    for iterator in (tree.keys(), tree.values(), tree.items()):
        for _ in iterator:
            pass
    for index in (0, -1, len(keys) // 2):
        capi.get_item_by_index(tree, index, 2)
    iterator = capi.iter_new(tree, 2)
    while capi.iter_next(iterator) is not capi.END:
        pass
    copy = capi.copy(tree)
    half = bt.BTree()
    for key in keys[::2]:
        half.insert(key)
    for merge in (capi.merge_union, capi.merge_intersection, capi.merge_difference):
        merge(copy, half)
    built, _, _ = capi.build_from_sorted_pairs(keys, values)
    for key in keys[::7][:40]:
        capi.increment(tree, key, delta, delta)  # adds to the value
    for key in keys[1::2][:40]:
        capi.increment(half, key, delta, delta)  # stores a new one
    for key in keys[::3]:
        tree.search(key)
        tree.delete(key)  # through the cached path
    for key in keys[1::3]:
        capi.delete(copy, key)
    while len(built) > len(keys) // 2:
        capi.pop_item_by_index(built, len(built) // 3)
    failures(tree, keys)
    tree.clear()
    copy.clear()


def failures(tree, keys):
    missing = keys[0]
    for call in (tree.search, tree.delete):
        with pytest.raises(KeyError):
            call(missing)
    with pytest.raises(TypeError):
        tree.insert(object())
    with pytest.raises(ValueError):
        tree.insert(float("nan"))
    with pytest.raises(IndexError):
        capi.pop_item_by_index(tree, len(tree))
    with pytest.raises(RuntimeError, match=REENTRANT):
        tree.bisect_left(Reentrant(tree))
    for fail_at in range(3):
        bt.fail_after(fail_at)
        try:
            capi.copy(tree)
        except MemoryError:
            pass
        finally:
            bt.fail_after(-1)


KEYS = {
    "int": lambda: [int(str(10**9 + 3 * k)) for k in range(3000)],
    "str": lambda: [f"key {k:05d}" for k in range(3000)],
}


@pytest.mark.parametrize("kind", KEYS)
def test_repeated_workload_holds_nothing_more(kind):
    capi.use_capsule(bt._C_API, TEST_CAPSULE)
    keys = KEYS[kind]()
    values = [object() for _ in keys]
    delta = 10**12
    watched = keys + values + [delta]
    try:
        for _ in range(2):  # free lists and caches fill up
            one_round(keys, values, delta)
        gc.collect()
        references = [sys.getrefcount(obj) for obj in watched]
        # With the pools empty, every node they hold from here on was
        # allocated while traced.
        holders = drain_pools()
        sizes = array("q", bytes(8 * 8))  # recording allocates nothing
        tracemalloc.start()
        try:
            for r in range(len(sizes)):
                one_round(keys, values, delta)
                gc.collect()
                sizes[r] = tracemalloc.get_traced_memory()[0]
                if r == 1:
                    first = (bt.pool_counts(), len(gc.get_objects()))
            last = (bt.pool_counts(), len(gc.get_objects()))
        finally:
            tracemalloc.stop()
        del holders
    finally:
        capi.use_capsule(None)
    assert [sys.getrefcount(obj) for obj in watched] == references
    # The first round fills the pools; any leak, even of one small block per
    # round, would show in every later one.
    assert last == first
    assert list(sizes[2:]) == [sizes[2]] * (len(sizes) - 2), sizes
