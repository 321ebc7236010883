"""BTreeMap's views: live sequences over the map, and their set operations
and comparisons against those of dict's views."""

import collections.abc
import operator

import pytest
from hypothesis import given, settings, strategies as st

from helpers import COMPARISONS, SET_OPS, TESTED, Key, check_tree


def test_views_are_live_sequences(BTreeMap):
    m = BTreeMap((i, i * i) for i in range(500))
    keys, values, items = m.keys(), m.values(), m.items()
    m[1000] = 7
    assert len(keys) == len(values) == len(items) == 501
    assert keys[-1] == 1000 and values[-1] == 7 and items[-1] == (1000, 7)
    assert keys[10:13] == [10, 11, 12] and values[13:10:-1] == [169, 144, 121]
    assert items[::250] == [(0, 0), (250, 62500), (1000, 7)]
    assert 499 in keys and 1001 not in keys and 7 in values and (3, 9) in items and (3, 8) not in items
    assert keys.index(250) == 250 and items.index((2, 4)) == 2 and values.index(7) == 500
    assert values.count(7) == 1 and keys.count(3) == 1 and keys.count(-1) == 0
    assert list(reversed(keys))[:2] == [1000, 499] and list(reversed(items))[-1] == (0, 0)
    with pytest.raises(IndexError):
        keys[501]
    with pytest.raises(ValueError):
        keys.index(-5)
    assert keys.index(250, 250, 251) == items.index((250, 62500), -251) == 250 and values.index(4, None, 3) == 2
    for view in (keys, values, items):
        assert isinstance(view, collections.abc.Sequence)
    assert isinstance(values, collections.abc.ValuesView)


def test_set_operation_results_are_ordered_set_like_sequences(BTreeMap):
    a, b = BTreeMap({3: "c", 1: "a", 2: "b"}), BTreeMap({4: "d", 2: "b", 3: "C"})
    assert isinstance(a.keys(), collections.abc.KeysView) and isinstance(a.items(), collections.abc.ItemsView)
    both = a.keys() & b.keys()
    assert list(both) == [2, 3] and both[-1] == 3 and both == {2, 3} and 3 in both
    for result in (both, a.items() | b.items(), [0] - a.keys()):
        assert type(result) is type(a.keys())
        assert isinstance(result, collections.abc.Set) and isinstance(result, collections.abc.Sequence)
    assert list(a.items() & b.items()) == [(2, "b")]
    assert list(a.items() - b.items()) == [(1, "a"), (3, "c")]
    # Two pairs of one key: both kept, in the order of their values.
    assert list(a.items() ^ b.items()) == [(1, "a"), (3, "C"), (3, "c"), (4, "d")]
    assert list(a.items() | b.items()) == [(1, "a"), (2, "b"), (3, "C"), (3, "c"), (4, "d")]


@pytest.mark.parametrize("left, right", [({}, {}), ({1: 1}, {}), ({1: 1, 2: 2}, {3: 3, 4: 4}),
                                         ({1: "a"}, {1: "b"}), ({1.0: 1}, {1: 1})])
def test_set_operations_on_edge_cases_agree_with_dict(BTreeMap, left, right):
    a, b = BTreeMap(left), BTreeMap(right)
    for mine, theirs, ref, ref_theirs in ((a.keys(), b.keys(), left.keys(), right.keys()),
                                          (a.items(), b.items(), left.items(), right.items()),
                                          (a.keys(), a.keys(), left.keys(), left.keys()),
                                          (a.items(), a.items(), left.items(), left.items())):
        for fn in SET_OPS.values():
            assert fn(mine, theirs) == fn(ref, ref_theirs)
            assert fn(mine, list(theirs)) == fn(ref, list(ref_theirs))
            assert fn(list(theirs), mine) == fn(list(ref_theirs), ref)
        assert mine.isdisjoint(theirs) == ref.isdisjoint(ref_theirs)
        for compare in COMPARISONS:
            assert compare(mine, theirs) == compare(ref, ref_theirs)


def test_item_views_need_no_hash_and_order_values_only_when_both_are_kept(BTreeMap):
    # dict's item views hash their pairs; these compare values with == only.
    a, b = BTreeMap({1: [1], 2: {}}), BTreeMap({1: [1], 2: {"x": 1}})
    assert list(a.items() & b.items()) == [(1, [1])]
    assert list(a.items() - b.items()) == [(2, {})]
    assert list(a.items() & [(2, {}), (3, [])]) == [(2, {})]
    assert list(a.items() - [(2, {}), [5]]) == [(1, [1])]
    assert a.items() == BTreeMap({2: {}, 1: [1]}).items() and a.items() != b.items()
    assert not a.items().isdisjoint(b.items()) and a.items() >= BTreeMap({1: [1]}).items()
    # A result holding two pairs of one key must order their values.
    with pytest.raises(TypeError, match="not supported"):
        a.items() ^ b.items()
    with pytest.raises(TypeError, match="not supported"):
        a.items() | [(2, {"y": 2})]
    assert list(a.items() | [(1, [1]), (3, {})]) == [(1, [1]), (2, {}), (3, {})]
    assert [(0, None)] - BTreeMap({0: 1}).items() == {(0, None)}


# Values that have no order with any other value: None beside ints, dicts.
UNORDERED = [None, 0, 1, {}, {"a": 1}]
PAIRS = st.tuples(st.integers(0, 2), st.sampled_from(UNORDERED))


def unique(elements):
    """The elements without repeats, equal by == alone (dicts have no hash)."""
    kept = []
    for e in elements:
        if e not in kept:
            kept.append(e)
    return kept


# The set operations and comparisons on lists of distinct elements.
LIST_OPS = {
    "&": lambda a, b: [e for e in a if e in b],
    "|": lambda a, b: a + [e for e in b if e not in a],
    "-": lambda a, b: [e for e in a if e not in b],
    "^": lambda a, b: [e for e in a if e not in b] + [e for e in b if e not in a],
}


def list_compare(compare, a, b):
    """A comparison of sets, on lists of distinct elements."""
    subset, superset = all(e in b for e in a), all(e in a for e in b)
    return {operator.eq: subset and superset, operator.ne: not (subset and superset),
            operator.lt: subset and not superset, operator.le: subset,
            operator.gt: superset and not subset, operator.ge: superset}[compare]


@settings(max_examples=300, deadline=None)
@given(mine=st.dictionaries(st.integers(0, 2), st.sampled_from(UNORDERED)), pairs=st.lists(PAIRS, max_size=4))
def test_item_view_set_operations_order_values_only_for_two_kept_pairs_of_a_key(mine, pairs):
    """Every set operation and comparison of an item view, in both operand
    orders, with a list, another item view and a key view of pairs: values
    are compared with == alone unless the result holds two pairs of one key,
    which it must order by value."""
    m = TESTED.BTreeMap(mine)
    view, own = m.items(), list(mine.items())
    others = [(pairs, unique(pairs)), (TESTED.BTreeMap(pairs).items(), list(dict(pairs).items()))]
    try:
        others.append((TESTED.BTreeMap.fromkeys(pairs).keys(), sorted(unique(pairs))))
    except TypeError:
        pass  # a key view of pairs of one key whose values have no order cannot be built
    for other, elements in others:
        for name, fn in SET_OPS.items():
            for result_of, expected in ((lambda: fn(view, other), LIST_OPS[name](own, elements)),
                                        (lambda: fn(other, view), LIST_OPS[name](elements, own))):
                try:
                    ordered = sorted(expected)
                except TypeError:
                    with pytest.raises(TypeError, match="not supported"):
                        result_of()
                else:
                    assert list(result_of()) == ordered
        assert view.isdisjoint(other) == (not LIST_OPS["&"](own, elements))
        if not isinstance(other, list):
            assert other.isdisjoint(view) == view.isdisjoint(other)
            for compare in COMPARISONS:
                assert compare(view, other) == list_compare(compare, own, elements)
                assert compare(other, view) == list_compare(compare, elements, own)


def test_set_operations_refuse_what_cannot_be_ordered_or_iterated(BTreeMap):
    m = BTreeMap({1: "a", 2: "b"})
    with pytest.raises(TypeError, match="not iterable"):
        m.keys() & 5
    with pytest.raises(TypeError, match="not supported"):
        m.keys() | ["x"]
    with pytest.raises(TypeError, match="not supported"):
        m.items() | [5]
    with pytest.raises(ValueError, match="NaN"):
        m.keys() ^ [float("nan")]
    assert (m.keys() == [1, 2]) is False and m.keys().__lt__([1, 2, 3]) is NotImplemented
    with pytest.raises(TypeError):
        m.values() & {1}
    with pytest.raises(TypeError):
        hash(m.keys())


def test_set_operations_refuse_a_change_from_their_comparison(BTreeMap, key_hook):
    # The values of equal keys are compared with Python code, which here
    # removes a key of the other map in the middle of the walk.
    m = BTreeMap((i, Key(i)) for i in range(300))
    other = BTreeMap((i, Key(i)) for i in range(0, 600, 2))

    def hook(a, b):
        key_hook(None)
        del other[598]

    key_hook(hook)
    # The merge holds both maps: the change is refused as a re-entry.
    with pytest.raises(RuntimeError, match="^BTreeMap reentrant access during comparison$"):
        m.items() ^ other.items()
    assert 598 in other
    check_tree(m, strict=False)
    check_tree(other, strict=False)


@pytest.mark.parametrize("view", ["keys", "values", "items"])
def test_views_delete_positions_and_slices_as_a_list_does(BTreeMap, view):
    m = BTreeMap((i, -i) for i in range(2000))
    model = list(getattr(m, view)())
    for index in (0, -1, 700, slice(10, 20), slice(None, 5), slice(-300, None), slice(1500, 1000, -1),
                  slice(3, 900, 7), slice(None, None, -50), slice(800, 100, -3), slice(5, 5), slice(50, 10)):
        del getattr(m, view)()[index]
        del model[index]
        assert list(getattr(m, view)()) == model and len(m) == len(model)
    for index in (len(m), -len(m) - 1):
        with pytest.raises(IndexError, match="^index out of range$"):
            del getattr(m, view)()[index]
    with pytest.raises(IndexError):
        del getattr(m, view)()[10**30]
    with pytest.raises(TypeError):
        del getattr(m, view)()["a"]
    with pytest.raises(TypeError, match="does not support item assignment"):
        getattr(m, view)()[0] = 1
    with pytest.raises(ValueError):
        del getattr(m, view)()[::0]
    assert list(getattr(m, view)()) == model
    del getattr(m, view)()[:]
    assert len(m) == 0 and list(m) == []


def test_deleting_from_a_view_by_steps_stops_when_a_finaliser_changes_the_map(BTreeMap):
    m = BTreeMap()

    class Meddling:
        def __del__(self):
            m[-1] = None

    for i in range(100):
        m[i] = Meddling() if i == 90 else i
    with pytest.raises(RuntimeError, match="^BTreeMap mutated during iteration$"):
        del m.keys()[::10]
    # Position 90 went, and its finaliser added -1; then nothing more.
    assert list(m) == [-1] + [i for i in range(100) if i != 90]
    check_tree(m)
