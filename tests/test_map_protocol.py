"""BTreeMap's mapping protocol against dict: construction, equality, the
union operators, repr, order queries of an empty map and at every leaf edge,
and subclasses."""

import bisect
import collections
import copy
import gc
import inspect
import operator
import random
import weakref

import pytest

from helpers import check_tree


@pytest.mark.parametrize("make", [
    lambda M: M({3: "c", 1: "a", 2: "b"}),
    lambda M: M([(3, "x"), (1, "a"), (2, "b"), (3, "c")]),
    lambda M: M(iter([(2, "b"), (3, "c"), (1, "a")])),
    lambda M: M(M({1: "a", 2: "b", 3: "c"})),
    lambda M: M(collections.OrderedDict([(2, "b"), (1, "a")]), **{}) | {3: "c"},
    lambda M: M.fromsorted([(1, "a"), (2, "b"), (3, "c")]),
    lambda M: M.fromkeys([3, 2, 1], "v") | {1: "a", 2: "b", 3: "c"},
    lambda M: M(None, {3: "c", 1: "a", 2: "b"}),
    lambda M: M(None, b="b", c="c", a="a"),
])
def test_construction_variants_agree_with_dict(BTreeMap, make):
    m = make(BTreeMap)
    if m and isinstance(m.keys()[0], str):
        m = BTreeMap({ord(k) - ord("a") + 1: v for k, v in m.items()})
    assert list(m.items()) == [(1, "a"), (2, "b"), (3, "c")] and m.key is None
    assert m == {1: "a", 2: "b", 3: "c"} and not m != {3: "c", 2: "b", 1: "a"}


@pytest.mark.parametrize("make, key, order", [
    (lambda M: M(str.lower, B=1, a=2, b=3, A=4), str.lower, ["a", "A", "B", "b"]),
    (lambda M: M(abs, [(2, 0), (-1, 0), (1, 0), (1.0, 9), (-2, 0)]), abs, [-1, 1, 2, -2]),
    (lambda M: M(abs, M(operator.neg, {3: 0, 2: 0})) | M(abs, {-2: 2}), abs, [2, -2, 3]),
    (lambda M: M(str.lower, {"b": 0}).copy() | {"B": 1, "a": 2}, str.lower, ["a", "b", "B"]),
])
def test_key_function_orders_keys_told_apart_by_equality(BTreeMap, make, key, order):
    m = make(BTreeMap)
    check_tree(m)
    assert list(m) == order and m.key is key and repr(m).startswith(f"BTreeMap({key!r}, {{")
    assert type(m.keys()[order.index(1)]) is int if 1 in order else True
    with pytest.raises(AttributeError):
        m.key = None


def test_key_function_arguments_refused(BTreeMap):
    with pytest.raises(TypeError, match="key function before the data"):
        BTreeMap({1: 2}, {3: 4})
    m = BTreeMap(str.lower, a=1)
    with pytest.raises(TypeError, match="key function of a BTreeMap with items cannot change"):
        m.__init__({"b": 2})
    m.__init__(str.lower, b=2)
    assert list(m.items()) == [("a", 1), ("b", 2)]
    with pytest.raises(TypeError, match="expected string or bytes-like|'int' object"):
        m[5] = 0
    check_tree(m)


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


@pytest.mark.parametrize("left, right", [
    ({1: 1}, {"a": 1}),
    ({1: "a", 2: "b"}, {1: "a", "x": "b"}),
    ({1: "a", 2: "b"}, {1: "a", 2.0: "b"}),
    ({(1, 2): 1}, {(1, "a"): 1}),
    ({1: {}, 2: None}, {1: {}, 2: None}),
    ({1: {}, 2: None}, {1: {}, 2: 0}),
])
def test_equality_of_maps_agrees_with_dict(BTreeMap, left, right):
    """Keys of types that cannot be ordered together make maps unequal, as
    in dict; neither the keys nor the values are hashed or ordered."""
    a, b = BTreeMap(left), BTreeMap(right) if len({type(k) for k in right}) == 1 else None
    others = [right] if b is None else [right, b]
    for other in others:
        assert (a == other) is (other == a) is (left == right)
        assert (a != other) is (other != a) is (left != right)


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
    check_tree(s, strict=False)


def test_subclass_missing_answers_for_absent_keys(BTreeMap):
    class Defaulting(BTreeMap):
        def __missing__(self, key):
            if key < 0:
                raise LookupError("boom")
            return ("missing", key)

    class Plain(BTreeMap):
        pass

    m = Defaulting({1: "a"})
    assert m[1] == "a" and m[2] == ("missing", 2) and 2 not in m
    assert m.get(2) is None and m.pop(2, "d") == "d" and list(m) == [1]
    with pytest.raises(LookupError, match="boom"):
        m[-1]
    with pytest.raises(TypeError, match="not supported"):
        m[(1,)]
    for plain in (BTreeMap({1: "a"}), Plain({1: "a"})):
        with pytest.raises(KeyError) as error:
            plain[2]
        assert error.value.args == (2,)


@pytest.mark.parametrize("build", [
    lambda cls, pairs: cls.fromsorted(pairs),
    lambda cls, pairs: cls._fromsortedlists([k for k, _ in pairs], [v for _, v in pairs]),
])
@pytest.mark.parametrize("pairs, message", [
    ([(2, "b"), (1, "a")], "1 at position 1 follows 2"),
    ([(1, "a"), (1, "b")], "1 at position 1 follows 1"),
])
def test_sorted_input_is_checked_for_subclasses_that_store_items(BTreeMap, build, pairs, message):
    class Stocked(BTreeMap):
        def __init__(self, *args):
            super().__init__(*args)
            self[0] = "stock"

    for cls in (BTreeMap, Stocked):
        with pytest.raises(ValueError, match=f"keys must ascend strictly: {message}"):
            build(cls, pairs)
    assert list(build(Stocked, sorted(dict(pairs).items())).items()) == [(0, "stock"), *sorted(dict(pairs).items())]
    rebuild, args = Stocked({5: "e"}).__reduce__()
    restored = rebuild(*args)
    assert type(restored) is Stocked and list(restored.items()) == [(0, "stock"), (5, "e")]


def public_callables(BTreeMap):
    """(owner, name, attribute) for every callable attribute that the map
    type, its views and their iterator define, but those private by name."""
    m = BTreeMap({1: "a"})
    for owner in (BTreeMap, type(m.keys()), type(m.values()), type(m.items()), type(iter(m))):
        for name in vars(owner):
            attribute = getattr(owner, name)
            if callable(attribute) and not (name.startswith("_") and not name.endswith("__")):
                yield owner, name, attribute


def test_every_public_method_has_a_signature(BTreeMap):
    found = {f"{owner.__name__}.{name}": inspect.signature(attribute)
             for owner, name, attribute in public_callables(BTreeMap)}
    assert str(found["BTreeMap.pop"]) == "(self, key, default=Ellipsis, /)"
    assert str(found["BTreeMap.popitem"]) == "(self, /, index=-1)"
    assert str(found["BTreeMap.index"]) == "(self, key, /, start=None, stop=None)"
    assert str(found["BTreeMapItems.index"]) == "(self, value, /, start=None, stop=None)"
    assert {"_BTreeMapIter.__length_hint__", "BTreeMap.floor_key", "BTreeMapValues.count", "BTreeMap.__getitem__",
            "BTreeMapKeys.isdisjoint", "BTreeMap.fromsorted"} <= set(found)


@pytest.mark.parametrize("call", [
    lambda m: m.peekitem(10**100),
    lambda m: m.peekitem(index=-(10**100)),
    lambda m: m.popitem(10**100),
    lambda m: m.popitem(index=-(10**100)),
    lambda m: m.keys()[10**100],
    lambda m: m.values()[-(10**100)],
    lambda m: m.items()[10**100],
])
def test_positions_beyond_a_c_integer_are_out_of_range(BTreeMap, call):
    m = BTreeMap({1: "a"})
    with pytest.raises(IndexError, match="^index out of range$"):
        call(m)
    assert list(m.items()) == [(1, "a")]


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.popitem(1, index=1), TypeError, r"given by name \('index'\) and position \(1\)"),
    (lambda m: m.peekitem(position=1), TypeError, "unexpected keyword argument 'position'"),
    (lambda m: m.peekitem(1, 2), TypeError, "at most 1 arguments"),
    (lambda m: m.index(), TypeError, "missing required argument 'key'"),
    (lambda m: m.index(key=1), TypeError, "unexpected keyword argument 'key'"),
    (lambda m: m.keys().index(1, 0, 2, 3), TypeError, "at most 3 arguments"),
    (lambda m: m.index(1, "0"), TypeError, "slice indices must be integers"),
    (lambda m: m.values().index("a", stop=1.5), TypeError, "slice indices must be integers"),
    (lambda m: m.popitem("0"), TypeError, "cannot be interpreted as an integer"),
])
def test_position_arguments_refused(BTreeMap, call, error, message):
    m = BTreeMap({1: "a", 2: "b"})
    with pytest.raises(error, match=message):
        call(m)
    assert list(m.items()) == [(1, "a"), (2, "b")]


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
    check_tree(m, strict=False)


class Rank(int):
    pass


# A map of exact ints answers with an equal int, which need not be the stored
# object (a large one makes a new int); any other key, bools and int
# subclasses among them, is the stored one.
@pytest.mark.parametrize("filler", [0, 40_000])
@pytest.mark.parametrize("keys, probe, floor", [
    ([0, 10**12, 2**63 - 1], 2**63, 2**63 - 1),
    ([-(2**63), -5, 7], -4, -5),
    ([False, True], 5, True),
    ([0, True, 7], 1.5, True),
    ([Rank(3), Rank(9)], 8, Rank(3)),
    ([2**64, 2**65], 2**66, 2**65),
])
def test_neighbour_queries_keep_the_key_type(BTreeMap, keys, probe, floor, filler):
    make = type(keys[-1])
    m = BTreeMap(dict.fromkeys(keys + ([] if make is bool else [make(-(10**15) - i) for i in range(filler)])))
    found = m.floor_key(probe)
    assert found == floor and type(found) is type(floor)
    if type(floor) is not int:
        assert found is next(k for k in m if k == floor and type(k) is type(floor))
    assert m.ceiling_key(keys[0]) == keys[0] and type(m.ceiling_key(keys[0])) is type(keys[0])
