"""BTreeMap's mapping protocol against dict: construction, equality, the
union operators, repr, order queries of an empty map and at every leaf edge,
and subclasses."""

import bisect
import collections
import copy
import gc
import random
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


NEIGHBOURS = {
    "floor_key": lambda keys, k: keys[bisect.bisect_right(keys, k) - 1] if bisect.bisect_right(keys, k) else None,
    "lower_key": lambda keys, k: keys[bisect.bisect_left(keys, k) - 1] if bisect.bisect_left(keys, k) else None,
    "ceiling_key": lambda keys, k: keys[i] if (i := bisect.bisect_left(keys, k)) < len(keys) else None,
    "higher_key": lambda keys, k: keys[i] if (i := bisect.bisect_right(keys, k)) < len(keys) else None,
}
# Probes are the even numbers 0..2n-2 (present) and every odd number between
# and around them (absent), mapped onto each key kind in order.
EDGE_KINDS = {
    "int": lambda v: v,
    "float": lambda v: v / 4,
    "str": lambda v: f"{v:08d}",
    "tuple": lambda v: (v // 100, v % 100),
}


@pytest.mark.parametrize("kind", sorted(EDGE_KINDS))
@pytest.mark.parametrize("shape", ["bulk", "random inserts", "after deletions"])
def test_neighbour_queries_at_every_leaf_edge(BTreeMap, kind, shape):
    as_key = EDGE_KINDS[kind]
    n = 1200
    present = [as_key(v) for v in range(0, 2 * n, 2)]
    if shape == "bulk":
        m = BTreeMap.fromsorted(dict.fromkeys(present).items())
    else:
        order = present[:]
        random.Random(n).shuffle(order)
        m = BTreeMap(dict.fromkeys(order))
        if shape == "after deletions":
            for k in order[: n // 2]:
                del m[k]
            present = sorted(order[n // 2:])
    for v in range(-1, 2 * n + 1):
        k = as_key(v)
        for name, model in NEIGHBOURS.items():
            assert getattr(m, name)(k, None) == model(present, k), (name, k)
    if BTreeMap is bt.BTreeMap:
        check_tree(m, strict=False)
