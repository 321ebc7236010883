"""Differential tests of BTreeList and BTreeSet against sortedcontainers'
SortedList, SortedKeyList and SortedSet.

A state machine per type, kind of element and key function makes the same
calls on one of ours and on its peer, compares every answer and, after each
step, the contents and the tree's invariants (test build). Within a run of
equal keys a BTreeList keeps the order of insertion, as SortedKeyList does;
SortedSet leaves that order to its hash set, so a BTreeSet with a key is
compared by the keys at each position and by its elements as a whole.
"""

import collections.abc as abc
import copy as copying
import math
import operator
import pickle
import random
import types
import weakref
from functools import reduce

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    rule,
    run_state_machine_as_test,
)
from sortedcontainers import SortedList, SortedSet

from helpers import COMPARISONS, SET_OPS, _btree_test, check_tree

btreemap = pytest.importorskip("btreemap")
if not hasattr(btreemap, "BTreeList"):
    pytest.skip("btreemap has no BTreeList", allow_module_level=True)
HAS_SET = hasattr(btreemap, "BTreeSet")
needs_set = pytest.mark.skipif(not HAS_SET, reason="btreemap has no BTreeSet")


def family(name):
    """The type `name` of the test build, whose trees check() takes, or else
    the shipped one; and the check of a tree of that type."""
    test_type = getattr(_btree_test, name, None)
    if test_type is None:
        return getattr(btreemap, name), lambda tree: None
    # Trees built from whole sequences may leave a level's last node below the minimum fill.
    return test_type, lambda tree: check_tree(tree, False)


# Key functions at module level, so that trees holding them pickle.
def negated(x):
    return -x


def modulo(x):
    return x % 7


def backwards(s):
    return s[::-1]


def initial(s):
    return s[:1]


def swapped(t):
    return (t[1], -t[0])


def first_modulo(t):
    return t[0] % 7


STR_ALPHABET = "abc\u00e9\u4e2d"
# Each kind of element: a strategy for one, a generator of many from a seeded
# source (for inputs too large to draw), and two key functions: one that
# reorders, one that makes long runs of equal keys.
KINDS = {
    "int": (st.integers(-20, 20), lambda rng: rng.randint(-400, 400),
            {"negated": negated, "modulo": modulo}),
    "float": (st.integers(-40, 40).map(lambda i: i / 4) | st.floats(-1e9, 1e9, allow_nan=False)
              | st.sampled_from([0.0, -0.0]), lambda rng: rng.randint(-1600, 1600) / 4,
              {"negated": negated, "modulo": modulo}),
    "str": (st.text(STR_ALPHABET, max_size=3),
            lambda rng: "".join(rng.choice(STR_ALPHABET) for _ in range(rng.randint(0, 4))),
            {"backwards": backwards, "initial": initial}),
    "tuple": (st.tuples(st.integers(0, 9), st.text("ab", max_size=2)),
              lambda rng: (rng.randint(0, 60), rng.choice(["", "a", "b", "ab"])),
              {"swapped": swapped, "modulo": first_modulo}),
    "mixed": (st.integers(-10, 10) | st.integers(-20, 20).map(lambda i: i / 2),
              lambda rng: rng.choice([rng.randint(-200, 200), rng.randint(-400, 400) / 2]),
              {"negated": negated, "modulo": modulo}),
}
CONFIGS = [(kind, key) for kind in KINDS for key in [None, *KINDS[kind][2]]]
SEEDS = st.integers(0, 2**32)
INCLUSIVE = st.tuples(st.booleans(), st.booleans())
STEPS = [None, 1, 2, -1, -3]


def raised(call):
    """The class of the exception call() raises, or None."""
    try:
        call()
    except Exception as error:
        return type(error)
    return None


class Family(RuleBasedStateMachine):
    """The calls both types share. A configured subclass sets the types, the
    elements and the key function (see configured())."""

    ours_type = peer_type = elements = None
    # exact: positions compare element by element (else by key);
    # identical: the very element objects come back.
    exact = identical = True

    def __init__(self):
        super().__init__()
        self.ours = self.ours_type(key=self.key)
        self.peer = self.peer_type(key=self.key)

    # Helpers

    def view(self, items):
        """What must agree of a sequence of elements."""
        return list(items) if self.exact else [self.key(e) for e in items]

    def agree(self, mine, theirs):
        assert self.view(mine) == self.view(theirs)

    def element(self, data):
        """A new element or, half of the time, one held."""
        if self.peer and data.draw(st.booleans(), label="held"):
            return data.draw(st.sampled_from(list(self.peer)), label="element")
        return data.draw(self.elements, label="element")

    def bound(self, data):
        return data.draw(st.none(), label="unbounded") if data.draw(st.booleans()) else self.element(data)

    def values(self, data):
        """Elements for a call that takes many: a few drawn or, now and then,
        many from a seeded source; some of them held already."""
        if data.draw(st.integers(0, 4), label="large") == 0:
            rng = random.Random(data.draw(SEEDS, label="seed"))
            fresh = [self.many(rng) for _ in range(data.draw(st.sampled_from([40, 300]), label="count"))]
        else:
            fresh = data.draw(st.lists(self.elements, max_size=6), label="values")
        held = data.draw(st.lists(st.sampled_from(list(self.peer)), max_size=4), label="held") if self.peer else []
        return held + fresh if data.draw(st.booleans(), label="held first") else fresh + held

    def position(self, data):
        n = len(self.peer)
        return data.draw(st.integers(-n - 2, n + 1), label="position")

    def span(self, data):
        n = len(self.peer)
        end = st.none() | st.integers(-n - 2, n + 2)
        return data.draw(st.builds(slice, end, end, st.sampled_from(STEPS)), label="slice")

    def follow(self, index, gone):
        """Makes the peer lose what ours lost at `index`, a position or a
        slice: the same elements, or elements of the same keys."""
        expected = self.peer[index]
        if isinstance(index, int):
            gone, expected = [gone], [expected]
        self.agree(gone, expected)
        if self.exact:
            del self.peer[index]
        else:
            for e in gone:
                self.peer.remove(e)

    # Changes

    @initialize(data=st.data())
    def start(self, data):
        values = self.values(data)
        self.ours = self.ours_type(values, key=self.key)
        self.peer = self.peer_type(values, key=self.key)

    @rule(data=st.data())
    def add(self, data):
        v = self.element(data)
        self.ours.add(v)
        self.peer.add(v)

    @rule(data=st.data())
    def update(self, data):
        values = self.values(data)
        self.ours.update(values)
        self.peer.update(values)

    @rule(data=st.data(), how=st.sampled_from(["discard", "remove"]))
    def remove(self, data, how):
        v = self.element(data)
        expected = raised(lambda: getattr(self.peer, how)(v))
        if expected is None:
            assert getattr(self.ours, how)(v) is None
        else:
            with pytest.raises(Exception) as info:
                getattr(self.ours, how)(v)
            assert type(info.value) is expected

    @rule(data=st.data(), how=st.sampled_from(["default", "positional", "keyword"]))
    def pop(self, data, how):
        index = -1 if how == "default" else self.position(data)
        args, kwargs = {"default": ((), {}), "positional": ((index,), {}), "keyword": ((), {"index": index})}[how]
        if not -len(self.peer) <= index < len(self.peer):
            with pytest.raises(IndexError):
                self.ours.pop(*args, **kwargs)
            return
        self.follow(index, self.ours.pop(*args, **kwargs))

    @rule(data=st.data(), by_slice=st.booleans())
    def delete(self, data, by_slice):
        index = self.span(data) if by_slice else self.position(data)
        if not by_slice and not -len(self.peer) <= index < len(self.peer):
            with pytest.raises(IndexError):
                del self.ours[index]
            return
        gone = self.ours[index]
        del self.ours[index]
        self.follow(index, gone)

    @rule(data=st.data(), inclusive=INCLUSIVE, by_name=st.booleans())
    def remove_range(self, data, inclusive, by_name):
        low, high = self.bound(data), self.bound(data)
        gone = list(self.peer.irange(low, high, inclusive))
        if by_name:
            count = self.ours.remove_range(minimum=low, maximum=high, inclusive=inclusive)
        else:
            count = self.ours.remove_range(low, high, inclusive)
        assert count == len(gone)
        # A range holds whole runs of equal keys: removing each by value takes the same elements.
        for e in gone:
            self.peer.remove(e)

    @rule()
    def clear(self):
        self.ours.clear()
        self.peer.clear()

    # Reads

    @rule(data=st.data())
    def lookups(self, data):
        v = self.element(data)
        assert (v in self.ours) == (v in self.peer)
        assert self.ours.count(v) == self.peer.count(v)
        for name in ("bisect_left", "bisect_right", "bisect"):
            assert getattr(self.ours, name)(v) == getattr(self.peer, name)(v)
        if self.key is not None:
            for name in ("bisect_key_left", "bisect_key_right", "bisect_key"):
                assert getattr(self.ours, name)(self.key(v)) == getattr(self.peer, name)(self.key(v))

    @rule(data=st.data(), by_name=st.booleans())
    def index(self, data, by_name):
        v = self.element(data)
        # Within a run of equal keys SortedSet's positions are its own, so
        # there the position found is only checked to hold v.
        n = len(self.peer)
        end = st.none() | st.integers(-n - 2, n + 2)
        start, stop = (data.draw(end, label="start"), data.draw(end, label="stop")) if self.exact else (None, None)
        args, kwargs = ((), {"start": start, "stop": stop}) if by_name else ((start, stop), {})
        expected = raised(lambda: self.peer.index(v, *args, **kwargs))
        if expected is not None:
            with pytest.raises(expected):
                self.ours.index(v, *args, **kwargs)
        elif self.exact:
            assert self.ours.index(v, *args, **kwargs) == self.peer.index(v, *args, **kwargs)
        else:
            assert self.ours[self.ours.index(v, *args, **kwargs)] == v

    @rule(data=st.data(), inclusive=INCLUSIVE, reverse=st.booleans(), by_key=st.booleans())
    def irange(self, data, inclusive, reverse, by_key):
        low, high = self.bound(data), self.bound(data)
        if by_key and self.key is not None:
            low, high = (None if b is None else self.key(b) for b in (low, high))
            mine = self.ours.irange_key(min_key=low, max_key=high, inclusive=inclusive, reverse=reverse)
            self.agree(mine, self.peer.irange_key(low, high, inclusive, reverse))
        else:
            self.agree(self.ours.irange(low, high, inclusive, reverse), self.peer.irange(low, high, inclusive, reverse))
            mine = self.ours.irange(minimum=low, maximum=high, inclusive=inclusive, reverse=reverse)
            self.agree(mine, self.peer.irange(low, high, inclusive, reverse))

    @rule(data=st.data(), reverse=st.booleans())
    def positions(self, data, reverse):
        i = self.position(data)
        if -len(self.peer) <= i < len(self.peer):
            self.agree([self.ours[i]], [self.peer[i]])
        else:
            with pytest.raises(IndexError):
                self.ours[i]
        span = self.span(data)
        assert type(self.ours[span]) is list
        self.agree(self.ours[span], self.peer[span])
        self.agree(self.ours.islice(span.start, span.stop, reverse), self.peer.islice(span.start, span.stop, reverse))
        mine = self.ours.islice(start=span.start, stop=span.stop, reverse=reverse)
        self.agree(mine, self.peer.islice(span.start, span.stop, reverse))

    @rule(data=st.data())
    def copies(self, data):
        for way in (self.ours.copy, lambda: copying.copy(self.ours), lambda: copying.deepcopy(self.ours),
                    lambda: pickle.loads(pickle.dumps(self.ours))):
            copy = way()
            assert type(copy) is type(self.ours) and copy.key is self.key
            self.check(copy)
            # Element for element, whatever the peer's copies do within runs of equal keys.
            assert list(copy) == list(self.ours)
            copy.add(self.element(data))
            self.check(copy)

    @rule()
    def shows(self):
        keyed = "" if self.key is None else f", key={self.key!r}"
        assert repr(self.ours) == f"{type(self.ours).__name__}({list(self.ours)!r}{keyed})"

    @invariant()
    def agrees(self):
        assert len(self.ours) == len(self.peer)
        self.agree(self.ours, self.peer)
        self.agree(reversed(self.ours), reversed(self.peer))
        if self.identical:
            assert all(a is b for a, b in zip(self.ours, self.peer))
        if not self.exact:
            assert set(self.ours) == set(self.peer)
        self.check(self.ours)


class ListMachine(Family):
    type_name = "BTreeList"
    peer_type = SortedList

    def sequences(self, data):
        """Sequences to compare with: equal, shorter, longer, changed."""
        mine = list(self.peer)
        v = self.element(data)
        changed = mine[:]
        if changed:
            changed[data.draw(st.integers(0, len(mine) - 1), label="changed")] = v
        return [mine, tuple(mine), mine[:-1], mine + [v], changed, [], self.ours_type(mine + [v], key=self.key)]

    @rule(data=st.data(), form=st.sampled_from([list, tuple, "ours"]))
    def concatenate(self, data, form):
        values = self.values(data)
        other = self.ours_type(values, key=self.key) if form == "ours" else form(values)
        result = self.ours + other
        assert type(result) is type(self.ours) and result.key is self.key
        self.check(result)
        expected = self.peer + list(other)
        self.agree(result, expected)
        assert all(a is b for a, b in zip(result, expected))
        before = self.ours
        self.ours += other
        assert self.ours is before
        self.peer += list(other)

    @rule(times=st.integers(-1, 3), in_place=st.booleans())
    def repeat(self, times, in_place):
        if in_place:
            times = min(times, 1) if len(self.peer) > 100 else times
            before = self.ours
            self.ours *= times
            assert self.ours is before
            self.peer *= times
        else:
            result = self.ours * times
            assert type(result) is type(self.ours) and result.key is self.key
            self.check(result)
            self.agree(result, self.peer * times)

    @rule(data=st.data())
    def compare(self, data):
        # Element by element, as lists compare.
        for other in self.sequences(data):
            for op in COMPARISONS:
                assert op(self.ours, other) == op(list(self.peer), list(other))
                assert op(other, self.ours) == op(list(other), list(self.peer))
        assert self.ours != set(self.peer) and not self.ours == set(self.peer)


ALGEBRA = {"union": "|", "intersection": "&", "difference": "-", "symmetric_difference": "^"}
IN_PLACE = {"update": operator.ior, "intersection_update": operator.iand,
            "difference_update": operator.isub, "symmetric_difference_update": operator.ixor}
FORMS = ["list", "set", "frozenset", "ours", "itself"]


class SetMachine(Family):
    type_name = "BTreeSet"
    peer_type = SortedSet
    identical = False

    def operands(self, data, form, name):
        """The other operands of a set operation for ours and for the peer,
        and as plain sets."""
        if form == "itself":
            return [self.ours], [self.peer], [set(self.peer)]
        count = 1 if name.startswith("symmetric") else data.draw(st.integers(1, 2), label="operands")
        given = [self.values(data) for _ in range(count)]
        make = {"list": list, "set": set, "frozenset": frozenset,
                "ours": lambda values: self.ours_type(values, key=self.key)}[form]
        return [make(values) for values in given], given, [set(values) for values in given]

    def is_result(self, result, expected, plain):
        assert isinstance(result, self.ours_type) and result.key is self.key
        self.check(result)
        assert set(result) == plain
        self.agree(result, expected)

    @rule(data=st.data(), name=st.sampled_from(sorted(ALGEBRA)), form=st.sampled_from(FORMS))
    def algebra(self, data, name, form):
        mine, theirs, plain = self.operands(data, form, name)
        op = SET_OPS[ALGEBRA[name]]
        expected = reduce(op, plain, set(self.peer))
        self.is_result(getattr(self.ours, name)(*mine), getattr(self.peer, name)(*theirs), expected)
        self.is_result(op(self.ours, mine[0]), op(self.peer, theirs[0]), op(set(self.peer), plain[0]))
        if form in ("list", "set", "frozenset"):
            # The other operand on the left: its own operator gives way.
            result = op(mine[0], self.ours)
            assert isinstance(result, self.ours_type)
            assert set(result) == op(plain[0], set(self.peer))
            assert list(result) == sorted(result, key=result.key)

    @rule(data=st.data(), name=st.sampled_from(sorted(IN_PLACE)), form=st.sampled_from(FORMS),
          by_operator=st.booleans())
    def in_place(self, data, name, form, by_operator):
        mine, theirs, _ = self.operands(data, form, name)
        if by_operator:
            before = self.ours
            self.ours = IN_PLACE[name](self.ours, mine[0])
            assert self.ours is before
            getattr(self.peer, name)(theirs[0])
        else:
            getattr(self.ours, name)(*mine)
            getattr(self.peer, name)(*theirs)

    @rule(data=st.data())
    def compare(self, data):
        held = set(self.peer)
        v = self.element(data)
        some = set(self.values(data))
        others = [held, frozenset(held | {v}), held - {v}, some, frozenset(), self.ours,
                  self.ours_type(held | some, key=self.key)]
        for other in others:
            for op in COMPARISONS:
                assert op(self.ours, other) == op(held, set(other))
                assert op(other, self.ours) == op(set(other), held)
            assert self.ours.isdisjoint(other) == held.isdisjoint(other)
        assert self.ours.isdisjoint(list(some)) == held.isdisjoint(some)
        # A set equals sets only, as SortedSet does, not the sequence of its elements.
        assert (self.ours == list(self.ours)) is (self.peer == list(self.peer)) is False


def configured(base, kind, key_name):
    elements, many, keys = KINDS[kind]
    key = keys.get(key_name)
    ours_type, check = family(base.type_name)
    return type(f"{base.__name__}_{kind}_{key_name}", (base,), {
        "ours_type": ours_type, "check": staticmethod(check), "key": staticmethod(key),
        "elements": elements, "many": staticmethod(many),
        "exact": base.identical or key is None,
    })


MACHINE_SETTINGS = settings(max_examples=30, stateful_step_count=30, deadline=None,
                            suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("kind, key_name", CONFIGS)
def test_list_matches_sorted_list(kind, key_name):
    run_state_machine_as_test(configured(ListMachine, kind, key_name), settings=MACHINE_SETTINGS)


@needs_set
@pytest.mark.parametrize("kind, key_name", CONFIGS)
def test_set_matches_sorted_set(kind, key_name):
    run_state_machine_as_test(configured(SetMachine, kind, key_name), settings=MACHINE_SETTINGS)


# Calls a state machine does poorly: exact texts, refusals, the type's protocols.

class Bag(btreemap.BTreeList):
    pass


if HAS_SET:
    class Pack(btreemap.BTreeSet):
        pass


def each_type(*rows):
    """pytest params of (type, is a set, *row) for BTreeList, BTreeSet and a subclass of each."""
    kinds = [("BTreeList", btreemap.BTreeList, False), ("Bag", Bag, False)]
    if HAS_SET:
        kinds += [("BTreeSet", btreemap.BTreeSet, True), ("Pack", Pack, True)]
    return [pytest.param(T, is_set, *row, id=f"{name}-{i}") for name, T, is_set in kinds
            for i, row in enumerate(rows or [()])]


# (make, text of a list, text of a set); {} is the class name.
REPRS = [
    (lambda T: T(), "{}([])", "{}([])"),
    (lambda T: T([3, 1, 2, 3]), "{}([1, 2, 3, 3])", "{}([1, 2, 3])"),
    (lambda T: T([1.5, -0.0, 2]), "{}([-0.0, 1.5, 2])", "{}([-0.0, 1.5, 2])"),
    (lambda T: T(["b", "a"], key=str.upper),
     "{}(['a', 'b'], key=<method 'upper' of 'str' objects>)", "{}(['a', 'b'], key=<method 'upper' of 'str' objects>)"),
    (lambda T: T([1, 3, 2], key=negated), "{}([3, 2, 1], key=%r)" % negated, "{}([3, 2, 1], key=%r)" % negated),
]


@pytest.mark.parametrize("T, is_set, make, list_text, set_text", each_type(*REPRS))
def test_repr(T, is_set, make, list_text, set_text):
    assert repr(make(T)) == (set_text if is_set else list_text).format(T.__name__)


@pytest.mark.parametrize("call", [
    lambda s: s.append(4), lambda s: s.extend([4]), lambda s: s.insert(0, 4), lambda s: s.reverse(),
    lambda s: s.__setitem__(0, 4), lambda s: s.__setitem__(slice(0, 1), [4]),
], ids=["append", "extend", "insert", "reverse", "set item", "set slice"])
@pytest.mark.parametrize("T", [btreemap.BTreeList, Bag])
def test_list_refuses_calls_that_would_break_the_order(T, call):
    s = T([1, 2, 3])
    with pytest.raises(NotImplementedError):
        call(s)
    assert list(s) == [1, 2, 3]


@pytest.mark.parametrize("T, is_set", each_type())
def test_key_attribute(T, is_set):
    assert T().key is None and T([1]).key is None
    assert T(key=negated).key is negated and T([1, 2], negated).key is negated


COPIES = {"copy": lambda s: s.copy(), "copy.copy": copying.copy, "deepcopy": copying.deepcopy,
          "pickle": lambda s: pickle.loads(pickle.dumps(s))}


@pytest.mark.parametrize("T, is_set, way", each_type(*[(way,) for way in COPIES]))
@pytest.mark.parametrize("key", [None, negated])
def test_copies_keep_the_type_and_key(T, is_set, way, key):
    s = T([3, 1, 2, 1], key=key)
    copy = COPIES[way](s)
    assert type(copy) is T and copy.key is key and list(copy) == list(s) and copy is not s
    copy.add(7)
    assert 7 not in s


# (type name, abstract class, registered)
ABCS = [
    ("BTreeList", abc.Sequence, True), ("BTreeList", abc.Reversible, True),
    ("BTreeList", abc.Set, False), ("BTreeList", abc.MutableSet, False),
    ("BTreeSet", abc.MutableSet, True), ("BTreeSet", abc.Set, True), ("BTreeSet", abc.Sequence, True),
    ("BTreeSet", abc.Mapping, False),
]


@pytest.mark.parametrize("name, ABC, registered",
                         [pytest.param(*row, marks=[needs_set] if row[0] == "BTreeSet" else []) for row in ABCS])
def test_abstract_classes(name, ABC, registered):
    T = getattr(btreemap, name)
    assert issubclass(T, ABC) is registered and isinstance(T([1]), ABC) is registered


@pytest.mark.parametrize("T, is_set", each_type())
def test_generic_alias_and_weak_references(T, is_set):
    alias = T[int]
    assert isinstance(alias, types.GenericAlias) and alias.__origin__ is T and alias.__args__ == (int,)
    made = alias([3, 1])
    assert type(made) is T and list(made) == [1, 3]
    assert weakref.ref(made)() is made


@pytest.mark.parametrize("T, is_set, call", each_type(
    (lambda T: T([1.0, math.nan]),), (lambda T: T().add(math.nan),), (lambda T: T([2.0]).update([1.0, math.nan]),),
    (lambda T: T(key=negated).add(math.nan),)))
def test_nan_refused(T, is_set, call):
    with pytest.raises(ValueError):
        call(T)
