"""Hostile keys and values, on BTree and on BTreeMap (of the test build where it is installed).

Comparisons that raise at any one of their calls, answer with objects whose
truth fails, call back into the tree through every method and capsule entry,
change or clear other trees and collect garbage; other threads that use the
tree meanwhile; finalisers run by a mutation that step an iterator, call the
tree or collect garbage. Nothing may crash; afterwards every invariant holds,
and each outcome is either the right answer or one of the errors the module
names.
"""

import _thread
import gc
import operator
import pickle
import subprocess
import sys
import threading
import time
import weakref
from functools import partial
from types import SimpleNamespace

import pytest

import sortedcontainers

from helpers import (FREE_THREADED, KEYED_LIST, KEYED_SET, LIST, MAP, NODE_KEYS, SET, SURFACES, TESTED, TREE, Key,
                     _btree_client as capi, _btree_test, check_tree, in_order, needs_path_cache, use_capsule_of)

REENTRANT = "BTree reentrant access during comparison"
MUTATED = "BTree mutated during iteration"
MAP_REENTRANT = "BTreeMap reentrant access during comparison"
MAP_MUTATED = "BTreeMap mutated during iteration"


@pytest.fixture(scope="module", autouse=True)
def client():
    use_capsule_of(TESTED)
    yield
    capi.use_capsule(None)


class Boom(Exception):
    pass


class Answer:
    """A comparison's answer that is not a bool; asking for its truth runs
    the key hook, which may raise."""

    def __init__(self, flag):
        self.flag = flag

    def __bool__(self):
        if (hook := Key.hook) is not None:
            hook(None, None)
        return self.flag


class Answering(Key):
    def __lt__(self, other):
        return Answer(self.value < other.value)

    def __eq__(self, other):
        return Answer(isinstance(other, Key) and self.value == other.value)

    __hash__ = None


def with_equals(surface, keys):
    """The keys, and where the type keeps equal keys side by side, every
    seventh again as another object."""
    if surface.unique:
        return keys
    return sorted(keys + [type(key)(key.value) for key in keys[::7]], key=lambda key: key.value)


def packed(surface, keys):
    """A tree of the test build made by the bulk build, each key's value its
    `value`."""
    keys = with_equals(surface, keys)
    return surface.packed(surface.type_in(TESTED), keys, [key.value for key in keys])


def by_name(table, keep=lambda entry: True):
    """(surface, name) for every entry of each surface's `table` attribute
    (a type without the table has no entries)."""
    return [pytest.param(s, name, id=f"{s.name}: {name}")
            for s in SURFACES for name, entry in getattr(s, table, {}).items() if keep(entry)]


def tree_of_keys(surface, keys):
    """A tree of the keys inserted in the given order, value = key.value."""
    tree = surface.type_in(TESTED)()
    for key in keys:
        surface.insert(tree, key, key.value)
    return tree


def thinned(surface, cls):
    """Descending insertion leaves every node but the first of its level at
    the minimum fill; at 8067 keys the root holds one key over two internal
    nodes, so that a deletion on the right merges on every level."""
    return tree_of_keys(surface, [cls(v) for v in range(8066, -1, -1)])


def key_values(tree):
    """What the tree holds, keys as their values: pairs, or the elements."""
    if hasattr(tree, "items"):
        return [(key.value, value) for key, value in tree.items()]
    return [element.value for element in tree]


def walk_keys(surface, tree):
    return surface.walks["keys"](tree)


class Reference(sortedcontainers.SortedKeyList):
    """A BTreeList or BTreeSet in Python, from which the sequence records'
    tables take their expected results: a sorted list that keeps one of each
    element where `unique`, and the calls the sortedcontainers types lack."""

    unique = False

    def __init__(self, iterable=(), key=None):
        super().__init__(key=key or (lambda element: element))
        self.update(iterable)

    def add(self, value):
        if not (self.unique and value in self):
            super().add(value)

    def update(self, *iterables):
        for iterable in iterables:
            for value in list(iterable):
                self.add(value)
        # A set's update returns the set, as SortedSet's does; a list's nothing.
        return self if self.unique else None

    def remove(self, value):
        if self.unique and value not in self:
            raise KeyError(value)
        super().remove(value)

    def remove_range(self, minimum=None, maximum=None, inclusive=(True, True)):
        gone = list(self.irange(minimum, maximum, inclusive))
        for element in gone:
            super().remove(element)
        return len(gone)

    def copy(self):
        return type(self)(self, self.key)

    def union(self, *others):
        made = self.copy()
        made.update(*others)
        return made

    def intersection(self, *others):
        return type(self)([e for e in self if all(e in list(other) for other in others)], self.key)

    def difference(self, *others):
        return type(self)([e for e in self if not any(e in list(other) for other in others)], self.key)

    def symmetric_difference(self, other):
        other = type(self)(other, self.key)
        return type(self)([e for e in self if e not in other] + [e for e in other if e not in self], self.key)

    def isdisjoint(self, other):
        return not any(e in self for e in other)

    def __le__(self, other):
        return all(e in other for e in self)

    def __eq__(self, other):
        return list(self) == list(other)

    def __ior__(self, other):
        self.update(other)
        return self


class UniqueReference(Reference):
    unique = True


def reference_of(surface, tree):
    """The Reference holding what a BTreeList or BTreeSet holds."""
    made = (UniqueReference if surface.unique else Reference)(key=surface.key)
    for element in tree:
        made.add(type(element)(element.value))
    return made


def held(keys):
    return [key.value for key in keys]


# The values of the keys of the two small trees that merges take.
SMALL = {3 * v for v in range(60)}
OTHER = {2 * v for v in range(50)}


@pytest.fixture(scope="module", params=[Key, Answering], ids=["comparison raises", "answer's truth raises"])
def templates(request):
    cls = request.param
    return cls, {surface.name: {
        # A full internal node over full leaves, beside a last one of a single
        # key: inserting into it splits an internal node and a leaf.
        "full": packed(surface, [cls(2 * v) for v in range(NODE_KEYS * (NODE_KEYS + 1) + 1)]),
        "thin": thinned(surface, cls),
        "small": packed(surface, [cls(v) for v in sorted(SMALL)]),
    } for surface in SURFACES}


# Operations that compare keys: (template, run(tree, other, K), its result).
# `other` is the small tree for merges; K the key class.
TREE.comparing = {
    "insert": ("full", lambda t, o, K: t.insert(K(16001), "new"), None),
    "increment": ("full", lambda t, o, K: capi.increment(t, K(16001), 2, 5), 7),
    "replacing increment": ("full", lambda t, o, K: capi.increment(t, K(16000), 2, 5), 16002),
    "search": ("full", lambda t, o, K: t.search(K(16000)), 16000),
    "delete": ("thin", lambda t, o, K: t.delete(K(6000)), None),
    "bisect_left": ("full", lambda t, o, K: t.bisect_left(K(16001)), 8001),
    "bisect_right": ("full", lambda t, o, K: t.bisect_right(K(16000)), 8001),
    "irange": ("full", lambda t, o, K: held(t.irange(K(9), K(20))), [10, 12, 14, 16, 18, 20]),
    "capsule irange": ("full", lambda t, o, K: held(capi.irange(t, K(9), K(14))), [10, 12, 14]),
    "union": ("small", lambda t, o, K: held(capi.merge_union(t, o).keys()), sorted(SMALL | OTHER)),
    "intersection": ("small", lambda t, o, K: held(capi.merge_intersection(t, o).keys()), sorted(SMALL & OTHER)),
    "difference": ("small", lambda t, o, K: held(capi.merge_difference(t, o).keys()), sorted(SMALL - OTHER)),
}
MAP.comparing = {
    "m[k] = v": ("full", lambda m, o, K: m.__setitem__(K(16001), "new"), None),
    "m[k] = v over a value": ("full", lambda m, o, K: m.__setitem__(K(16000), "new"), None),
    "m[k]": ("full", lambda m, o, K: m[K(16000)], 16000),
    "get": ("full", lambda m, o, K: m.get(K(16001), "absent"), "absent"),
    "in": ("full", lambda m, o, K: K(16000) in m, True),
    "del m[k]": ("thin", lambda m, o, K: m.__delitem__(K(6000)), None),
    "pop": ("thin", lambda m, o, K: m.pop(K(6000)), 6000),
    "setdefault": ("full", lambda m, o, K: m.setdefault(K(16001), 7), 7),
    "increment": ("full", lambda m, o, K: m.increment(K(16001), 7), 7),
    "replacing increment": ("full", lambda m, o, K: m.increment(K(16000), 2), 16002),
    "update": ("full", lambda m, o, K: m.update([(K(16001), "new")]), None),
    "bisect_left": ("full", lambda m, o, K: m.bisect_left(K(16001)), 8001),
    "bisect_right": ("full", lambda m, o, K: m.bisect_right(K(16000)), 8001),
    "index": ("full", lambda m, o, K: m.index(K(16000)), 8000),
    "index between": ("full", lambda m, o, K: m.index(K(16000), 8000, stop=8001), 8000),
    "keys index between": ("full", lambda m, o, K: m.keys().index(K(16000), start=-20000), 8000),
    "items index between": ("full", lambda m, o, K: m.items().index((K(16000), 16000), None, 8001), 8000),
    "irange": ("full", lambda m, o, K: held(m.irange(K(9), K(20))), [10, 12, 14, 16, 18, 20]),
    "remove_range": ("full", lambda m, o, K: m.remove_range(K(9), K(20000)), 9996),
    "floor_key": ("full", lambda m, o, K: m.floor_key(K(16001)).value, 16000),
    "ceiling_key": ("full", lambda m, o, K: m.ceiling_key(K(15999)).value, 16000),
    "lower_key": ("full", lambda m, o, K: m.lower_key(K(16000)).value, 15998),
    "higher_key": ("full", lambda m, o, K: m.higher_key(K(16000)).value, 16002),
    "union": ("small", lambda m, o, K: held(m.union(o)), sorted(SMALL | OTHER)),
    "intersection": ("small", lambda m, o, K: held(m.intersection(o)), sorted(SMALL & OTHER)),
    "difference": ("small", lambda m, o, K: held(m.difference(o)), sorted(SMALL - OTHER)),
    "construction": ("small", lambda m, o, K: held(type(m)(list(m.items())[::-1])), sorted(SMALL)),
    "fromsorted": ("small", lambda m, o, K: held(type(m).fromsorted(m.items())), sorted(SMALL)),
    "keys & keys": ("small", lambda m, o, K: held(m.keys() & o.keys()), sorted(SMALL & OTHER)),
    "items - list": ("small", lambda m, o, K: held(k for k, _ in m.items() - list(o.items())), sorted(SMALL - OTHER)),
    "list - items": ("small", lambda m, o, K: held(k for k, _ in list(o.items()) - m.items()), sorted(OTHER - SMALL)),
    "items ^ list": ("small", lambda m, o, K: held(k for k, _ in m.items() ^ list(o.items())), sorted(SMALL ^ OTHER)),
    "== map": ("small", lambda m, o, K: m == type(m).fromsorted((K(k.value), v) for k, v in m.items()), True),
    "list ^ keys": ("small", lambda m, o, K: held(list(o.keys()) ^ m.keys()), sorted(SMALL ^ OTHER)),
    "isdisjoint": ("small", lambda m, o, K: m.keys().isdisjoint(list(o.keys())[1:]), False),
    "keys >= keys": ("small", lambda m, o, K: m.keys() >= o.keys(), False),
}


def sequence_comparing(surface):
    """The comparing table of a BTreeList or BTreeSet record; the results
    come from the same calls on a Reference (see expectation)."""
    # Bounds as elements: the first comes first in the tree's order.
    def bounds(K, low, high):
        return (K(high), K(low)) if surface.key else (K(low), K(high))

    def made(T, s, elements):
        return T(elements, key=s.key)

    table = {
        "add": ("full", lambda s, o, K: s.add(K(16001))),
        "add equal": ("full", lambda s, o, K: s.add(K(16000))),
        # A set's update returns the set, a list's None: told by identity,
        # as comparing the set would compare its elements.
        "update": ("full", lambda s, o, K: (lambda got: "itself" if got is s else got)(s.update([K(16001)]))),
        "in": ("full", lambda s, o, K: K(16000) in s),
        "missing in": ("full", lambda s, o, K: K(16001) in s),
        "count": ("full", lambda s, o, K: s.count(K(16002))),
        "index": ("full", lambda s, o, K: s.index(K(16000))),
        "index between": ("full", lambda s, o, K: s.index(K(16002), 1, stop=len(s))),
        "remove": ("thin", lambda s, o, K: s.remove(K(6000))),
        "discard": ("thin", lambda s, o, K: s.discard(K(6000))),
        "discard of a missing element": ("thin", lambda s, o, K: s.discard(K(6000.5))),
        "bisect_left": ("full", lambda s, o, K: s.bisect_left(K(16001))),
        "bisect_right": ("full", lambda s, o, K: s.bisect_right(K(16000))),
        "irange": ("full", lambda s, o, K: held(s.irange(*bounds(K, 9, 20)))),
        "irange reversed open": ("full", lambda s, o, K: held(s.irange(*bounds(K, 9, 20), (False, False), True))),
        "remove_range": ("full", lambda s, o, K: s.remove_range(*bounds(K, 9, 20000))),
        "construction": ("small", lambda s, o, K: held(made(type(s), s, list(s)[::-1]))),
    }
    if surface.key is not None:
        table.update({
            "bisect_key_left": ("full", lambda s, o, K: s.bisect_key_left(K(-16001))),
            "irange_key": ("full", lambda s, o, K: held(s.irange_key(K(-20), K(-9)))),
        })
    if surface.unique:
        table.update({
            "union": ("small", lambda s, o, K: held(s.union(o))),
            "intersection": ("small", lambda s, o, K: held(s.intersection(o))),
            "difference": ("small", lambda s, o, K: held(s.difference(o))),
            "symmetric_difference": ("small", lambda s, o, K: held(s.symmetric_difference(list(o)))),
            # One element: an update of several stops where it fails, as a set's.
            "|=": ("small", lambda s, o, K: held(s.__ior__([K(1)]))),
            "isdisjoint": ("small", lambda s, o, K: s.isdisjoint(list(o)[1:])),
            "<= set": ("small", lambda s, o, K: o <= s),
        })
    else:
        # A set equals Sets only.
        table.update({
            "== list": ("small", lambda s, o, K: s == [K(e.value) for e in s]),
            "< list": ("small", lambda s, o, K: s < [K(e.value) for e in s] + [K(1)]),
            "+": ("small", lambda s, o, K: held(s + list(o))),
            "+=": ("small", lambda s, o, K: held(s.__iadd__(list(o)))),
        })
    return {name: (template, run, None) for name, (template, run) in table.items()}


for _record in (LIST, KEYED_LIST, SET, KEYED_SET):
    _record.comparing = sequence_comparing(_record)


def adding(value):
    return lambda items: sorted(items + [(16001, value)])


def replacing(value):
    return lambda items: [(k, value if k == 16000 else v) for k, v in items]


def removing(items):
    return [(k, v) for k, v in items if k != 6000]


# Expected items after a successful run, for the operations that change them.
CHANGES = {
    "insert": adding("new"), "m[k] = v": adding("new"), "update": adding("new"),
    "increment": adding(7), "setdefault": adding(7),
    "replacing increment": replacing(16002), "m[k] = v over a value": replacing("new"),
    "delete": removing, "del m[k]": removing, "pop": removing,
    "remove_range": lambda items: [(k, v) for k, v in items if not 9 <= k <= 20000],
}


def expectation(surface, name, trees, cls):
    """The result of the comparing call `name` on its template, and what the
    tree holds after it: from the tables, or from the same call on a
    Reference (other: the small tree of OTHER)."""
    template, run, result = surface.comparing[name]
    if surface.valued:
        return result, CHANGES.get(name, list)(key_values(trees[template]))
    reference = reference_of(surface, trees[template])
    other = reference_of(surface, packed(surface, [cls(v) for v in sorted(OTHER)]))
    result = run(reference, other, cls)
    return result, [e.value for e in reference]


@pytest.mark.parametrize("surface, name", by_name("comparing"))
def test_comparison_failing_at_each_call(templates, key_hook, surface, name):
    cls, made = templates
    trees = made[surface.name]
    template, run, _ = surface.comparing[name]
    result, after = expectation(surface, name, trees, cls)
    other = packed(surface, [cls(v) for v in sorted(OTHER)])
    strict = template == "thin"  # packed trees end each level with a small node
    items = list(surface.entries(trees[template]))
    calls = []
    key_hook(lambda a, b: calls.append(1))
    tree = surface.copy(trees[template])
    run(tree, other, cls)
    key_hook(None)
    assert calls

    for fail_at in range(len(calls)):
        tree = surface.copy(trees[template])
        iterator = surface.entries(tree)
        countdown = [fail_at]

        def hook(a, b):
            if countdown[0] == 0:
                raise Boom
            countdown[0] -= 1

        key_hook(hook)
        with pytest.raises(Boom):
            run(tree, other, cls)
        key_hook(None)
        check_tree(tree, strict)
        assert list(surface.entries(tree)) == items
        # An iterator made before the failure goes on only if nothing moved.
        try:
            assert list(iterator) == items
        except RuntimeError as error:
            assert str(error) == surface.mutated
        # The tree keeps working: the same operation now succeeds.
        assert run(tree, other, cls) == result
    check_tree(tree, strict)
    assert key_values(tree) == after


# Every way to copy a tree.
TREE.copies = {"capi copy": capi.copy}
MAP.copies = {
    "BTreeMap(m)": TESTED.BTreeMap,
    "copy": lambda m: m.copy(),
    "pickle": lambda m: pickle.loads(pickle.dumps(m)),
}


def sequence_tables(surface):
    """The copies and guarded tables of a BTreeList or BTreeSet record."""
    T = surface.type_in(TESTED)
    surface.copies = {
        "constructor": lambda s: T(s),
        "copy": lambda s: s.copy(),
        "pickle": lambda s: pickle.loads(pickle.dumps(s)),
    }
    surface.guarded = {
        **surface.copies,
        "add": lambda s: s.add(Key(0.5)),
        "update": lambda s: s.update([Key(0.5)]),
        "update from s": lambda s: T([Key(0.5)]).update(s),
        "discard": lambda s: s.discard(Key(4)),
        "remove": lambda s: s.remove(Key(4)),
        "in": lambda s: Key(4) in s,
        "count": lambda s: s.count(Key(4)),
        "index": lambda s: s.index(Key(4)),
        "index between": lambda s: s.index(Key(4), 1, stop=len(s)),
        "bisect_left": lambda s: s.bisect_left(Key(4)),
        "bisect_right": lambda s: s.bisect_right(Key(4)),
        "irange": lambda s: s.irange(Key(1), Key(5)),
        "islice": lambda s: s.islice(0, 2),
        "remove_range": lambda s: s.remove_range(Key(1), Key(5)),
        "position": lambda s: s[0],
        "slice": lambda s: s[:2],
        "del position": lambda s: s.__delitem__(0),
        "del slice": lambda s: s.__delitem__(slice(0, 2)),
        "del slice by steps": lambda s: s.__delitem__(slice(None, None, 3)),
        "pop": lambda s: s.pop(),
        "pop first": lambda s: s.pop(0),
        "clear": lambda s: s.clear(),
        "iter": iter,
        "reversed": reversed,
        "==": lambda s: s == s,
        "repr": repr,
        "sizeof": sys.getsizeof,
    }
    if surface.unique:
        surface.guarded.update({
            "|=": lambda s: s.__ior__([Key(0.5)]),
            "union": lambda s: s.union(T()),
            "intersection": lambda s: s.intersection(s),
            "difference": lambda s: s.difference(s),
            "symmetric_difference": lambda s: s.symmetric_difference([Key(4)]),
            "&=": lambda s: s.__iand__(s),
            "isdisjoint": lambda s: s.isdisjoint([Key(4)]),
            "<= set": lambda s: s <= s,
        })
    else:
        # Of the same length, which is all a shorter or longer list needs.
        surface.guarded.update({"<": lambda s: s < s, "== list": lambda s: s == [Key(4)] * len(s), "+": lambda s: s + s, "+=": lambda s: s.__iadd__([Key(0.5)]),
                                "*": lambda s: s * 2, "*=": lambda s: s.__imul__(1)})
    if surface.key is not None:
        surface.guarded.update({"bisect_key_left": lambda s: s.bisect_key_left(Key(-4)),
                                "irange_key": lambda s: s.irange_key(Key(-5), Key(-1))})


for _record in (LIST, KEYED_LIST, SET, KEYED_SET):
    sequence_tables(_record)

# Every method and capsule entry that takes or tests the tree's guard.
TREE.guarded = {
    **TREE.copies,
    "insert": lambda t: t.insert(Key(0.5)),
    "delete": lambda t: t.delete(Key(4)),
    "search": lambda t: t.search(Key(4)),
    "clear": lambda t: t.clear(),
    "keys": lambda t: t.keys(),
    "values": lambda t: t.values(),
    "items": lambda t: t.items(),
    "bisect_left": lambda t: t.bisect_left(Key(4)),
    "bisect_right": lambda t: t.bisect_right(Key(4)),
    "irange": lambda t: t.irange(Key(1), Key(5)),
    "capi insert": lambda t: capi.insert(t, Key(0.5), None),
    "capi delete": lambda t: capi.delete(t, Key(4)),
    "capi search": lambda t: capi.search(t, Key(4)),
    "capi bisect_left": lambda t: capi.bisect_left(t, Key(4)),
    "capi bisect_right": lambda t: capi.bisect_right(t, Key(4)),
    "capi irange": lambda t: capi.irange(t, Key(1)),
    "capi get_item_by_index": lambda t: capi.get_item_by_index(t, 0),
    "capi iter_new": lambda t: capi.iter_new(t),
    "capi pop_item_by_index": lambda t: capi.pop_item_by_index(t, 0),
    "capi increment": lambda t: capi.increment(t, Key(4), 1, 0),
    "capi merge_union": lambda t: capi.merge_union(t, TESTED.BTree()),
    "capi merge_intersection": lambda t: capi.merge_intersection(TESTED.BTree(), t),
    "capi merge_difference": lambda t: capi.merge_difference(t, t),
}
MAP.guarded = {
    **MAP.copies,
    "m[k] = v": lambda m: m.__setitem__(Key(0.5), None),
    "del m[k]": lambda m: m.__delitem__(Key(4)),
    "m[k]": lambda m: m[Key(4)],
    "get": lambda m: m.get(Key(4)),
    "in": lambda m: Key(4) in m,
    "pop": lambda m: m.pop(Key(4)),
    "setdefault": lambda m: m.setdefault(Key(4), 4),
    "increment": lambda m: m.increment(Key(4), 0),
    "update": lambda m: m.update([(Key(0.5), None)]),
    "update from m": lambda m: TESTED.BTreeMap([(Key(0.5), None)]).update(m),
    "|=": lambda m: m.__ior__([(Key(0.5), None)]),
    "clear": lambda m: m.clear(),
    "iter": iter,
    "reversed": reversed,
    "items": lambda m: iter(m.items()),
    "view position": lambda m: m.values()[0],
    "view slice": lambda m: m.keys()[:2],
    "value in values": lambda m: 4 in m.values(),
    "peekitem": lambda m: m.peekitem(0),
    "peekitem by name": lambda m: m.peekitem(index=-1),
    "popitem": lambda m: m.popitem(0),
    "popitem by name": lambda m: m.popitem(index=-1),
    "bisect_left": lambda m: m.bisect_left(Key(4)),
    "bisect_right": lambda m: m.bisect_right(Key(4)),
    "index": lambda m: m.index(Key(4)),
    "index between": lambda m: m.index(Key(4), 1, stop=9),
    "values index between": lambda m: m.values().index(4, 1),
    "irange": lambda m: m.irange(Key(1), Key(5)),
    "remove_range": lambda m: m.remove_range(Key(1), Key(5)),
    "del view position": lambda m: m.keys().__delitem__(0),
    "del view slice": lambda m: m.items().__delitem__(slice(0, 2)),
    "del view slice by steps": lambda m: m.values().__delitem__(slice(None, None, 3)),
    "islice": lambda m: m.islice(0, 2),
    "floor_key": lambda m: m.floor_key(Key(4), None),
    "ceiling_key": lambda m: m.ceiling_key(Key(4), None),
    "lower_key": lambda m: m.lower_key(Key(4), None),
    "higher_key": lambda m: m.higher_key(Key(4), None),
    "copy": lambda m: m.copy(),
    "union": lambda m: m.union(TESTED.BTreeMap()),
    "intersection": lambda m: TESTED.BTreeMap().intersection(m),
    "difference": lambda m: m.difference(m),
    "keys & keys": lambda m: m.keys() & m.keys(),
    "items & list": lambda m: m.items() & [(Key(4), 4)],
    "isdisjoint": lambda m: m.keys().isdisjoint([Key(4)]),
    "keys <= keys": lambda m: m.keys() <= m.keys(),
    "==": lambda m: m == m,
    "repr": repr,
    "sizeof": sys.getsizeof,
}


@pytest.mark.parametrize("surface, name", by_name("comparing", keep=lambda entry: entry[0] != "small"))
def test_reentry_from_every_comparison(templates, key_hook, surface, name):
    """Python code run by every comparison reaches the tree through every
    entry: all but len() and an iterator's steps refuse, copies included, so
    that none sees the tree in mid-operation; an iterator made before goes on
    only while nothing has moved (every change moves the version before any
    Python code runs). Meanwhile other trees change freely and the collector
    walks them all."""
    cls, made = templates
    trees = made[surface.name]
    template, run, _ = surface.comparing[name]
    result, after = expectation(surface, name, trees, cls)
    tree = surface.copy(trees[template])
    items = list(surface.entries(tree))
    iterator = surface.walk(tree)
    filled, emptied = surface.type_in(TESTED)(), surface.copy(trees["small"])
    refusals, steps = set(), []

    def reenter():
        for call in surface.guarded.values():
            try:
                call(tree)
                refusals.add("ran")
            except RuntimeError as error:
                refusals.add(str(error))
        assert len(tree) == len(items)
        try:
            steps.append(surface.step(iterator))
        except RuntimeError as error:
            steps.append(str(error))
        surface.insert(filled, cls(len(steps)), len(steps))
        emptied.clear()
        if len(steps) % 8 == 1:
            gc.collect()

    def hook(a, b):
        key_hook(None)
        reenter()
        key_hook(hook)

    key_hook(hook)
    assert run(tree, None, cls) == result
    key_hook(None)
    assert refusals == {surface.reentrant}
    if FREE_THREADED:
        # Where threads run at once an iterator's step holds the tree too:
        # this thread's own operation refuses it.
        assert steps and set(steps) == {surface.reentrant}
    else:
        stepped = [step for step in steps if step != surface.mutated]
        assert steps and stepped == items[: len(stepped)] and surface.mutated not in steps[: len(stepped)]
    assert key_values(filled) == [surface.entry(n, n) for n in in_order(surface, range(1, len(steps) + 1))]
    assert len(emptied) == 0
    check_tree(filled)
    check_tree(tree, strict=template == "thin")
    assert key_values(tree) == after


# The merges of two trees, as the keys of the result.
TREE.merged_keys = {
    "union": lambda a, b: held(capi.merge_union(a, b).keys()),
    "intersection": lambda a, b: held(capi.merge_intersection(a, b).keys()),
    "difference": lambda a, b: held(capi.merge_difference(a, b).keys()),
}
MAP.merged_keys = {
    "union": lambda a, b: held(a.union(b)),
    "intersection": lambda a, b: held(a.intersection(b)),
    "difference": lambda a, b: held(a.difference(b)),
    "keys ^ keys": lambda a, b: held(a.keys() ^ b.keys()),
    "items & items": lambda a, b: held(k for k, _ in a.items() & b.items()),
}
# A set without a key function merges two trees in one walk; with one it
# looks the elements of one operand up in the other, which this test does not
# describe.
SET.merged_keys = {
    "union": lambda a, b: held(a.union(b)),
    "intersection": lambda a, b: held(a.intersection(b)),
    "difference": lambda a, b: held(a.difference(b)),
    "^": lambda a, b: held(a ^ b),
}

# What a comparison made by a merge does to the merged trees: reads leave the
# merge to finish, changes stop it.
SOURCE_CALLS = {
    "search": (lambda s, t: s.search(t, Key(6)), None),
    "iterate": (lambda s, t: list(walk_keys(s, t)), None),
    "copy": (lambda s, t: s.copy(t), None),
    "insert": (lambda s, t: s.insert(t, Key(1000 + len(t))), True),
    "delete": (lambda s, t: s.delete(t, next(walk_keys(s, t))), True),
    "clear": (lambda s, t: t.clear(), True),
}


@pytest.mark.parametrize("side", [0, 1], ids=["left", "right"])
@pytest.mark.parametrize("call", SOURCE_CALLS)
@pytest.mark.parametrize("surface, merge", by_name("merged_keys"))
def test_merge_of_trees_changed_by_its_comparisons(key_hook, surface, merge, call, side):
    left, right = packed(surface, [Key(v) for v in sorted(SMALL)]), packed(surface, [Key(v) for v in sorted(OTHER)])
    run = surface.merged_keys[merge]
    expected = run(left, right)
    action, changes = SOURCE_CALLS[call]
    done = []

    def hook(a, b):
        if len(done) < 3:
            done.append(1)
            key_hook(None)
            action(surface, (left, right)[side])
            key_hook(hook)

    key_hook(hook)
    if FREE_THREADED or surface is not TREE:
        # A merge of the sorted containers holds both trees, as does any merge
        # where threads run at once: any call into them from its comparisons
        # is a re-entry. The capsule's merges hold neither under the
        # interpreter lock.
        with pytest.raises(RuntimeError, match=f"^{surface.reentrant}$"):
            run(left, right)
    elif changes:
        with pytest.raises(RuntimeError, match=f"^{surface.mutated}$"):
            run(left, right)
    else:
        assert run(left, right) == expected
    key_hook(None)
    for tree in (left, right):
        check_tree(tree, strict=False)


@pytest.mark.parametrize("surface, merge", by_name("merged_keys"))
def test_another_thread_waits_for_a_merge(key_hook, surface, merge):
    """A change from another thread while a merge's comparison runs Python
    code waits for the merge, which sees neither tree changed; the capsule's
    merge, which holds neither tree under the interpreter lock, sees the
    change instead and stops."""
    left, right = packed(surface, [Key(v) for v in sorted(SMALL)]), packed(surface, [Key(v) for v in sorted(OTHER)])
    run = surface.merged_keys[merge]
    expected = run(left, right)
    thread = None

    def hook(a, b):
        nonlocal thread
        if thread is None:
            thread = threading.Thread(target=lambda: surface.insert(left, Key(1000)))
            thread.start()
            time.sleep(0.02)  # long enough for the other thread to reach the tree

    key_hook(hook)
    if surface is TREE and not FREE_THREADED:
        with pytest.raises(RuntimeError, match=f"^{surface.mutated}$"):
            run(left, right)
    else:
        assert run(left, right) == expected
    key_hook(None)
    thread.join()
    assert 1000 in held(walk_keys(surface, left))
    check_tree(left)


@pytest.mark.parametrize("surface, call", by_name("guarded"))
def test_another_thread_waits_for_the_guard(key_hook, surface, call):
    """A call from another thread while a comparison of a deletion runs is no
    re-entry: it waits, with the interpreter lock released, and then runs on
    the tree the deletion leaves; an iterator it makes walks that tree."""
    tree = tree_of_keys(surface, [Key(v) for v in range(200)])
    outcome = []
    thread = None

    def other():
        try:
            result = surface.guarded[call](tree)
            if hasattr(result, "__next__"):
                assert list(result) == list(surface.guarded[call](tree))
            outcome.append("ran")
        except RuntimeError as error:
            outcome.append(str(error))

    def hook(a, b):
        nonlocal thread
        if thread is None:
            thread = threading.Thread(target=other)
            thread.start()
            time.sleep(0.02)  # long enough for the other thread to reach the tree
            outcome.append("compared")

    key_hook(hook)
    surface.delete(tree, Key(100))
    key_hook(None)
    thread.join()
    assert outcome == ["compared", "ran"]
    check_tree(tree)


@pytest.mark.parametrize("surface, name", by_name("copies"))
def test_copy_from_another_thread_waits_for_a_deletion(templates, key_hook, surface, name):
    """A copy asked for by another thread at any comparison of a deletion,
    also once the deletion has merged the root's children, waits for it and
    holds the tree the deletion leaves, every invariant holding."""
    cls, made = templates
    tree = surface.copy(made[surface.name]["thin"])
    copies, threads = [], []

    def hook(a, b):
        thread = threading.Thread(target=lambda: copies.append(surface.copies[name](tree)))
        threads.append(thread)
        thread.start()
        time.sleep(0.02)  # long enough for the other thread to reach the tree

    key_hook(hook)
    surface.delete(tree, cls(6000))
    key_hook(None)
    for thread in threads:
        thread.join()
    assert threads and len(copies) == len(threads)
    for copy in copies:
        check_tree(copy)
        assert key_values(copy) == key_values(tree)


@pytest.mark.parametrize("given", ["a map", "pairs"])
def test_empty_map_filled_while_another_thread_adds_to_it(given):
    """A fill of an empty map (a copy of a map, or pairs built bottom-up) whose
    entry waited for another thread's operation finds the map no longer empty:
    its items are then stored one by one, and the other item stays."""
    pairs = [(v, v) for v in range(0, 1000, 2)]
    target, source = TESTED.BTreeMap(), TESTED.BTreeMap(pairs) if given == "a map" else pairs
    thread = threading.Thread(target=lambda: target.update(source))

    class Delta:
        # The addition of an increment runs with the guard held.
        def __radd__(self, other):
            thread.start()
            time.sleep(0.02)  # long enough for the other thread to reach the tree
            return other + 1

    assert target.increment(1, Delta()) == 1
    thread.join()
    check_tree(target)
    assert list(target.items()) == sorted(pairs + [(1, 1)])


def test_ctrl_c_interrupts_a_wait_for_the_guard(key_hook, surface):
    """The main thread waiting for a tree that another thread holds answers
    Ctrl-C with KeyboardInterrupt and leaves the tree as it was. Where
    threads run at once, readers share a tree: the main thread then waits to
    write."""
    tree = tree_of_keys(surface, [Key(v) for v in range(50)])
    entered, release = threading.Event(), threading.Event()
    other = threading.Thread(target=lambda: surface.search(tree, Key(3)))

    # Generous waits: on a loaded machine a thread may not run for seconds,
    # and the other thread must still hold the tree when the interrupt comes.
    def hook(a, b):
        if threading.current_thread() is other:
            entered.set()
            release.wait(120)

    key_hook(hook)
    other.start()
    assert entered.wait(120)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            if FREE_THREADED:
                surface.delete(tree, Key(4))
            else:
                surface.search(tree, Key(4))
    finally:
        release.set()
        other.join()
        timer.join()
        key_hook(None)
    assert surface.search(tree, Key(4)) == surface.stored(Key(4), 4)
    check_tree(tree)


THREADS = 8


def test_threads_share_a_tree(key_hook, surface):
    """Eight threads with keys compared in Python, switched as often as the
    interpreter allows, insert, delete, search, bisect, take ranges and
    iterate one tree: none fails, and the tree ends with what each thread's
    own operations, replayed alone, leave in its own keys."""
    tree = surface.type_in(TESTED)()
    # Each thread's values, each with what it stored under them in order
    # (one at most where the type keeps one of equal keys, else two).
    replicas = [{} for _ in range(THREADS)]
    most = 1 if surface.unique else 2
    rank = surface.order or (lambda value: value)
    outcomes = [set() for _ in range(THREADS)]
    failures = []
    deadline = time.monotonic() + 3

    def step(me, n):
        # Thread `me` owns the values congruent to `me` modulo THREADS.
        value = THREADS * (n * 7 % 150) + me
        mine = replicas[me]
        action = n % 7
        held = mine.get(value, [])
        if (action == 0 and (surface.unique or len(held) < most)) or (action == 3 and not held):
            surface.insert(tree, Key(value), n)
            mine[value] = [n] if surface.unique else held + [n]
        elif action in (0, 3):
            surface.delete(tree, Key(value))
            if held[1:]:
                mine[value] = held[1:]
            else:
                del mine[value]
        elif action == 4 and surface.increment is not None:
            assert surface.increment(tree, Key(value), 1, 0) == (held or [0])[0] + 1
            mine[value] = [(held or [0])[0] + 1]
        elif action in (1, 4):
            # Ranks count the other threads' keys too, which change between
            # two calls: only this thread's own keys pin them down.
            below = sum(len(ns) for v, ns in mine.items() if rank(v) < rank(value))
            others = most * 150 * (THREADS - 1)
            assert below <= tree.bisect_left(Key(value)) <= below + others
            assert below + len(held) <= tree.bisect_right(Key(value)) <= below + len(held) + others
        elif action == 5:
            assert [k.value for k in tree.irange(Key(value), Key(value))] == [value] * len(held)
        elif action == 2:
            for _ in walk_keys(surface, tree):
                pass
        elif held and not surface.valued:
            # search of a list or set is index() then a read by position,
            # between which other threads move the elements: one call.
            assert Key(value) in tree
        elif held:
            assert surface.search(tree, Key(value)) == held[0]
        else:
            with pytest.raises(surface.unfound[0]):
                surface.search(tree, Key(value))

    def work(me):
        n = 0
        try:
            while time.monotonic() < deadline:
                try:
                    step(me, n)
                    outcomes[me].add("done")
                except RuntimeError as error:
                    outcomes[me].add(str(error))
                n += 1
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    key_hook(lambda a, b: time.sleep(0))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(me,)) for me in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
        key_hook(None)
    assert failures == []
    for outcome in outcomes:
        # Only an iteration overtaken by another thread's change may fail.
        assert "done" in outcome and outcome <= {"done", surface.mutated}
    check_tree(tree)
    stored = {value: ns for replica in replicas for value, ns in replica.items()}
    assert key_values(tree) == [surface.entry(v, n) for v in sorted(stored, key=rank) for n in stored[v]]


class Finalised(Key):
    """A key or value whose finaliser runs `on_release`, and which adds like
    a number so that an increment can replace it."""

    on_release = None

    def __del__(self):
        if Finalised.on_release is not None:
            Finalised.on_release(self)

    def __add__(self, other):
        return other

    def __neg__(self):
        # The key of a keyed record's element is no finalised object itself.
        return Key(-self.value)

    __hash__ = None


def removal_of(surface, name):
    """The surface's removal of a range or of positions, or a skip."""
    removal = getattr(surface, name)
    if removal is None:
        pytest.skip(f"{surface.name} has no {name}")
    return removal


def needs_values(surface):
    if not surface.valued:
        pytest.skip(f"{surface.name} keeps no values")


def increment_of(surface):
    if surface.increment is None:
        pytest.skip(f"{surface.name} has no increment")
    return surface.increment


# Mutations that release an item's key or value while the tree is theirs.
RELEASES = {
    "range removal releasing keys": (
        lambda s, t: removal_of(s, "remove_range")(t, *sorted([Key(100), Key(900)], key=s.order)), "key"),
    "range removal releasing values": (lambda s, t: removal_of(s, "remove_range")(t, Key(1), None), "value"),
    "removal of positions releasing keys": (lambda s, t: removal_of(s, "remove_positions")(t, slice(900, 10, -1)), "key"),
    "removal of positions releasing values": (lambda s, t: removal_of(s, "remove_positions")(t, slice(10, 900)), "value"),
    "delete releasing the key": (lambda s, t: s.delete(t, Key(500)), "key"),
    "delete releasing the value": (lambda s, t: s.delete(t, Key(500)), "value"),
    "pop by position releasing the key": (lambda s, t: s.pop_at(t, 500), "key"),
    "clear releasing keys": (lambda s, t: t.clear(), "key"),
    "clear releasing values": (lambda s, t: t.clear(), "value"),
    "replacing insert": (lambda s, t: s.insert(t, Key(500), 0), "value"),
    "increment": (lambda s, t: increment_of(s)(t, Key(500), 0, 0), "value"),
}


@pytest.mark.parametrize("release", RELEASES)
def test_finaliser_run_by_a_mutation(surface, release):
    """A finaliser run by a mutation meets a consistent tree whose guard is
    free: every entry runs, an iterator made before stops, a copy or a
    collection finds the tree as the mutation leaves it."""
    mutate, held = RELEASES[release]
    if held == "value":
        needs_values(surface)
    tree = surface.type_in(TESTED)()
    for v in range(1000):
        key = Finalised(v) if held == "key" else Key(v)
        surface.insert(tree, key, Finalised(v) if held == "value" else v)
    iterator = surface.entries(tree)
    next(iterator)
    seen = {"refusals": set(), "steps": [], "copies": []}

    def on_release(_):
        Finalised.on_release = None  # once per test is enough
        for call in surface.guarded.values():
            try:
                call(tree)
                seen["refusals"].add("ran")
            except (KeyError, IndexError, ValueError):  # an earlier call removed the key or emptied the tree
                seen["refusals"].add("ran")
            except RuntimeError as error:
                seen["refusals"].add(str(error))
        try:
            seen["steps"].append(next(iterator))
        except RuntimeError as error:
            seen["steps"].append(str(error))
        gc.collect()
        seen["copies"].append(surface.copy(tree))

    Finalised.on_release = on_release
    try:
        mutate(surface, tree)
    finally:
        Finalised.on_release = None
    assert seen["refusals"] == {"ran"}
    assert seen["steps"] == [surface.mutated]
    check_tree(tree)
    (copy,) = seen["copies"]
    check_tree(copy)
    assert list(surface.entries(copy)) == list(surface.entries(tree))


class Releasing:
    """A value whose finaliser runs `Releasing.on_release`, and which adds
    like a number so that an increment replaces it."""

    on_release = None

    def __del__(self):
        if Releasing.on_release is not None:
            on_release, Releasing.on_release = Releasing.on_release, None
            on_release()

    def __add__(self, other):
        return other


# A mutation that lets go of the value of key 5, on a tree (reached through
# its surface) and on a dict.
RELEASING_MUTATIONS = {
    "replacement": (lambda s, t: s.insert(t, 5, "new"), lambda d: d.__setitem__(5, "new")),
    "deletion": (lambda s, t: s.delete(t, 5), lambda d: d.__delitem__(5)),
    "pop by position": (lambda s, t: s.pop_at(t, 5), lambda d: d.pop(5)),
    "increment": (lambda s, t: s.increment(t, 5, 1, 0), lambda d: d.__setitem__(5, d[5] + 1)),
    "clear": (lambda s, t: t.clear(), lambda d: d.clear()),
}

# What the finaliser does with the container, and what it reports.
FINALISER_WORK = {
    "inserts": (lambda s, t: s.insert(t, 100, "late"), lambda d: d.__setitem__(100, "late")),
    "deletes": (lambda s, t: s.delete(t, 7), lambda d: d.__delitem__(7)),
    "searches": (lambda s, t: s.search(t, 8), lambda d: d[8]),
    "iterates": (lambda s, t: list(t.items()), lambda d: sorted(d.items())),
}

# The dict's side of the tables above, as if a dict had a surface.
DICT = SimpleNamespace(type_in=lambda mod: dict, insert=operator.setitem)


@pytest.mark.parametrize("work", FINALISER_WORK)
@pytest.mark.parametrize("mutation", RELEASING_MUTATIONS)
def test_finaliser_uses_the_tree_it_was_released_from(surface, mutation, work):
    """References a mutation drops are released after its guard: a finaliser
    may use the tree like any code, and ends with what a dict gives."""
    needs_values(surface)
    outcomes = []
    containers = []
    for side, reached in enumerate((surface, DICT)):
        mutate, act = RELEASING_MUTATIONS[mutation][side], FINALISER_WORK[work][side]
        if side == 0:
            mutate, act = partial(mutate, surface), partial(act, surface)
        container = reached.type_in(TESTED)()
        for v in range(10):
            reached.insert(container, v, Releasing() if v == 5 else v)

        def on_release(act=act, container=container):
            try:
                outcomes.append(act(container))
            except KeyError:
                outcomes.append(KeyError)

        Releasing.on_release = on_release
        mutate(container)
        containers.append(container)
    tree, reference = containers
    assert outcomes[0] == outcomes[1] and len(outcomes) == 2
    assert [(k, v) for k, v in tree.items() if not isinstance(v, Releasing)] == sorted(
        (k, v) for k, v in reference.items() if not isinstance(v, Releasing))
    check_tree(tree)


def test_finalisers_of_a_collected_or_deallocated_tree(surface):
    """A finaliser run while the collector clears a tree, or while a tree is
    deallocated, finds it consistent, or finds it gone."""
    needs_values(surface)
    seen = []
    tree = surface.type_in(TESTED)()
    ref = weakref.ref(tree)
    for v in range(300):
        surface.insert(tree, v, Releasing() if v % 100 == 0 else v)
    surface.insert(tree, -1, tree)  # a cycle only the collector can break
    Releasing.on_release = lambda: seen.append(ref() and len(ref()))
    del tree
    gc.collect()
    # The collector clears weak references to its garbage before it runs
    # finalisers: the finaliser finds the tree gone.
    assert ref() is None and seen == [None]
    tree = surface.type_in(TESTED)()
    ref = weakref.ref(tree)
    values = [Releasing() for _ in range(3)]
    for v, value in enumerate(values):
        surface.insert(tree, v, value)
        weakref.finalize(value, lambda: seen.append(ref()))
    del values, value
    seen.clear()
    del tree
    assert seen == [None, None, None]


class FinalisedInt(int):
    def __del__(self):
        if Finalised.on_release is not None:
            Finalised.on_release(self)


# Each finaliser's change, and the keys it leaves of those the pop left.
POP_FINALISERS = {
    "clears the tree": (lambda s, t: t.clear(), lambda keys: []),
    "deletes the next item": (lambda s, t: s.delete(t, 8), lambda keys: [k for k in keys if k != 8]),
    "inserts before it": (lambda s, t: s.insert(t, -1, -1), lambda keys: [-1, *keys]),
    "collects garbage": (lambda s, t: gc.collect(), lambda keys: keys),
}


@needs_path_cache
@pytest.mark.parametrize("action", POP_FINALISERS)
def test_pop_releasing_a_cached_key_whose_finaliser_changes_the_tree(surface, action):
    """Pop by index lets go of the key cached by the last lookup only once the
    item is out and the tree consistent and free: the finaliser's change
    applies to the tree the pop left."""
    if not surface.valued:
        pytest.skip("index() of a list or set keeps no key of its probe")
    change, left = POP_FINALISERS[action]
    tree = surface.type_in(TESTED)()
    for v in range(300):
        surface.insert(tree, v, v)
    cached = FinalisedInt(7)
    assert surface.search(tree, cached) == 7  # a key equal to 7, held by the cache only
    Finalised.on_release = lambda _: change(surface, tree)
    del cached
    try:
        assert surface.pop_at(tree, 7) == surface.entry(7, 7)
    finally:
        Finalised.on_release = None
    check_tree(tree)
    assert list(walk_keys(surface, tree)) == left([v for v in range(300) if v != 7])


@pytest.mark.parametrize("cycle", [False, True], ids=["last reference", "collected cycle"])
def test_finalisers_run_while_a_tree_is_released(surface, cycle):
    """Values whose finalisers collect garbage and fill another tree, released
    with their tree; in a cycle through the tree the collector runs them while
    the tree is still whole."""
    other = surface.type_in(TESTED)()
    sizes = []
    tree = surface.type_in(TESTED)()

    def on_release(value):
        gc.collect()
        surface.insert(other, len(other))
        if cycle:
            sizes.append(len(list(value.tree.irange())))

    for v in range(50):
        # A type without values holds the finalised object as the element.
        item = Finalised(v)
        surface.insert(tree, v if surface.valued else item, item)
        if cycle:
            surface.search(tree, Key(v) if not surface.valued else v).tree = tree
    del item
    gc.collect()  # garbage of other tests, before the finalisers count
    Finalised.on_release = on_release
    try:
        del tree
        gc.collect()
    finally:
        Finalised.on_release = None
    assert len(other) == 50
    check_tree(other)
    assert sizes == ([50] * 50 if cycle else [])


class Fickle(Key):
    """Keys whose order changes with every comparison."""

    def __lt__(self, other):
        Fickle.flips = getattr(Fickle, "flips", 0) + 1
        return (self.value * 7919 + Fickle.flips) % 3 == 0

    def __eq__(self, other):
        return self is other

    __hash__ = None


def test_comparisons_without_a_consistent_order(surface):
    """No order at all: answers are meaningless, but every structural
    invariant holds and every item stays reachable."""
    keys = [Fickle(v) for v in range(3000)]
    tree = tree_of_keys(surface, keys)
    for key in keys[::3]:
        try:
            surface.delete(tree, key)
        except surface.missing[0]:
            pass
        assert 0 <= tree.bisect_left(key) <= len(tree)
    kept = list(walk_keys(surface, tree))
    assert len(kept) == len(tree) and len({id(key) for key in kept}) == len(kept)
    if _btree_test is not None:
        dump = _btree_test.dump(tree)
        assert dump["size"] == len(kept) and dump["busy"] == 0
    surface.copy(tree)
    while len(tree):
        surface.pop_at(tree, len(tree) // 2)
    assert len(tree) == 0 and list(walk_keys(surface, tree)) == []
    if _btree_test is not None:
        assert _btree_test.dump(tree)["root"] is None


class Raising:
    def __bool__(self):
        raise Boom


# The ranges that take flags: (surface, call(tree, inclusive)).
IRANGES = {
    "method": (TREE, lambda t, inclusive: t.irange(Key(2), Key(5), inclusive)),
    "capsule": (TREE, lambda t, inclusive: capi.irange(t, Key(2), Key(5), inclusive)),
    "map": (MAP, lambda m, inclusive: m.irange(Key(2), Key(5), inclusive)),
    "list": (LIST, lambda s, inclusive: s.irange(Key(2), Key(5), inclusive)),
    "set": (SET, lambda s, inclusive: s.irange(Key(2), Key(5), inclusive)),
}


class Unsequenced:
    def __iter__(self):
        raise Boom


@pytest.mark.parametrize("inclusive", [(Raising(), True), (True, Raising()), Unsequenced()])
@pytest.mark.parametrize("irange", IRANGES)
def test_inclusive_flags_that_fail(irange, inclusive):
    surface, call = IRANGES[irange]
    tree = packed(surface, [Key(v) for v in range(10)])
    with pytest.raises(Boom):
        call(tree, inclusive)
    assert [k.value for k in tree.irange(Key(2), Key(5), (False, True))] == [3, 4, 5]


class Calling:
    """A flag whose truth is decided by Python code that calls a builtin."""

    def __bool__(self):
        return len(self.__dict__) == 0


@pytest.mark.parametrize("irange", IRANGES)
def test_first_flag_failing_before_a_second_that_runs_python(irange):
    surface, call = IRANGES[irange]
    with pytest.raises(Boom):
        call(packed(surface, [Key(v) for v in range(10)]), (Raising(), Calling()))


class IntProbe(int):
    """An int whose comparisons with the stored ints of a numeric tree run a
    hook: the tree then searches on key objects, and is busy meanwhile."""

    def __gt__(self, other):
        if (hook := Key.hook) is not None:
            hook(self, other)
        return int(self) > other

    __lt__ = __gt__ = __gt__


def test_numeric_tree_busy_with_a_key_of_another_type(key_hook, surface):
    if surface.key is not None:
        pytest.skip("the key function turns the probe into a plain int")
    tree, other = surface.type_in(TESTED)(), surface.type_in(TESTED)()
    for v in range(300):
        surface.insert(tree, v, v)
        surface.insert(other, v)
    refusals = set()

    def hook(a, b):
        for call in (
            *(lambda: merge(tree, other) for merge in surface.merges.values()),
            lambda: surface.copy(tree),
            lambda: surface.insert(tree, 1000),
            lambda: surface.item_at(tree, 0, 2),
        ):
            try:
                call()
                refusals.add("ran")
            except RuntimeError as error:
                refusals.add(str(error))

    key_hook(hook)
    assert tree.bisect_left(IntProbe(150)) == 150
    key_hook(None)
    assert refusals == {surface.reentrant}
    check_tree(tree)


def test_cached_removal_with_a_comparison_that_fails_or_changes_its_mind(key_hook, surface):
    """A deletion of the key object a lookup has just found walks the cached
    path; in the leaf it compares only when the stored key is another object."""
    tree = thinned(surface, Key)
    probe = Key(6000)  # equal to the stored key, not the same object
    assert surface.search(tree, probe) == surface.stored(probe, 6000)
    key_hook(lambda a, b: (_ for _ in ()).throw(Boom))
    with pytest.raises(Boom):
        surface.delete(tree, probe)
    key_hook(None)
    check_tree(tree)
    assert surface.search(tree, probe) == surface.stored(probe, 6000)
    probe.value = 6000.5  # no longer equal to anything stored
    with pytest.raises(surface.missing[0]):
        surface.delete(tree, probe)
    probe.value = 6000
    check_tree(tree)
    surface.delete(tree, probe)
    check_tree(tree)
    assert len(tree) == 8066 and 6000 not in [k.value for k in walk_keys(surface, tree)]


def test_comparison_entered_with_an_exception_pending(bt):
    pending = LookupError("pending")
    assert bt.key_cmp(Key(1), Key(2), pending=pending) == (-1, pending)

    def hook(a, b):
        raise Boom

    Key.hook = hook
    try:
        code, error = bt.key_cmp(Key(1), Key(2), pending=pending)
    finally:
        Key.hook = None
    assert code == -2 and isinstance(error, Boom)


# Run in a process of its own: where the defect is, the interpreter crashes.
# The collection runs at the step of an item iterator made before (the
# allocation of the item's pair), at the making of a walk over the keys, or at
# the allocation of the lists a map is pickled as.
GARBAGE_IN_A_WALK = """
import gc
import importlib
import sys

class Value:
    pass

class Remover:
    # Garbage in a cycle; its finaliser deletes the tree's first item.
    def __init__(self, tree):
        self.tree, self.me = tree, self

    def __del__(self):
        remove(10**6)

# The type from the build named (the shipped btree's map is btreemap's).
build = importlib.import_module(sys.argv[3])
Type = getattr(build, sys.argv[1], None) or getattr(importlib.import_module("btreemap"), sys.argv[1])
tree = Type()
put = getattr(tree, "insert", None) or tree.__setitem__
remove = getattr(tree, "delete", None) or tree.__delitem__
walk_keys = iter if sys.argv[1] == "BTreeMap" else Type.keys
for key in range(10**6, 10**6 + 10):
    put(key, Value())
view = tree.items()
iterator = iter(view)
pairs = [(n, -n) for n in range(5000)]  # no reusable pair is left
gc.collect()
Remover(tree)
more = [(n, -n) for n in range(100)]  # nor one the collection freed
gc.set_threshold(1)  # the next allocation of a container collects
item = None
try:
    if sys.argv[2] == "step":
        item = next(iterator)
        outcome = (item[0], type(item[1]).__name__)
    elif sys.argv[2] == "making":
        outcome = len(list(walk_keys(tree)))
    elif sys.argv[2] == "slicing":
        outcome = len(view[:])
    else:
        keys, values = tree.__reduce__()[1]
        outcome = f"{len(keys)}/{len(values)}"
except RuntimeError as error:
    outcome = str(error)
gc.set_threshold(700)
del item
gc.collect()
print(len(tree), outcome)
"""


# What each walk may end with, besides the error of a walk of a changed tree;
# where collections wait for the next bytecode, the lists are pickled whole.
# The free-threaded collector does not promise to run at the next
# allocation: the walk may then be made before the finaliser runs.
TREE.collected = {"step": {"(1000000, 'Value')"}, "making": {"9", "10"} if FREE_THREADED else {"9"}}
# A slice is made again when the collection changed the map under it.
MAP.collected = {**TREE.collected, "pickling": {"9/9", "10/10"}, "slicing": {"9", "10"}}


@pytest.mark.parametrize("surface, when", by_name("collected"))
def test_collection_run_by_the_allocation_of_a_walk(surface, when):
    run = subprocess.run([sys.executable, "-c", GARBAGE_IN_A_WALK, surface.name, when, TESTED.__name__],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    size, outcome = run.stdout.split(maxsplit=1)
    assert size == "9" and outcome.strip() in surface.collected[when] | {surface.mutated}
