"""Bulk build from sorted input and the set merges of two trees, reached
through the C API client."""

import pytest

from helpers import MAX_CHILDREN, MAX_KEYS, Key, built, references, shape, tree_of

NONE, OBJECT, INT64, FLOAT64, STR = -1, 0, 1, 2, 3
NAN = float("nan")
MUTATED = "^BTree mutated during iteration$"
MERGES = ["merge_union", "merge_intersection", "merge_difference"]


class FloatSub(float):
    pass


# Item count: leaf item counts as nested lists (see shape), root separators as
# input positions.
SHAPES = [
    (0, None, None),
    (MAX_KEYS, MAX_KEYS, []),
    (MAX_KEYS + 1, [MAX_KEYS, 1], [MAX_KEYS]),
    (300, [MAX_KEYS, MAX_KEYS, 46], [MAX_KEYS, 2 * MAX_KEYS]),
    (MAX_KEYS * MAX_CHILDREN, [MAX_KEYS] * MAX_CHILDREN, list(range(MAX_KEYS, MAX_KEYS * MAX_CHILDREN, MAX_KEYS))),
    # The last internal node has one child and no separator.
    (MAX_KEYS * MAX_CHILDREN + 1, [[MAX_KEYS] * MAX_CHILDREN, [1]], [MAX_KEYS * MAX_CHILDREN]),
]


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
def test_a_nan_key_leaves_every_slot_with_the_caller(test_capi, nan, nan_at):
    keys = [float(i) for i in range(300)]
    keys[nan_at] = nan
    values = [object() for _ in keys]
    before = references(values)
    with pytest.raises(ValueError, match="^NaN keys are not supported$") as info:
        test_capi.build_from_sorted_pairs(keys, values)
    assert not any(info.value.taken_keys) and not any(info.value.taken_values)
    after = references(values)
    assert after == before


def test_count_argument(test_capi):
    keys, values = [Key(v) for v in range(10)], [object() for _ in range(10)]
    before = references(keys + values)
    with pytest.raises(ValueError, match="^n must be >= 0$") as info:
        test_capi.build_from_sorted_pairs(keys, values, -1)
    assert not any(info.value.taken_keys + info.value.taken_values)
    tree, taken_keys, taken_values = test_capi.build_from_sorted_pairs(keys, values, 3)
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
    "more than 256 keys": (list(range(0, 900, 2)), list(range(0, 900, 3)), (INT64, INT64, INT64)),
    "more than 16256 keys": (list(range(0, 40_000, 2)), list(range(0, 40_000, 3)), (INT64, INT64, INT64)),
    "ints against equal floats": ([1, 2, 5], [1.0, 1.5, 5.0, 7.5], (OBJECT, INT64, INT64)),
    "a tree with itself": (list(range(0, 3000, 7)), SAME, (INT64, INT64, NONE)),
    # Strings whose first eight bytes tie: whole strings decide.
    "strings of one prefix": ([f"prefix__{i}" for i in range(0, 900, 2)], [f"prefix__{i}" for i in range(0, 900, 3)],
                              (STR, STR, STR)),
}


@pytest.mark.parametrize("left_keys, right_keys, kinds", MERGE_CASES.values(), ids=MERGE_CASES.keys())
def test_merges_match_set_operations(bt, test_capi, dump, check, left_keys, right_keys, kinds):
    left = tree_of(bt.BTree, left_keys, value=str)
    right = left if right_keys is SAME else tree_of(bt.BTree, right_keys, value=str)
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
        result = getattr(test_capi, merge)(left, right)
        check(result, strict=False)
        keys = list(result.keys())
        assert keys == sorted(expected[merge]) and all(k is objects[k] for k in keys)
        assert set(result.values()) <= {None}
        assert dump(result)["key_kind"] == kind
    if len(left_keys) > 10_000:
        assert len(test_capi.merge_union(left, right)) > MAX_KEYS * MAX_CHILDREN
    assert list(left.keys()) == sorted(set(left_keys)) and list(right.keys()) == sorted(set(right_keys))


def test_keys_that_cannot_be_ordered_fail_the_merge(bt, test_capi):
    left, right = tree_of(bt.BTree, [1, 2]), tree_of(bt.BTree, ["a"])
    for merge in MERGES:
        with pytest.raises(TypeError):
            getattr(test_capi, merge)(left, right)
    assert list(left.items()) == [(1, 1), (2, 2)] and list(right.items()) == [("a", "a")]


@pytest.mark.parametrize("changed", ["left", "right"])
@pytest.mark.parametrize("merge", MERGES)
def test_merge_fails_at_the_first_iteration_error(bt, test_capi, check, key_hook, merge, changed):
    left = tree_of(bt.BTree, [Key(v) for v in range(0, 600, 2)])
    right = tree_of(bt.BTree, [Key(v) for v in range(0, 600, 3)])
    target = left if changed == "left" else right
    changes = []

    def hook(a, b):
        # The merges hold no guard: a comparison may change either tree.
        if not changes:
            changes.append(target)
            target.insert(Key(1000))

    key_hook(hook)
    with pytest.raises(RuntimeError, match=MUTATED):
        getattr(test_capi, merge)(left, right)
    key_hook(None)
    assert changes == [target] and target.search(Key(1000)) is None
    check(target)
