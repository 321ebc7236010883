"""Allocation failures (test build only), on every sorted type.

Each case counts the allocations an operation makes from a known state (both
node pools empty, so that every node comes from the allocator), then repeats
the operation once for every one of them with that allocation failing. Every
run must either succeed or raise MemoryError, leave each tree it touched whole
and holding exactly the items it should, hand back every reference it took,
and leave the tree working: the same operation then succeeds.
"""

import functools
import gc
import re
import sys

import pytest

try:
    import _testcapi
except ImportError:
    _testcapi = None

from helpers import (ASCENDING_FULL_LAST, ASCENDING_LEAF, MAX_CHILDREN, MAX_KEYS, SURFACES, TEST_CAPSULE, TREE,
                     check_tree, drain_pools, filled, from_test_build)

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


def tree_from(surface, keys, values, packed=False):
    """A tree of the surface's type of the keys inserted in order, or built
    packed (every node full but the last of each level) from sorted input."""
    T = surface.type_in(bt)
    if packed:
        return surface.packed(T, keys, values[: len(keys)])
    by_key = dict(zip(keys, values))
    return filled(surface, T, keys, value=by_key.get)


def items(tree):
    return list(tree.items())


# Each case is a function (keys, values) -> (run, settle), most of them made
# for one surface (helpers.SURFACES): run() performs
# the operation once; settle(ok, result) asserts what every tree holds after
# a run that succeeded (ok) or raised MemoryError, and returns what must be
# dropped before every reference to the keys and values is released again.
# All runs of a case share one list of keys and one of values.


def insert_case(surface, size, position, through="insert", packed=False):
    """Insertion of a new key into a tree of `size` keys, at the position
    `position` among them, by the first way the surface has or by increment
    (which stores 2**70 + 1 for a missing key where it takes a start, else 1)."""
    start = 2**70 if surface.starts else 0

    def case(keys, values):
        stored = keys[:position] + keys[position + 1 :]
        tree = tree_from(surface, stored, values, packed)
        new = keys[position]
        before = sorted(zip(stored, values))

        def run():
            if through == "insert":
                return next(iter(surface.inserts.values()))(tree, new, values[-1])
            return surface.increment(tree, new, 1, start)

        def settle(ok, result):
            check_tree(tree)
            added = (new, values[-1] if through == "insert" else start + 1)
            assert items(tree) == (sorted(before + [added]) if ok else before)
            return [tree, result]

        return run, settle

    return size + 1, case


def search_case(surface):
    return 3000, lambda keys, values: search_run(surface, keys, values)


def search_run(surface, keys, values):
    tree = tree_from(surface, keys, values)

    def settle(ok, result):
        check_tree(tree)
        assert bt.dump(tree)["cache_key"] is (keys[777] if ok else None)
        assert result is (values[777] if ok else None)
        assert items(tree) == list(zip(keys, values))
        return [tree]

    return lambda: surface.search(tree, keys[777]), settle


def removal_case(surface, pop):
    """Deletion by key or by position, with the item's leaf at the minimum
    fill, so that it borrows or merges on the way down."""

    delete = next(iter(surface.deletes.values()))

    def case(keys, values):
        tree = tree_from(surface, keys, values)
        for key in keys[::ASCENDING_LEAF]:
            delete(tree, key)
        left = [(k, v) for k, v in zip(keys, values) if tree_has(surface, tree, k)]
        victim = left[len(left) // 2]

        def run():
            if pop:
                return surface.pop_at(tree, len(left) // 2)
            return delete(tree, victim[0])

        def settle(ok, result):
            check_tree(tree)
            assert items(tree) == ([item for item in left if item != victim] if ok else left)
            if ok and pop:
                assert result[0] is victim[0] and result[1] is victim[1]
            return [tree, result]

        return run, settle

    return 3000, case


def tree_has(surface, tree, key):
    left, right = surface.bisects[0][1](tree, key)
    return left != right


def iterator_case(surface):
    return 300, lambda keys, values: iterator_run(surface, keys, values)


def iterator_run(surface, keys, values):
    tree = tree_from(surface, keys, values)

    def settle(ok, result):
        if ok:
            assert list(result) == list(zip(keys, values))
        assert items(tree) == list(zip(keys, values))
        return [tree, result]

    return lambda: surface.walks["items"](tree), settle


def search_missing(surface, tree):
    lookup = getattr(tree, surface.lookup)
    try:
        lookup(-1)
    except KeyError as error:
        return error.args


# Queries, which change nothing: (call(surface, tree, keys), expected(keys,
# values)); those of every surface, and those of BTree's capsule entries.
READS = {
    "irange": (lambda s, t, k: s.iranges[0][1](t, k[10], k[250], (True, True)), lambda k, v: k[10:251]),
    "bisect": (lambda s, t, k: s.bisects[0][1](t, k[299]), lambda k, v: (299, 300)),
    "item by position": (lambda s, t, k: s.item_at(t, 123, 2), lambda k, v: (k[123], v[123])),
    "iteration of items": (lambda s, t, k: list(s.walks["items"](t)), lambda k, v: list(zip(k, v))),
    "search of a missing key": (lambda s, t, k: search_missing(s, t), lambda k, v: (-1,)),
    "referents": (lambda s, t, k: {id(r) for r in gc.get_referents(t)}, lambda k, v: set(map(id, k + v))),
}
CAPSULE_READS = {
    "capsule irange": (lambda s, t, k: capi.irange(t, k[10], k[250]), lambda k, v: k[10:251]),
    "capsule iteration": (
        lambda s, t, k: list(iter(functools.partial(capi.iter_next, capi.iter_new(t, 2)), capi.END)),
        lambda k, v: list(zip(k, v)),
    ),
}


def read_case(surface, call, expected):
    def case(keys, values):
        tree = tree_from(surface, keys, values)
        # Pairs held meanwhile empty the interpreter's stock of reusable
        # ones, so that every item tuple is an allocation of its own.
        pairs = [(n, -n) for n in range(5000)]

        def settle(ok, result):
            if ok:
                assert result == expected(keys, values)
            check_tree(tree)
            assert items(tree) == list(zip(keys, values))
            return [tree, result, pairs]

        return lambda: call(surface, tree, keys), settle

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
    "union": lambda a, b: sorted(set(a) | set(b)),
    "intersection": lambda a, b: sorted(set(a) & set(b)),
    "difference": lambda a, b: sorted(set(a) - set(b)),
}


def merge_case(surface, name, swapped=False):
    """A merge of the first 1200 keys with the last 2400 (or the other way
    round), which share 600."""

    def case(keys, values):
        parts = (keys[600:], keys[:1200]) if swapped else (keys[:1200], keys[600:])
        left, right = (tree_from(surface, part, values) for part in parts)
        merge, expected = surface.merges[name], MERGES[name]
        # Each tree holds values[i] for its i-th key.
        held = [dict(zip(part, values)) for part in parts]

        def settle(ok, result):
            for tree, part in zip((left, right), parts):
                check_tree(tree)
                assert [k for k, _ in items(tree)] == part
            if ok:
                check_tree(result, strict=False)
                keys = expected(*parts)
                assert [k for k, _ in items(result)] == keys
                if surface.merged_values:
                    assert [v for _, v in items(result)] == [held[0].get(k, held[1].get(k)) for k in keys]
                else:
                    assert {v for _, v in items(result)} == {None}
            return [left, right, result]

        return lambda: merge(left, right), settle

    return 3000, case


def copy_case(surface):
    return FULL_TWO_LEVELS + 1, lambda keys, values: copy_run(surface, keys, values)


def copy_run(surface, keys, values):
    tree = tree_from(surface, keys, values, packed=True)

    def settle(ok, result):
        check_tree(tree, strict=False)
        assert items(tree) == list(zip(keys, values))
        if ok:
            check_tree(result, strict=False)
            assert items(result) == items(tree)
        return [tree, result]

    return lambda: surface.copy(tree), settle


# BTreeMap's own operations on a packed map of the first 2000 items and another of
# the items from 1000 on (whose first leaf is full): what each runs, and
# after a run that succeeded, the two maps' items and the result.
MAP_OPERATIONS = {
    "construction from a dict of str": (
        lambda m, other, pairs: type(m)(dict(pairs[::-1])), lambda pairs: (pairs[:2000], pairs[1000:], pairs)),
    "intersection of keys": (
        lambda m, other, pairs: list(m.keys() & other.keys()),
        lambda pairs: (pairs[:2000], pairs[1000:], keys_of(pairs[1000:2000]))),
    "setdefault of a new key into a full leaf": (
        lambda m, other, pairs: other.setdefault(*pairs[999]), lambda pairs: (pairs[:2000], pairs[999:], pairs[999][1])),
    "update of a full leaf": (
        lambda m, other, pairs: other.update(pairs[990:1000]), lambda pairs: (pairs[:2000], pairs[990:], None)),
    "pop of a key": (
        lambda m, other, pairs: m.pop(pairs[1500][0]),
        lambda pairs: (pairs[:1500] + pairs[1501:2000], pairs[1000:], pairs[1500][1])),
    "peekitem": (lambda m, other, pairs: m.peekitem(1234), lambda pairs: (pairs[:2000], pairs[1000:], pairs[1234])),
    "irange in reverse": (
        lambda m, other, pairs: list(m.irange(pairs[10][0], pairs[50][0], reverse=True)),
        lambda pairs: (pairs[:2000], pairs[1000:], keys_of(pairs[50:9:-1]))),
    "slice of the items view": (
        lambda m, other, pairs: m.items()[1990:1960:-3], lambda pairs: (pairs[:2000], pairs[1000:], pairs[1990:1960:-3])),
    "remove_range across leaves": (
        lambda m, other, pairs: m.remove_range(pairs[10][0], pairs[1500][0]),
        lambda pairs: (pairs[:10] + pairs[1501:2000], pairs[1000:], 1491)),
    "del of a slice of the keys view": (
        lambda m, other, pairs: m.keys().__delitem__(slice(1990, 5, -1)),
        lambda pairs: (pairs[:6] + pairs[1991:2000], pairs[1000:], None)),
    "fromsorted": (lambda m, other, pairs: type(m).fromsorted(pairs), lambda pairs: (pairs[:2000], pairs[1000:], pairs)),
    "map built from a map": (
        lambda m, other, pairs: type(m)(other), lambda pairs: (pairs[:2000], pairs[1000:], pairs[1000:])),
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


def shared_cases(surface):
    """The cases of every surface, by name."""
    return {
        "insert into an empty tree": insert_case(surface, 0, 0),
        "insert without a split": insert_case(surface, 100, 50),
        "insert splitting the root leaf": insert_case(surface, MAX_KEYS, 60),
        "insert splitting a leaf": insert_case(surface, FULL_LAST, FULL_LAST),
        "insert splitting the internal root": insert_case(surface, FULL_TWO_LEVELS, 8000, packed=True),
        "insert splitting an internal node": insert_case(surface, 2 * FULL_TWO_LEVELS, 8000, packed=True),
        "increment of a missing key": insert_case(surface, FULL_LAST, FULL_LAST, through="increment"),
        "increment splitting the internal root": insert_case(surface, FULL_TWO_LEVELS, 8000, "increment", packed=True),
        "search growing the path": search_case(surface),
        "delete with rebalancing": removal_case(surface, pop=False),
        "pop by index": removal_case(surface, pop=True),
        "iterator": iterator_case(surface),
        "copy of three levels": copy_case(surface),
        **{f"{name} merge": merge_case(surface, name) for name in MERGES},
        **{name: read_case(surface, *READS[name]) for name in READS},
    }


def str_cases(surface):
    """Cases of str keys, whose kind keeps primitives of its own. The core
    runs the same code for them under every surface, so one surface has them."""
    return {
        "insert str splitting a leaf": insert_case(surface, FULL_LAST, 100),
        "copy str of three levels": copy_case(surface),
        **{f"{name} merge of str": merge_case(surface, name) for name in MERGES},
        **{f"{name} merge of str, longer on the left": merge_case(surface, name, swapped=True) for name in MERGES},
    }


def joined(*tables):
    """The tables as one, none of whose names may hide another's."""
    cases = {}
    for table in tables:
        assert not cases.keys() & table.keys(), cases.keys() & table.keys()
        cases.update(table)
    return cases


CASES = joined(
    # The cases read items and values: the types that keep values.
    {f"{surface.name}: {name}": case for surface in SURFACES if surface.valued
     for name, case in shared_cases(surface).items()},
    {f"BTree: {name}": case for name, case in str_cases(TREE).items()},
    {f"BTree: bulk build of {n}": build_case(n) for n in (0, 1, MAX_KEYS, MAX_KEYS + 1, 5000, FULL_TWO_LEVELS + 1)},
    {f"BTree: {name}": read_case(TREE, *CAPSULE_READS[name]) for name in CAPSULE_READS},
    {f"BTreeMap: {name}": map_case(name) for name in MAP_OPERATIONS},
)

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
    keys = fresh(count, "str" if re.search(r"\bstr\b", name) else "int")
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
