"""BTreeMap's mapping protocol against dict: construction, equality, the
union operators, repr, order queries of an empty map and subclasses."""

import collections
import copy
import gc
import weakref

import pytest

from helpers import check_tree, from_test_build

bt = from_test_build("_btree_test")


@pytest.mark.parametrize("make", [
    lambda M: M({3: "c", 1: "a", 2: "b"}),
    lambda M: M([(3, "x"), (1, "a"), (2, "b"), (3, "c")]),
    lambda M: M(iter([(2, "b"), (3, "c"), (1, "a")])),
    lambda M: M(M({1: "a", 2: "b", 3: "c"})),
    lambda M: M(collections.OrderedDict([(2, "b"), (1, "a")]), **{}) | {3: "c"},
    lambda M: M.fromsorted([(1, "a"), (2, "b"), (3, "c")]),
    lambda M: M.fromkeys([3, 2, 1], "v") | {1: "a", 2: "b", 3: "c"},
])
def test_construction_variants_agree_with_dict(BTreeMap, make):
    m = make(BTreeMap)
    assert list(m.items()) == [(1, "a"), (2, "b"), (3, "c")]
    assert m == {1: "a", 2: "b", 3: "c"} and not m != {3: "c", 2: "b", 1: "a"}


def test_keyword_construction_and_later_pairs_win(BTreeMap):
    assert list(BTreeMap({"b": 1}, a=2, b=3).items()) == [("a", 2), ("b", 3)]
    m = BTreeMap([(1, "first"), (1.0, "second"), (True, "third")])
    assert list(m.items()) == [(1, "third")] and type(m.keys()[0]) is int


def test_dict_messages_for_bad_pairs(BTreeMap):
    with pytest.raises(ValueError, match="element #1 has length 3"):
        BTreeMap([(1, 2), (1, 2, 3)])
    with pytest.raises(TypeError, match="element #0 to a sequence"):
        BTreeMap([5])


@pytest.mark.parametrize("bad, error, message", [
    ([(1, 1), (float("nan"), 2)], ValueError, "NaN keys are not supported"),
    ([(1, 1), ("a", 2)], TypeError, "not supported"),
])
def test_bad_keys_fail_construction_and_insertion(BTreeMap, bad, error, message):
    with pytest.raises(error, match=message):
        BTreeMap(bad)
    m = BTreeMap([bad[0]])
    with pytest.raises(error, match=message):
        m[bad[1][0]] = 0
    assert list(m.items()) == [bad[0]]


def test_self_reference_in_repr_deepcopy_and_gc(BTreeMap):
    m = BTreeMap({1: "a"})
    m[2] = m
    assert repr(m) == "BTreeMap({1: 'a', 2: BTreeMap(...)})"
    deep = copy.deepcopy(m)
    assert deep[2] is deep
    ref = weakref.ref(m)
    del m, deep
    gc.collect()
    assert ref() is None


def test_equality_against_mappings(BTreeMap):
    m = BTreeMap({1: "a", 2: "b"})
    assert m == {2: "b", 1: "a"} and m == BTreeMap({1.0: "a", 2: "b"})
    assert m != {1: "a", 2: "c"} and m != {1: "a"} and m != {1: "a", 3: "b"}
    assert m.__eq__([(1, "a"), (2, "b")]) is NotImplemented
    assert (m == [(1, "a"), (2, "b")]) is False


def test_union_operators(BTreeMap):
    a = BTreeMap({1: "a", 2: "b"})
    assert list((a | {2: "B", 0: "z"}).items()) == [(0, "z"), (1, "a"), (2, "B")]
    assert list(({2: "B", 0: "z"} | a).items()) == [(0, "z"), (1, "a"), (2, "b")]
    a |= [(5, "e")]
    assert list(a.items()) == [(1, "a"), (2, "b"), (5, "e")]
    assert a.__or__(5) is NotImplemented


def test_order_queries_on_an_empty_map(BTreeMap):
    m = BTreeMap()
    with pytest.raises(KeyError):
        m.popitem()
    with pytest.raises(IndexError):
        m.peekitem()
    with pytest.raises(KeyError):
        m.floor_key(3)
    assert m.ceiling_key(3, "none") == "none" and list(m.irange()) == [] and list(m.islice()) == []


def test_subclass_keeps_its_type(BTreeMap):
    class Sub(BTreeMap):
        pass

    s = Sub({2: "b", 1: "a"})
    assert repr(s) == "Sub({1: 'a', 2: 'b'})"
    for other in (s.copy(), copy.deepcopy(s), s | {3: "c"}, s.union(Sub()), Sub.fromsorted([(1, 2)]),
                  Sub.fromkeys([1])):
        assert type(other) is Sub
    s.extra = 1
    if BTreeMap is bt.BTreeMap:
        check_tree(s, strict=False)
