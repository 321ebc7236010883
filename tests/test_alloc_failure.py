"""Allocation failures (test build only).

Each case counts the allocations an operation makes from a known state (both
node pools empty, so that every node comes from the allocator), then repeats
the operation once for every one of them with that allocation failing. Every
run must either succeed or raise MemoryError, leave each tree it touched whole
and holding exactly the items it should, hand back every reference it took,
and leave the tree working: the same operation then succeeds.
"""

import gc
import sys

import pytest

import _btree_client as capi
import _btree_test as bt
from helpers import MAX_KEYS, TEST_CAPSULE, check_tree, drain_pools


@pytest.fixture(autouse=True)
def deterministic_allocations():
    """Collections would refill the pools at unknown moments; the client uses
    the test build's table."""
    gc.collect()
    gc.disable()
    capi.use_capsule(bt._C_API, TEST_CAPSULE)
    yield
    bt.fail_after(-1)
    capi.use_capsule(None)
    gc.enable()


def fresh(count, kind):
    """`count` new key objects of one kind in ascending order, none shared with
    anything else, so that their reference counts tell what holds them."""
    if kind == "int":
        return [int(str(10**6 + k)) for k in range(count)]
    return [f"k{k:07d}" for k in range(count)]


def tree_from(keys, values, packed=False):
    """A tree of the keys inserted in order, or built packed (every node full
    but the last of each level) from sorted input."""
    if packed:
        return capi.build_from_sorted_pairs(keys, values[: len(keys)])[0]
    tree = bt.BTree()
    for key, value in zip(keys, values):
        tree.insert(key, value)
    return tree


def items(tree):
    return list(tree.items())


# Each case is a function (keys, values) -> (run, settle): run() performs
# the operation once; settle(ok, result) asserts what every tree holds after
# a run that succeeded (ok) or raised MemoryError, and returns what must be
# dropped before every reference to the keys and values is released again.
# All runs of a case share one list of keys and one of values.


def insert_case(size, position, through="insert", packed=False):
    """Insertion of a new key into a tree of `size` keys, at the position
    `position` among them, by the method or by the increment entry (which
    stores 2**70 + 1 for a missing key)."""

    def case(keys, values):
        stored = keys[:position] + keys[position + 1 :]
        tree = tree_from(stored, values, packed)
        new = keys[position]
        before = sorted(zip(stored, values))

        def run():
            if through == "insert":
                return tree.insert(new, values[-1])
            return capi.increment(tree, new, 1, 2**70)

        def settle(ok, result):
            check_tree(tree)
            added = (new, values[-1] if through == "insert" else 2**70 + 1)
            assert items(tree) == (sorted(before + [added]) if ok else before)
            return [tree, result]

        return run, settle

    return size + 1, case


def search_case(keys, values):
    tree = tree_from(keys, values)

    def settle(ok, result):
        check_tree(tree)
        assert bt.dump(tree)["cache_key"] is (keys[777] if ok else None)
        assert result is (values[777] if ok else None)
        assert items(tree) == list(zip(keys, values))
        return [tree]

    return lambda: tree.search(keys[777]), settle


def removal_case(pop):
    """Deletion by key or by position, with the item's leaf at the minimum
    fill, so that it borrows or merges on the way down."""

    def case(keys, values):
        tree = tree_from(keys, values)
        for key in keys[::64]:
            tree.delete(key)
        left = [(k, v) for k, v in zip(keys, values) if tree_has(tree, k)]
        victim = left[len(left) // 2]

        def run():
            if pop:
                return capi.pop_item_by_index(tree, len(left) // 2)
            return tree.delete(victim[0])

        def settle(ok, result):
            check_tree(tree)
            assert items(tree) == ([item for item in left if item != victim] if ok else left)
            if ok and pop:
                assert result[0] is victim[0] and result[1] is victim[1]
            return [tree, result]

        return run, settle

    return 3000, case


def tree_has(tree, key):
    return tree.bisect_right(key) != tree.bisect_left(key)


def iterator_case(keys, values):
    tree = tree_from(keys, values)

    def settle(ok, result):
        assert list(result) == list(zip(keys, values))
        return [tree, result]

    return tree.items, settle


def build_case(size):
    def case(keys, values):
        def run():
            try:
                return capi.build_from_sorted_pairs(keys, values)
            except MemoryError as error:
                # Each slot is either consumed (its object released with the
                # nodes built so far) or still the caller's.
                assert error.taken_keys == error.taken_values
                raise

        def settle(ok, result):
            if ok:
                tree, taken_keys, taken_values = result
                assert taken_keys == taken_values == [True] * len(keys)
                check_tree(tree, strict=False)
                assert items(tree) == list(zip(keys, values))
            return [result]

        return run, settle

    return size, case


MERGES = {
    "union": (capi.merge_union, lambda a, b: sorted(set(a) | set(b))),
    "intersection": (capi.merge_intersection, lambda a, b: sorted(set(a) & set(b))),
    "difference": (capi.merge_difference, lambda a, b: sorted(set(a) - set(b))),
}


def merge_case(name):
    def case(keys, values):
        left = tree_from(keys[:1200], values)
        right = tree_from(keys[600:], values)
        merge, expected = MERGES[name]

        def settle(ok, result):
            for tree, part in ((left, keys[:1200]), (right, keys[600:])):
                check_tree(tree)
                assert list(tree.keys()) == part
            if ok:
                check_tree(result, strict=False)
                assert list(result.keys()) == expected(keys[:1200], keys[600:])
                assert set(result.values()) == {None}
            return [left, right, result]

        return lambda: merge(left, right), settle

    return 3000, case


def copy_case(keys, values):
    tree = tree_from(keys, values)

    def settle(ok, result):
        check_tree(tree)
        assert items(tree) == list(zip(keys, values))
        if ok:
            check_tree(result)
            assert items(result) == items(tree)
        return [tree, result]

    return lambda: capi.copy(tree), settle


# Ascending insertion leaves a full last leaf at 191 keys. A packed tree of
# 127 * 128 keys is a full root over full leaves; of twice as many, a root
# over two full internal nodes.
FULL_TWO_LEVELS = MAX_KEYS * (MAX_KEYS + 1)
CASES = {
    "insert into an empty tree": insert_case(0, 0),
    "insert without a split": insert_case(100, 50),
    "insert splitting the root leaf": insert_case(MAX_KEYS, 60),
    "insert splitting a leaf": insert_case(191, 191),
    "insert splitting the internal root": insert_case(FULL_TWO_LEVELS, 8000, packed=True),
    "insert splitting an internal node": insert_case(2 * FULL_TWO_LEVELS, 8000, packed=True),
    "insert str splitting a leaf": insert_case(191, 100),
    "increment of a missing key": insert_case(191, 191, through="increment"),
    "increment splitting the internal root": insert_case(FULL_TWO_LEVELS, 8000, "increment", packed=True),
    "search growing the path": (3000, search_case),
    "delete with rebalancing": removal_case(pop=False),
    "pop by index": removal_case(pop=True),
    "iterator": (300, iterator_case),
    "copy of three levels": (9000, copy_case),
    "copy str of three levels": (9000, copy_case),
    **{f"bulk build of {n}": build_case(n) for n in (0, 1, MAX_KEYS, MAX_KEYS + 1, 5000, FULL_TWO_LEVELS + 1)},
    **{f"{name} merge": merge_case(name) for name in MERGES},
}

def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def attempt(case, keys, values, fail_at):
    """One run with the allocation numbered `fail_at` failing (-1: none).
    Returns whether it succeeded and how many allocations it asked for."""
    run, settle = case(keys, values)
    holders = drain_pools()
    start = bt.alloc_count()
    bt.fail_after(fail_at)
    try:
        result, ok = run(), True
    except MemoryError:
        result, ok = None, False
    finally:
        bt.fail_after(-1)
    used = bt.alloc_count() - start
    survivors = settle(ok, result)
    if not ok:
        # The failure left nothing behind that stops the next attempt.
        result = run()
        survivors += settle(True, result)
    del holders, survivors, result, run, settle
    return ok, used


@pytest.mark.parametrize("name", CASES)
def test_every_allocation_failing_in_turn(name):
    count, case = CASES[name]
    keys = fresh(count, "str" if "str" in name else "int")
    values = [object() for _ in keys]
    baseline = refcounts(keys + values)

    ok, count = attempt(case, keys, values, -1)
    assert ok
    assert refcounts(keys + values) == baseline
    outcomes = set()
    for fail_at in range(count):
        ok, _ = attempt(case, keys, values, fail_at)
        outcomes.add(ok)
        assert refcounts(keys + values) == baseline, f"allocation {fail_at}"
    # Every failed allocation is reported as MemoryError.
    assert outcomes <= {False}
