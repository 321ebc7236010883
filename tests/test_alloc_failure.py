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

from helpers import (ASCENDING_FULL_LAST, ASCENDING_LEAF, FREE_THREADED, MAX_CHILDREN, MAX_KEYS, PATH_CACHE, SURFACES,
                     TEST_CAPSULE, TREE, _btree_client as capi, _btree_test as bt, check_tree, drain_pools, filled,
                     in_order, needs_test_build, node_table)

pytestmark = needs_test_build


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
    anything else, so that their reference counts tell what holds them; of
    kind "pairs", ints that come in pairs of equal ones."""
    if kind == "int":
        return [int(str(10**6 + k)) for k in range(count)]
    if kind == "pairs":
        return [int(str(10**6 + k // 2)) for k in range(count)]
    return [f"k{k:07d}" for k in range(count)]


def unpickled(reduced):
    """What unpickling makes of what __reduce__ gave. A function, not a
    lambda made in the run: the interpreter crashes when the allocation of a
    new function object's parts fails (CPython 3.13.0)."""
    made_by, args = reduced
    return made_by(*args)


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
        assert bt.dump(tree)["cache_key"] is (keys[777] if ok and PATH_CACHE else None)
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


# The operations of BTreeList and BTreeSet, over elements that come in pairs
# of equal objects, e[2k] == e[2k + 1]. Each starts from `s`, holding
# e[:1000] + e[1500:2000] (packed, or added one by one in order and thinned to
# the minimum fill, so that a removal tops its leaf up), and `other`, built
# from e[1000:] backwards (a set of it holds the second of each pair). What
# each holds is a model: the elements in the order the type keeps them,
# compared by identity. An entry: (the types it runs on, how `s` starts,
# run(T, s, other, e), expect(model, A, B, e) -> (s, other, result) after a
# run that succeeded; a result None is not compared, a list is the model of
# a new object or list).
BOTH, LISTS, SETS = ("BTreeList", "BTreeSet"), ("BTreeList",), ("BTreeSet",)
SEQ_OPERATIONS = {
    "add of a new element into a full leaf": (
        BOTH, "packed", lambda T, s, o, e: s.add(e[1000]), lambda m, A, B, e: (m.ordered(A + [e[1000]]), B, None)),
    "add of an equal element into a full leaf": (
        BOTH, "packed", lambda T, s, o, e: s.add(e[1]), lambda m, A, B, e: (m.ordered(A + [e[1]]), B, None)),
    "update with a few elements": (
        BOTH, "packed", lambda T, s, o, e: s.update(e[1000:1020]),
        lambda m, A, B, e: (m.ordered(A + e[1000:1020]), B, None)),
    "update with many elements": (
        BOTH, "packed", lambda T, s, o, e: s.update(e[1000:1500] + e[1:1000:2]),
        lambda m, A, B, e: (m.ordered(A + e[1000:1500] + e[1:1000:2]), B, None)),
    "construction from a list": (BOTH, "packed", lambda T, s, o, e: T(e[::-1]), lambda m, A, B, e: (A, B, m.ordered(e[::-1]))),
    "construction from a sorted list": (BOTH, "packed", lambda T, s, o, e: T(e), lambda m, A, B, e: (A, B, m.ordered(e))),
    "discard topping up a leaf": (
        BOTH, "thinned", lambda T, s, o, e: s.discard(s[len(s) // 2]), lambda m, A, B, e: (m.without(A, A[len(A) // 2]), B, None)),
    "remove topping up a leaf": (
        BOTH, "thinned", lambda T, s, o, e: s.remove(s[-3]), lambda m, A, B, e: (m.without(A, A[-3]), B, None)),
    "pop by index topping up a leaf": (
        BOTH, "thinned", lambda T, s, o, e: s.pop(len(s) // 2),
        lambda m, A, B, e: (A[: len(A) // 2] + A[len(A) // 2 + 1 :], B, A[len(A) // 2])),
    "del of a slice across leaves": (
        BOTH, "packed", lambda T, s, o, e: s.__delitem__(slice(10, 400)), lambda m, A, B, e: (A[:10] + A[400:], B, None)),
    "del of a slice by steps": (
        BOTH, "thinned", lambda T, s, o, e: s.__delitem__(slice(400, 10, -3)),
        lambda m, A, B, e: ([x for i, x in enumerate(A) if i not in range(400, 10, -3)], B, None)),
    "remove_range across leaves": (
        BOTH, "packed", lambda T, s, o, e: s.remove_range(s[10], s[-10]),
        lambda m, A, B, e: (m.outside(A, A[10], A[-10]), B, len(A) - len(m.outside(A, A[10], A[-10])))),
    "copy": (BOTH, "packed", lambda T, s, o, e: s.copy(), lambda m, A, B, e: (A, B, A)),
    # What unpickling calls, on what pickling takes.
    "pickle round trip": (BOTH, "packed", lambda T, s, o, e: unpickled(s.__reduce__()), lambda m, A, B, e: (A, B, A)),
    "+": (LISTS, "packed", lambda T, s, o, e: s + o, lambda m, A, B, e: (A, B, m.ordered(A + B))),
    "*": (LISTS, "packed", lambda T, s, o, e: s * 3, lambda m, A, B, e: (A, B, m.ordered(A * 3))),
    "+=": (LISTS, "packed", lambda T, s, o, e: s.__iadd__(o), lambda m, A, B, e: (m.ordered(A + B), B, None)),
    "*=": (LISTS, "packed", lambda T, s, o, e: s.__imul__(2), lambda m, A, B, e: (m.ordered(A * 2), B, None)),
    # Linear merges without a key function, element by element with one.
    "union": (SETS, "packed", lambda T, s, o, e: s.union(o), lambda m, A, B, e: (A, B, m.ordered(A + B))),
    "intersection": (
        SETS, "packed", lambda T, s, o, e: s.intersection(o), lambda m, A, B, e: (A, B, [x for x in A if x in set(B)])),
    "difference": (
        SETS, "packed", lambda T, s, o, e: s.difference(o), lambda m, A, B, e: (A, B, [x for x in A if x not in set(B)])),
    "symmetric_difference": (
        SETS, "packed", lambda T, s, o, e: s.symmetric_difference(o),
        lambda m, A, B, e: (A, B, m.ordered([x for x in A if x not in set(B)] + [y for y in B if y not in set(A)]))),
}


# Updates that add their elements one at a time (a few of them, or any number
# to a set with a key function, which tells equal keys apart by equality): a
# failure keeps those added before it, as Python's own updates do. By name:
# (whether the surface's update goes one at a time, the elements it adds).
ONE_AT_A_TIME = {
    "update with a few elements": (lambda surface: True, lambda e: e[1000:1020]),
    "update with many elements": (lambda surface: surface.unique and surface.key is not None,
                                  lambda e: e[1000:1500] + e[1:1000:2]),
}


class SeqModel:
    """What a list or set of the surface holds, as a Python list."""

    def __init__(self, surface):
        self.surface, self.order = surface, surface.order or (lambda x: x)

    def ordered(self, added):
        return in_order(self.surface, added)

    @staticmethod
    def without(held, element):
        # The first of the equal ones goes, as list.remove takes it.
        held = list(held)
        held.remove(element)
        return held

    def after_failure(self, held, added, size):
        """What `held` becomes once the first of `added` are added, as many as
        make `size` elements."""
        low, high = 0, len(added)
        while low < high:
            middle = (low + high) // 2
            low, high = (middle + 1, high) if len(self.ordered(held + added[:middle])) < size else (low, middle)
        return self.ordered(held + added[:low])

    def outside(self, held, low, high):
        return [x for x in held if not self.order(low) <= self.order(x) <= self.order(high)]


def seq_start(surface, T, model, elements, how):
    """`s` and its model: packed, or added one by one in order and thinned."""
    if how == "packed":
        return T(elements), model.ordered(elements)
    held = model.ordered(elements)
    s = filled(surface, T, held)
    for element in held[::ASCENDING_LEAF]:
        s.remove(element)
        held = model.without(held, element)
    return s, held


def same(obj, model):
    assert list(obj) == model and all(a is b for a, b in zip(obj, model))


def seq_case(surface, name):
    def case(e, values):
        _, how, operation, expect = SEQ_OPERATIONS[name]
        T, model = surface.type_in(bt), SeqModel(surface)
        s, A = seq_start(surface, T, model, e[:1000] + e[1500:2000], how)
        other, B = T(e[:999:-1]), model.ordered(e[:999:-1])
        kept, other_kept, made = expect(model, A, B, e)

        one_at_a_time, added = ONE_AT_A_TIME.get(name, (lambda surface: False, None))

        def settle(ok, result):
            failed = model.after_failure(A, added(e), len(s)) if one_at_a_time(surface) else A
            for obj, held in ((s, kept if ok else failed), (other, other_kept if ok else B)):
                check_tree(obj, strict=False)
                same(obj, held)
            if ok and isinstance(made, list):
                if not isinstance(result, list):
                    check_tree(result, strict=False)
                same(result, made)
            elif ok and made is not None:
                assert result == made
            return [s, other, result]

        return lambda: operation(T, s, other, e), settle

    return 3000, case


# Ascending insertion leaves a full last leaf at ASCENDING_FULL_LAST keys. A
# packed tree of MAX_KEYS * MAX_CHILDREN keys is a full root over full leaves;
# of twice as many, a root over two full internal nodes.
FULL_TWO_LEVELS = None if MAX_KEYS is None else MAX_KEYS * MAX_CHILDREN
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


CASES = node_table(lambda: joined(
    # The cases read items and values: the types that keep values.
    {f"{surface.name}: {name}": case for surface in SURFACES if surface.valued
     for name, case in shared_cases(surface).items()},
    {f"BTree: {name}": case for name, case in str_cases(TREE).items()},
    {f"BTree: bulk build of {n}": build_case(n) for n in (0, 1, MAX_KEYS, MAX_KEYS + 1, 5000, FULL_TWO_LEVELS + 1)},
    {f"BTree: {name}": read_case(TREE, *CAPSULE_READS[name]) for name in CAPSULE_READS},
    {f"BTreeMap: {name}": map_case(name) for name in MAP_OPERATIONS},
    {f"{surface.name}: {name}": seq_case(surface, name) for surface in SURFACES if not surface.valued
     for name, (types, *_) in SEQ_OPERATIONS.items() if surface.type_name in types},
))

def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


class Ours:
    """The module's own allocations, counted and failed by the test build."""

    @staticmethod
    def count():
        return bt.alloc_count()

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
    kind = "str" if re.search(r"\bstr\b", name) else "pairs" if re.match(r"BTree(List|Set)\b", name) else "int"
    keys = fresh(count, kind)
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


# The interpreter's sweep repeats a case once per allocation of the
# interpreter's, thousands for a sequence: the sequences with a key function,
# whose own allocations the first sweep fails in turn, leave it to those
# without one, which run the same calls through the same interpreter paths.
INTERPRETER_CASES = [name for name in CASES if not re.match(r"BTree(List|Set) with key: ", name)]


# The interpreter's own failure path of PyList_New reads freed memory on
# free-threaded 3.13 builds: tests/free_threaded_list_new.py shows it
# without this project's code.
LIST_NEW_FAULT = FREE_THREADED and sys.version_info < (3, 14)


@pytest.mark.skipif(_testcapi is None, reason="needs _testcapi")
@pytest.mark.skipif(LIST_NEW_FAULT, reason="free-threaded CPython 3.13 crashes when PyList_New fails to allocate "
                    "(tests/free_threaded_list_new.py)")
@pytest.mark.parametrize("name", INTERPRETER_CASES)
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
