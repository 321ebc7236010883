"""Allocation failures (test build only).

Each case counts the allocations an operation makes from a known state (both
node pools empty, so that every node comes from the allocator), then repeats
the operation once for every one of them with that allocation failing. Every
run must either succeed or raise MemoryError, leave each tree it touched whole
and holding exactly the items it should, hand back every reference it took,
and leave the tree working: the same operation then succeeds.
"""

import functools
import gc
import sys

import pytest

try:
    import _testcapi
except ImportError:
    _testcapi = None

from helpers import (ASCENDING_FULL_LAST, ASCENDING_LEAF, MAX_CHILDREN, MAX_KEYS, TEST_CAPSULE, check_tree, drain_pools,
                     from_test_build)

bt = from_test_build("_btree_test")
capi = from_test_build("_btree_client")


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
        for key in keys[::ASCENDING_LEAF]:
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
        if ok:
            assert list(result) == list(zip(keys, values))
        assert items(tree) == list(zip(keys, values))
        return [tree, result]

    return tree.items, settle


def search_missing(tree, keys):
    try:
        tree.search(-1)
    except KeyError as error:
        return error.args


# Queries, which change nothing: (call(tree, keys), expected(keys, values)).
READS = {
    "irange": (lambda t, k: t.irange(k[10], k[250]), lambda k, v: k[10:251]),
    "bisect": (lambda t, k: t.bisect_left(k[299]), lambda k, v: 299),
    "item by position": (lambda t, k: capi.get_item_by_index(t, 123, 2), lambda k, v: (k[123], v[123])),
    "iteration of items": (lambda t, k: list(t.items()), lambda k, v: list(zip(k, v))),
    "search of a missing key": (search_missing, lambda k, v: (-1,)),
    "capsule irange": (lambda t, k: capi.irange(t, k[10], k[250]), lambda k, v: k[10:251]),
    "capsule iteration": (
        lambda t, k: list(iter(functools.partial(capi.iter_next, capi.iter_new(t, 2)), capi.END)),
        lambda k, v: list(zip(k, v)),
    ),
    "referents": (lambda t, k: {id(r) for r in gc.get_referents(t)}, lambda k, v: set(map(id, k + v))),
}


def read_case(name):
    call, expected = READS[name]

    def case(keys, values):
        tree = tree_from(keys, values)
        # Pairs held meanwhile empty the interpreter's stock of reusable
        # ones, so that every item tuple is an allocation of its own.
        pairs = [(n, -n) for n in range(5000)]

        def settle(ok, result):
            if ok:
                assert result == expected(keys, values)
            check_tree(tree)
            assert items(tree) == list(zip(keys, values))
            return [tree, result, pairs]

        return lambda: call(tree, keys), settle

    return 300, case


def build_case(size):
    def case(keys, values):
        def run():
            try:
                return capi.build_from_sorted_pairs(keys, values)
            except MemoryError as error:
                # Each slot is either consumed (its object released with the
                # nodes built so far) or still the caller's.
                assert getattr(error, "taken_keys", None) == getattr(error, "taken_values", None)
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


def merge_case(name, swapped=False):
    """A merge of the first 1200 keys with the last 2400 (or the other way
    round), which share 600."""

    def case(keys, values):
        parts = (keys[600:], keys[:1200]) if swapped else (keys[:1200], keys[600:])
        left, right = (tree_from(part, values) for part in parts)
        merge, expected = MERGES[name]

        def settle(ok, result):
            for tree, part in zip((left, right), parts):
                check_tree(tree)
                assert list(tree.keys()) == part
            if ok:
                check_tree(result, strict=False)
                assert list(result.keys()) == expected(*parts)
                assert set(result.values()) == {None}
            return [left, right, result]

        return lambda: merge(left, right), settle

    return 3000, case


def copy_case(keys, values):
    tree = tree_from(keys, values, packed=True)

    def settle(ok, result):
        check_tree(tree, strict=False)
        assert items(tree) == list(zip(keys, values))
        if ok:
            check_tree(result, strict=False)
            assert items(result) == items(tree)
        return [tree, result]

    return lambda: capi.copy(tree), settle


# BTreeMap operations on a packed map of the first 2000 items and another of
# the items from 1000 on (whose first leaf is full): what each runs, and
# after a run that succeeded, the two maps' items and the result.
MAP_OPERATIONS = {
    "construction from a dict": (
        lambda m, other, pairs: type(m)(dict(pairs[::-1])), lambda pairs: (pairs[:2000], pairs[1000:], pairs)),
    "store of a new key into a full leaf": (
        lambda m, other, pairs: other.__setitem__(*pairs[999]), lambda pairs: (pairs[:2000], pairs[999:], None)),
    "pop by position": (
        lambda m, other, pairs: m.popitem(1000),
        lambda pairs: (pairs[:1000] + pairs[1001:2000], pairs[1000:], pairs[1000])),
    "union": (lambda m, other, pairs: m.union(other), lambda pairs: (pairs[:2000], pairs[1000:], pairs)),
    "intersection of keys": (
        lambda m, other, pairs: list(m.keys() & other.keys()),
        lambda pairs: (pairs[:2000], pairs[1000:], keys_of(pairs[1000:2000]))),
    "copy": (lambda m, other, pairs: m.copy(), lambda pairs: (pairs[:2000], pairs[1000:], pairs[:2000])),
    "increment of a new key into a full leaf": (
        lambda m, other, pairs: other.increment(pairs[999][0], 5),
        lambda pairs: (pairs[:2000], [(pairs[999][0], 5)] + pairs[1000:], 5)),
    "setdefault of a new key into a full leaf": (
        lambda m, other, pairs: other.setdefault(*pairs[999]), lambda pairs: (pairs[:2000], pairs[999:], pairs[999][1])),
    "update of a full leaf": (
        lambda m, other, pairs: other.update(pairs[990:1000]), lambda pairs: (pairs[:2000], pairs[990:], None)),
    "pop of a key": (
        lambda m, other, pairs: m.pop(pairs[1500][0]),
        lambda pairs: (pairs[:1500] + pairs[1501:2000], pairs[1000:], pairs[1500][1])),
    "lookup": (lambda m, other, pairs: m[pairs[777][0]], lambda pairs: (pairs[:2000], pairs[1000:], pairs[777][1])),
    "peekitem": (lambda m, other, pairs: m.peekitem(1234), lambda pairs: (pairs[:2000], pairs[1000:], pairs[1234])),
    "irange": (
        lambda m, other, pairs: list(m.irange(pairs[10][0], pairs[50][0], reverse=True)),
        lambda pairs: (pairs[:2000], pairs[1000:], keys_of(pairs[50:9:-1]))),
    "slice of the items view": (
        lambda m, other, pairs: m.items()[1990:1960:-3], lambda pairs: (pairs[:2000], pairs[1000:], pairs[1990:1960:-3])),
    "fromsorted": (lambda m, other, pairs: type(m).fromsorted(pairs), lambda pairs: (pairs[:2000], pairs[1000:], pairs)),
    "map built from a map": (
        lambda m, other, pairs: type(m)(other), lambda pairs: (pairs[:2000], pairs[1000:], pairs[1000:])),
    "difference": (lambda m, other, pairs: m.difference(other), lambda pairs: (pairs[:2000], pairs[1000:], pairs[:1000])),
    "union with a dict": (
        lambda m, other, pairs: m | dict(pairs[2000:2100]), lambda pairs: (pairs[:2000], pairs[1000:], pairs[:2100])),
    "symmetric difference of keys and a list": (
        lambda m, other, pairs: list(m.keys() ^ keys_of(pairs[1950:2050])),
        lambda pairs: (pairs[:2000], pairs[1000:], keys_of(pairs[:1950] + pairs[2000:2050]))),
    "intersection of items and a list": (
        lambda m, other, pairs: list(m.items() & pairs[1990:2010]),
        lambda pairs: (pairs[:2000], pairs[1000:], pairs[1990:2000])),
    "isdisjoint": (
        lambda m, other, pairs: m.keys().isdisjoint(keys_of(pairs[2000:2050])),
        lambda pairs: (pairs[:2000], pairs[1000:], True)),
    "pickling": (
        lambda m, other, pairs: m.__reduce__()[1],
        lambda pairs: (pairs[:2000], pairs[1000:], (keys_of(pairs[:2000]), [v for _, v in pairs[:2000]]))),
}


def keys_of(pairs):
    return [k for k, _ in pairs]


def map_case(name):
    def case(keys, values):
        pairs = list(zip(keys, values))
        m, other = bt.BTreeMap.fromsorted(pairs[:2000]), bt.BTreeMap.fromsorted(pairs[1000:])
        operation, expected = MAP_OPERATIONS[name]

        def settle(ok, result):
            for tree in (m, other):
                check_tree(tree, strict=False)
            kept, other_kept, made = expected(pairs) if ok else (pairs[:2000], pairs[1000:], None)
            assert list(m.items()) == kept and list(other.items()) == other_kept
            if made is not None:
                if hasattr(result, "items"):
                    check_tree(result, strict=False)
                    result = list(result.items())
                assert result == made
            return [m, other, result]

        return lambda: operation(m, other, pairs), settle

    return 3000, case


# Ascending insertion leaves a full last leaf at ASCENDING_FULL_LAST keys. A
# packed tree of MAX_KEYS * MAX_CHILDREN keys is a full root over full leaves;
# of twice as many, a root over two full internal nodes.
FULL_TWO_LEVELS = MAX_KEYS * MAX_CHILDREN
FULL_LAST = ASCENDING_FULL_LAST
CASES = {
    "insert into an empty tree": insert_case(0, 0),
    "insert without a split": insert_case(100, 50),
    "insert splitting the root leaf": insert_case(MAX_KEYS, 60),
    "insert splitting a leaf": insert_case(FULL_LAST, FULL_LAST),
    "insert splitting the internal root": insert_case(FULL_TWO_LEVELS, 8000, packed=True),
    "insert splitting an internal node": insert_case(2 * FULL_TWO_LEVELS, 8000, packed=True),
    "insert str splitting a leaf": insert_case(FULL_LAST, 100),
    "increment of a missing key": insert_case(FULL_LAST, FULL_LAST, through="increment"),
    "increment splitting the internal root": insert_case(FULL_TWO_LEVELS, 8000, "increment", packed=True),
    "search growing the path": (3000, search_case),
    "delete with rebalancing": removal_case(pop=False),
    "pop by index": removal_case(pop=True),
    "iterator": (300, iterator_case),
    "copy of three levels": (FULL_TWO_LEVELS + 1, copy_case),
    "copy str of three levels": (FULL_TWO_LEVELS + 1, copy_case),
    **{f"bulk build of {n}": build_case(n) for n in (0, 1, MAX_KEYS, MAX_KEYS + 1, 5000, FULL_TWO_LEVELS + 1)},
    **{f"{name} merge": merge_case(name) for name in MERGES},
    **{f"{name} merge of str": merge_case(name) for name in MERGES},
    **{f"{name} merge of str, longer on the left": merge_case(name, swapped=True) for name in MERGES},
    **{name: read_case(name) for name in READS},
    **{f"map {name}": map_case(name) for name in MAP_OPERATIONS},
}

def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


class Ours:
    """The module's own allocations, counted and failed by the test build."""

    count = staticmethod(bt.alloc_count)

    @staticmethod
    def fail(fail_at):
        bt.fail_after(fail_at)

    @staticmethod
    def stop():
        bt.fail_after(-1)


class Interpreter:
    """Every allocation of the interpreter, the module's included."""

    count = None

    @staticmethod
    def fail(fail_at):
        if fail_at >= 0:
            _testcapi.set_nomemory(fail_at, fail_at + 1)

    @staticmethod
    def stop():
        _testcapi.remove_mem_hooks()


def attempt(case, keys, values, allocator, fail_at):
    """One run with the allocation numbered `fail_at` failing (-1: none).
    Returns whether it succeeded and how many of the module's allocations it
    asked for."""
    run, settle = case(keys, values)
    holders = drain_pools(capi.copy)
    start = bt.alloc_count()
    allocator.fail(fail_at)
    try:
        result = run()
        ok = True
    except MemoryError:
        result = None
        ok = False
    finally:
        allocator.stop()
    used = bt.alloc_count() - start
    survivors = settle(ok, result)
    if not ok:
        # The failure left nothing behind that stops the next attempt.
        result = run()
        survivors += settle(True, result)
    del holders, survivors, result, run, settle
    return ok, used


def sweep(name, allocator):
    count, case = CASES[name]
    keys = fresh(count, "str" if "str" in name else "int")
    values = [object() for _ in keys]
    baseline = refcounts(keys + values)
    ok, count = attempt(case, keys, values, allocator, -1)
    assert ok
    assert refcounts(keys + values) == baseline
    outcomes = []
    # The interpreter's allocations are not counted: its sweep ends once
    # three runs in a row have got past the failing one.
    while len(outcomes) < count if allocator.count else outcomes[-3:] != [True] * 3:
        ok, _ = attempt(case, keys, values, allocator, len(outcomes))
        outcomes.append(ok)
        assert refcounts(keys + values) == baseline, f"allocation {len(outcomes) - 1}"
    return outcomes


@pytest.mark.parametrize("name", CASES)
def test_every_allocation_failing_in_turn(name):
    # Every failed allocation of the module is reported as MemoryError.
    assert True not in sweep(name, Ours)


@pytest.mark.skipif(_testcapi is None, reason="needs _testcapi")
@pytest.mark.parametrize("name", CASES)
def test_every_interpreter_allocation_failing_in_turn(name):
    sweep(name, Interpreter)


@pytest.mark.skipif(_testcapi is None, reason="needs _testcapi")
def test_pop_whose_result_cannot_be_made_keeps_the_item():
    tree = bt.BTree()
    for key in range(300):
        tree.insert(key, str(key))
    tree.search(5)  # the path buffer is in place
    for fail_at in range(10):
        # Pairs held here empty the interpreter's stock of reusable ones, so
        # that the result pair is a fresh allocation.
        pairs = [(n, -n) for n in range(5000)]
        _testcapi.set_nomemory(fail_at, fail_at + 1)
        try:
            capi.pop_item_by_index(tree, 7)
            popped = True
        except MemoryError:
            popped = False
        finally:
            _testcapi.remove_mem_hooks()
        del pairs
        check_tree(tree)
        if popped:
            break
        assert len(tree) == 300 and tree.search(7) == "7"
