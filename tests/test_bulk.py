"""Bulk build from sorted input and the set merges of two trees, reached
through the C API client; BTreeMap's bulk construction, pickling and
merges, against dict."""

import gc
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from helpers import (FREE_THREADED, MAX_CHILDREN, MAX_KEYS, TEST_BUILD_TYPES, TESTED, Key, _btree_test, built,
                     check_tree, node_table, references, shape, tree_of)

NONE, OBJECT, INT64, FLOAT64, STR = -1, 0, 1, 2, 3
NAN = float("nan")
MUTATED = "^BTree mutated during iteration$"
REENTRANT = "^BTree reentrant access during comparison$"
MERGES = ["merge_union", "merge_intersection", "merge_difference"]


class FloatSub(float):
    pass


# Item count: leaf item counts as nested lists (see shape), root separators as
# input positions.
SHAPES = node_table(lambda: [
    (0, None, None),
    (MAX_KEYS, MAX_KEYS, []),
    (MAX_KEYS + 1, [MAX_KEYS, 1], [MAX_KEYS]),
    (300, [MAX_KEYS, MAX_KEYS, 300 - 2 * MAX_KEYS], [MAX_KEYS, 2 * MAX_KEYS]),
    (MAX_KEYS * MAX_CHILDREN, [MAX_KEYS] * MAX_CHILDREN, list(range(MAX_KEYS, MAX_KEYS * MAX_CHILDREN, MAX_KEYS))),
    # The last internal node has one child and no separator.
    (MAX_KEYS * MAX_CHILDREN + 1, [[MAX_KEYS] * MAX_CHILDREN, [1]], [MAX_KEYS * MAX_CHILDREN]),
])


@pytest.mark.parametrize("count, leaves, root_separators", SHAPES, ids=[str(s[0]) for s in SHAPES])
def test_built_shapes(test_capi, dump, check, count, leaves, root_separators):
    keys = list(range(count))
    tree, taken_keys, taken_values = test_capi.build_from_sorted_pairs(keys, [-k for k in keys])
    assert all(taken_keys) and all(taken_values)
    state = dump(tree)
    root = state["root"]
    if count == 0:
        assert root is None
    else:
        assert shape(root) == leaves
        assert ([] if root["leaf"] else root["keys"]) == root_separators
    assert (state["key_kind"], state["key_type"]) == ((INT64, int) if count else (NONE, None))
    assert (state["version"], state["cache_key"], state["path_len"]) == (0, None, 0)
    check(tree, strict=False)
    assert list(tree.items()) == [(k, -k) for k in keys]
    assert all(tree.search(k) == -k for k in keys)
    assert all(test_capi.get_item_by_index(tree, i, 0) == i for i in range(0, count, 61))


KINDS = {
    "ints": (list(range(300)), INT64, int),
    "ints and bools": ([False, True] + list(range(2, 300)), INT64, None),
    "ints then a float": (list(range(300)) + [299.5], OBJECT, None),
    "ints then an int beyond 64 bits": (list(range(300)) + [2**64], OBJECT, int),
    "floats": ([i / 2 for i in range(300)], FLOAT64, float),
    "floats then a float subclass": ([i / 2 for i in range(300)] + [FloatSub(150.5)], OBJECT, None),
    "a float subclass": ([FloatSub(i) for i in range(300)], OBJECT, FloatSub),
}


@pytest.mark.parametrize("keys, kind, key_type", KINDS.values(), ids=KINDS.keys())
def test_key_kind_and_type_follow_every_key(test_capi, dump, check, keys, kind, key_type):
    tree = built(test_capi, keys)
    state = dump(tree)
    assert (state["key_kind"], state["key_type"]) == (kind, key_type)
    check(tree, strict=False)
    assert all(tree.search(key) is None for key in keys)


@pytest.mark.parametrize("nan_at", [0, 150, 299])
@pytest.mark.parametrize("nan", [NAN, FloatSub("nan")], ids=["float", "float subclass"])
def test_a_nan_key_leaves_every_slot_with_the_caller(capi, nan, nan_at):
    keys = [float(i) for i in range(300)]
    keys[nan_at] = nan
    values = [object() for _ in keys]
    before = references(values)
    with pytest.raises(ValueError, match="^NaN keys are not supported$") as info:
        capi.build_from_sorted_pairs(keys, values)
    assert not any(info.value.taken_keys) and not any(info.value.taken_values)
    after = references(values)
    assert after == before


def test_count_argument(capi):
    keys, values = [Key(v) for v in range(10)], [object() for _ in range(10)]
    before = references(keys + values)
    with pytest.raises(ValueError, match="^n must be >= 0$") as info:
        capi.build_from_sorted_pairs(keys, values, -1)
    assert not any(info.value.taken_keys + info.value.taken_values)
    tree, taken_keys, taken_values = capi.build_from_sorted_pairs(keys, values, 3)
    assert taken_keys == taken_values == [True] * 3 + [False] * 7
    assert [(k.value, v) for k, v in tree.items()] == [(k.value, v) for k, v in zip(keys[:3], values[:3])]
    del tree
    after = references(keys + values)
    assert after == before


# Left keys, right keys (None: the left tree on both sides), and the key kind
# of the union, the intersection and the difference.
SAME = None
MERGE_CASES = {
    "two empty trees": ([], [], (NONE, NONE, NONE)),
    "an empty right tree": (list(range(0, 600, 2)), [], (INT64, NONE, INT64)),
    "an empty left tree": ([], list(range(0, 600, 3)), (INT64, NONE, NONE)),
    "1 2 against 2 3": ([1, 2], [2, 3], (INT64, INT64, INT64)),
    "several leaves of keys": (list(range(0, 900, 2)), list(range(0, 900, 3)), (INT64, INT64, INT64)),
    "more than a full two-level tree of keys": (list(range(0, 40_000, 2)), list(range(0, 40_000, 3)), (INT64, INT64, INT64)),
    "ints against equal floats": ([1, 2, 5], [1.0, 1.5, 5.0, 7.5], (OBJECT, INT64, INT64)),
    "a tree with itself": (list(range(0, 3000, 7)), SAME, (INT64, INT64, NONE)),
    # Strings whose first eight bytes tie: whole strings decide.
    "strings of one prefix": ([f"prefix__{i}" for i in range(0, 900, 2)], [f"prefix__{i}" for i in range(0, 900, 3)],
                              (STR, STR, STR)),
}


@pytest.mark.parametrize("left_keys, right_keys, kinds", MERGE_CASES.values(), ids=MERGE_CASES.keys())
def test_merges_match_set_operations(BTree, capi, left_keys, right_keys, kinds):
    left = tree_of(BTree, left_keys, value=str)
    right = left if right_keys is SAME else tree_of(BTree, right_keys, value=str)
    if right_keys is SAME:
        right_keys = left_keys
    # One object per key; an equal key on both sides is the left one.
    objects = {k: k for k in right_keys} | {k: k for k in left_keys}
    in_right = set(right_keys)
    expected = {
        "merge_union": objects,
        "merge_intersection": [k for k in left_keys if k in in_right],
        "merge_difference": [k for k in left_keys if k not in in_right],
    }
    for merge, kind in zip(MERGES, kinds):
        result = getattr(capi, merge)(left, right)
        check_tree(result, strict=False)
        keys = list(result.keys())
        assert keys == sorted(expected[merge]) and all(k is objects[k] for k in keys)
        assert set(result.values()) <= {None}
        if isinstance(result, TEST_BUILD_TYPES):
            assert _btree_test.dump(result)["key_kind"] == kind
    if len(left_keys) > 10_000 and MAX_KEYS is not None:
        assert len(capi.merge_union(left, right)) > MAX_KEYS * MAX_CHILDREN
    assert list(left.keys()) == sorted(set(left_keys)) and list(right.keys()) == sorted(set(right_keys))


def test_keys_that_cannot_be_ordered_fail_the_merge(BTree, capi):
    left, right = tree_of(BTree, [1, 2]), tree_of(BTree, ["a"])
    for merge in MERGES:
        with pytest.raises(TypeError):
            getattr(capi, merge)(left, right)
    assert list(left.items()) == [(1, 1), (2, 2)] and list(right.items()) == [("a", "a")]


@pytest.mark.parametrize("changed", ["left", "right"])
@pytest.mark.parametrize("merge", MERGES)
def test_merge_fails_at_the_first_iteration_error(BTree, capi, key_hook, merge, changed):
    left = tree_of(BTree, [Key(v) for v in range(0, 600, 2)])
    right = tree_of(BTree, [Key(v) for v in range(0, 600, 3)])
    target = left if changed == "left" else right
    changes = []

    def hook(a, b):
        # Under the interpreter lock the merges hold no guard: a comparison
        # may change either tree. Where threads run at once a merge holds
        # both, and the change is refused as a re-entry.
        if not changes:
            changes.append(target)
            target.insert(Key(1000))

    key_hook(hook)
    with pytest.raises(RuntimeError, match=REENTRANT if FREE_THREADED else MUTATED):
        getattr(capi, merge)(left, right)
    key_hook(None)
    assert changes == [target]
    if FREE_THREADED:
        with pytest.raises(KeyError):
            target.search(Key(1000))
    else:
        assert target.search(Key(1000)) is None
    check_tree(target)


def test_fromsorted_refuses_disorder_and_repeats(BTreeMap):
    with pytest.raises(ValueError, match="ascend strictly"):
        BTreeMap.fromsorted([(1, 1), (3, 3), (2, 2)])
    with pytest.raises(ValueError, match="ascend strictly"):
        BTreeMap.fromsorted([(1, 1), (1, 2)])


def test_comparison_that_raises_during_sort_leaks_nothing(BTreeMap, key_hook):
    keys = [Key(i) for i in (5, 3, 9, 1)]
    before = references(keys)

    def hook(a, b):
        if {a.value, b.value} == {9, 1}:
            raise ArithmeticError("no")

    key_hook(hook)
    with pytest.raises(ArithmeticError):
        BTreeMap((k, k) for k in keys)
    key_hook(None)
    gc.collect()
    assert references(keys) == before


def test_merges_carry_values(BTreeMap):
    for keys in (range(0, 300, 2), [str(i) for i in range(0, 300, 2)], [(i,) for i in range(0, 300, 2)]):
        left = BTreeMap((k, ("left", k)) for k in keys)
        other = list(keys)[::3] + [k * 3 if not isinstance(k, tuple) else (k[0] * 3 + 1,) for k in keys]
        right = BTreeMap((k, ("right", k)) for k in other)
        expected_union = dict(right.items()) | dict(left.items())
        assert list(left.union(right).items()) == sorted(expected_union.items())
        assert list(left.intersection(right).items()) == [(k, v) for k, v in left.items() if k in right]
        assert list(left.difference(right).items()) == [(k, v) for k, v in left.items() if k not in right]
        for merged in (left.union(right), left.intersection(right), left.difference(right)):
            check_tree(merged, strict=False)


# BTreeMap's bulk construction and pickling, against dict.

# Keys that order by their primitives (ints near and beyond 64 bits, floats
# with both zeros, strings sharing long prefixes) and mixes that do not.
BULK_KEYS = {
    "int": st.one_of(st.integers(-2**63, 2**63 - 1), st.integers(-300, 300), st.booleans()),
    "big int": st.one_of(st.integers(-300, 300), st.sampled_from([2**63, -2**63 - 1, 2**70])),
    "float": st.one_of(st.floats(allow_nan=False), st.sampled_from([0.0, -0.0, 1e-300, -1e300])),
    "str": st.one_of(st.text("ab\x00é\U0001f600", max_size=12), st.text("ab", max_size=3).map("prefix__".__add__)),
    "mixed": st.one_of(st.integers(-5, 5), st.floats(-5, 5, allow_nan=False).map(lambda f: round(f, 1))),
}


def bulk_pairs(kind, unique=False):
    pairs = st.lists(st.tuples(BULK_KEYS[kind], st.integers()), max_size=400)
    return pairs.map(lambda p: list(dict(p).items())) if unique else pairs


def typed(items):
    return [(type(k), repr(k), v) for k, v in items]


def expected_items(pairs):
    # dict keeps the first key object of equal keys and the last value.
    return typed(sorted(dict(pairs).items(), key=lambda item: item[0]))


@pytest.mark.parametrize("kind", sorted(BULK_KEYS))
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_bulk_construction_agrees_with_dict(kind, data):
    pairs = data.draw(bulk_pairs(kind))
    M = TESTED.BTreeMap
    for m in (M(pairs), M(dict(pairs)), M(iter(pairs)), M.fromkeys(dict(pairs)) | dict(pairs)):
        check_tree(m, strict=False)
        assert typed(m.items()) == expected_items(pairs)


@pytest.mark.parametrize("kind", sorted(BULK_KEYS))
@pytest.mark.parametrize("name", ["BTreeList", "BTreeSet"])
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_sequence_built_from_a_sequence_agrees_with_sorted(kind, name, data):
    """A list or tuple, ascending or out of order at one place, builds the
    tree an iterator of the same elements builds: equal elements in input
    order, a set keeping the first of them."""
    keys = data.draw(st.lists(BULK_KEYS[kind], max_size=400))
    ordered = sorted(keys)
    shape = data.draw(st.sampled_from(["ascending", "swapped", "as drawn"]))
    if shape == "ascending" or len(keys) < 2:
        keys = ordered
    elif shape == "swapped":
        i = data.draw(st.integers(1, len(keys) - 1))
        keys = ordered[:i - 1] + [ordered[i], ordered[i - 1]] + ordered[i + 1:]
    sequence = data.draw(st.sampled_from([list, tuple]))(keys)
    T = getattr(TESTED, name)
    made, by_iterator = T(sequence), T(iter(keys))
    check_tree(made, strict=False)
    expected = sorted(dict.fromkeys(keys)) if name == "BTreeSet" else sorted(keys)
    assert [(type(k), repr(k)) for k in made] == [(type(k), repr(k)) for k in expected]
    assert all(a is b for a, b in zip(made, by_iterator))
    if _btree_test is not None:
        assert _btree_test.dump(made)["key_kind"] == _btree_test.dump(by_iterator)["key_kind"]


@pytest.mark.parametrize("kind", sorted(BULK_KEYS))
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_fromsorted_and_pickle_agree_with_dict(kind, data):
    items = sorted(data.draw(bulk_pairs(kind, unique=True)), key=lambda item: item[0])
    m = TESTED.BTreeMap.fromsorted(items)
    check_tree(m, strict=False)
    assert typed(m.items()) == typed(items)
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        loaded = pickle.loads(pickle.dumps(m, protocol))
        check_tree(loaded, strict=False)
        assert typed(loaded.items()) == typed(items)
        if _btree_test is not None:
            assert _btree_test.dump(loaded)["key_kind"] == _btree_test.dump(m)["key_kind"]
    # Any two neighbours swapped, or one repeated, is refused.
    if len(items) > 1:
        i = data.draw(st.integers(1, len(items) - 1))
        swapped = items[:i - 1] + [items[i], items[i - 1]] + items[i + 1:]
        for bad in (swapped, items[:i] + [items[i - 1]] + items[i:]):
            with pytest.raises(ValueError, match=f"ascend strictly: .* at position {i} follows"):
                TESTED.BTreeMap.fromsorted(bad)
            with pytest.raises(ValueError, match="ascend strictly"):
                TESTED.BTreeMap._fromsortedlists([k for k, _ in bad], [v for _, v in bad])


@pytest.mark.parametrize("keys, kind", [
    (list(range(-3000, 3000, 3)), 1),
    ([i / 4 for i in range(-3000, 3000)], 2),
    ([f"shared prefix {i:05}" for i in range(6000)], 3),
    ([f"{i:06}" for i in range(6000)], 3),
])
def test_bulk_builds_keep_primitives(BTreeMap, keys, kind):
    shuffled = keys[1::2] + keys[::2][::-1]
    pairs = [(k, i) for i, k in enumerate(shuffled)] + [(shuffled[0], "last")]
    m = BTreeMap(pairs)
    assert list(m.keys()) == keys and m[shuffled[0]] == "last" and m[shuffled[1]] == 1
    assert list(pickle.loads(pickle.dumps(m)).items()) == list(m.items())
    check_tree(m, strict=False)
    if isinstance(m, TEST_BUILD_TYPES):
        assert _btree_test.dump(m)["key_kind"] == kind


def test_equal_keys_of_one_kind_keep_the_first_key_and_the_last_value(BTreeMap):
    m = BTreeMap([(1, "a"), (2, "b"), (True, "c"), (0.0, "d"), (-0.0, "e")])
    assert typed(m.items()) == typed([(0.0, "e"), (1, "c"), (2, "b")])
    m = BTreeMap([(0.0, "a"), (-0.0, "b"), (2.5, "c")])
    assert typed(m.items()) == typed([(0.0, "b"), (2.5, "c")])
    m = BTreeMap([(True, "a"), (1, "b"), (False, "c")])
    assert typed(m.items()) == typed([(False, "c"), (True, "b")])


@pytest.mark.parametrize("pairs", [
    [(2.0, 1), (float("nan"), 2), (1.0, 3)],
    [(float("nan"), 1)],
    [(1, 1), (float("nan"), 2)],
])
def test_nan_keys_refused_and_nothing_leaked(BTreeMap, pairs):
    objects = [o for pair in pairs for o in pair]
    before = references(objects)
    for make in (BTreeMap, BTreeMap.fromsorted,
                 lambda p: BTreeMap._fromsortedlists([k for k, _ in p], [v for _, v in p])):
        with pytest.raises(ValueError, match="NaN keys are not supported"):
            make(pairs)
    assert references(objects) == before


def test_unpickling_refuses_malformed_lists(BTreeMap):
    with pytest.raises(ValueError, match="as many values as keys"):
        BTreeMap._fromsortedlists([1, 2], [1])
    with pytest.raises(TypeError, match="a list of keys and a list of values"):
        BTreeMap._fromsortedlists((1, 2), [1, 2])
    with pytest.raises(TypeError, match="a list of keys and a list of values, then a key function"):
        BTreeMap._fromsortedlists([1], [1], 5)
    with pytest.raises(TypeError, match="not supported"):
        BTreeMap._fromsortedlists([1, "a"], [1, 2])
    assert list(BTreeMap._fromsortedlists([], []).items()) == []


def test_pickles_of_the_pair_form_still_load(BTreeMap):
    m = BTreeMap((i, str(i)) for i in range(500))
    assert m.__reduce__()[0] == type(m)._fromsortedlists
    assert BTreeMap.fromsorted(list(m.items())) == m


def test_pairs_of_a_list_read_in_place_with_python_code_between(BTreeMap):
    items = [(i, i) for i in range(10)]

    class Shrinking:
        def __iter__(self):
            del items[5:]
            return iter((100, "x"))

    items.insert(3, Shrinking())
    m = BTreeMap(items)
    assert list(m.items()) == [(0, 0), (1, 1), (2, 2), (3, 3), (100, "x")]


# Run in a fresh interpreter: the allocator's state decides where freed
# memory goes. Freeing a large block first makes glibc keep later blocks of
# up to that size in the heap, where the scratch of a build would stay.
SCRATCH_PROBE = """
import ctypes, random, sys
import btreemap
class Info(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
libc = ctypes.CDLL(None)
libc.mallinfo2.restype = Info
bytearray(32 << 20)
values = random.Random(5).sample(range(10**12), 400_000)
source = iter(values) if sys.argv[2] == "iterator" else (v for v in values)
free = libc.mallinfo2().fordblks
made = {"BTreeList": lambda: btreemap.BTreeList(source),
        "BTreeSet": lambda: btreemap.BTreeSet(source),
        "BTreeMap": lambda: btreemap.BTreeMap.fromkeys(source)}[sys.argv[1]]()
grown = libc.mallinfo2().fordblks - free
assert list(made) == sorted(values)
print(grown)
"""


@pytest.mark.skipif(not hasattr(__import__("ctypes").CDLL(None), "mallinfo2"), reason="reads glibc's heap statistics")
@pytest.mark.parametrize("source", ["iterator", "generator"])
@pytest.mark.parametrize("name", ["BTreeList", "BTreeSet", "BTreeMap"])
def test_a_large_build_leaves_no_scratch_in_the_heap(name, source):
    """The gathered elements and the sort's buffers (about 48 bytes an
    element) are returned to the system, not kept as free heap; a generator,
    with no length to go by, grows them as it goes."""
    run = subprocess.run([sys.executable, "-c", SCRATCH_PROBE, name, source], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) < 2 << 20
