"""Structural copy and counter-style increment, reached through the C API
client; BTreeMap's copies, deep copies and pickles."""

import copy as copying
import pickle
import random
from collections import Counter

import pytest

from helpers import MAX_KEYS, check_tree, leaf_sizes, references, separators, tree_of

NONE, OBJECT, INT64 = -1, 0, 1
REENTRANT = "BTree reentrant access during comparison"


@pytest.mark.parametrize("count", [0, 100, 20_000])
def test_copy_shares_the_items_and_repeats_the_structure(bt, test_capi, dump, check, count):
    # Keys and values of their own, whose references can be counted.
    keys = [10**20 + v for v in random.Random(count).sample(range(10**6), count)]
    values = [object() for _ in keys]
    tree = bt.BTree()
    for key, value in zip(keys, values):
        tree.insert(key, value)
    if keys:
        tree.search(keys[3])
    source = dump(tree)
    # A key is held once by its leaf and once more by each separator naming it.
    held = Counter(id(key) for key in separators(source["root"]).values()) if count else Counter()
    del source
    before = references(keys), references(values)
    copies = [test_capi.copy(tree) for _ in range(2)]
    after = references(keys), references(values)
    assert after[0] == [refs + 2 * (1 + held[id(key)]) for refs, key in zip(before[0], keys)]
    assert after[1] == [refs + 2 for refs in before[1]]
    source = dump(tree)
    for copy in copies:
        state = dump(copy)
        fresh = [state[field] for field in ("version", "cache_version", "cache_key", "path_len", "path_cap")]
        assert fresh == [0, 0, None, 0, 0]
        same = ("key_kind", "key_type", "size", "root")
        assert [state[field] for field in same] == [source[field] for field in same]
        check(copy)
        assert all(
            test_capi.get_item_by_index(copy, i) == test_capi.get_item_by_index(tree, i) for i in range(0, count, 37)
        )
    del copies, copy, source, state
    assert (references(keys), references(values)) == before


@pytest.mark.parametrize("changed", ["source", "copy"])
def test_copy_and_source_go_separate_ways(BTree, capi, changed):
    tree = tree_of(BTree, range(0, 30_000, 3), value=str)
    copy = capi.copy(tree)
    target, other = (tree, copy) if changed == "source" else (copy, tree)
    items = list(other.items())
    iterator = other.items()
    next(iterator)
    # Splits, borrows, merges and a replaced value.
    for key in range(1, 3000, 3):
        target.insert(key, "new")
    for key in range(0, 20_000, 6):
        target.delete(key)
    target.insert(3, "replaced")
    assert list(iterator) == items[1:]
    assert list(other.items()) == items
    assert len(target) == len(items) + 1000 - 3334
    check_tree(tree)
    check_tree(copy)


def test_increment_adds_to_the_stored_value(bt, test_capi, dump, check):
    big = 10**20  # results that are objects of their own
    tree = bt.BTree()
    assert test_capi.increment(tree, 5, big, 0) == big
    assert (dump(tree)["key_kind"], dump(tree)["key_type"], len(tree)) == (INT64, int, 1)
    tree.search(5)
    total = test_capi.increment(tree, 5, big, 0)
    assert total == 2 * big and total is tree.search(5)
    assert test_capi.increment(tree, 7, 5, 10) == 15
    state = dump(tree)
    assert (state["version"], state["cache_key"], state["path_len"]) == (3, None, 0)
    assert list(tree.items()) == [(5, 2 * big), (7, 15)]
    check(tree)
    words = bt.BTree()
    assert [test_capi.increment(words, "s", "a", "") for _ in range(3)] == ["a", "aa", "aaa"]


def test_increment_finds_equal_keys_of_other_types(bt, test_capi, dump, check):
    tree = bt.BTree()
    test_capi.increment(tree, True, 1, 0)
    assert test_capi.increment(tree, 1, 1, 0) == 2
    assert [(type(k), v) for k, v in tree.items()] == [(bool, 2)]
    floats = tree_of(bt.BTree, [0.5, 1.0, 1.5], value=lambda key: 10)
    assert test_capi.increment(floats, 1, 1, 0) == 11
    assert dump(floats)["key_kind"] == OBJECT
    assert [(type(k), v) for k, v in floats.items()] == [(float, 10), (float, 11), (float, 10)]
    check(tree)
    check(floats)


def test_increment_splits_a_full_root_first(bt, test_capi, dump, check):
    tree = tree_of(bt.BTree, range(MAX_KEYS))
    assert dump(tree)["root"]["leaf"]
    assert test_capi.increment(tree, 5, 1, 0) == 6
    root = dump(tree)["root"]
    assert not root["leaf"] and sum(leaf_sizes(root)) == MAX_KEYS
    assert list(tree.items()) == [(k, k + (k == 5)) for k in range(MAX_KEYS)]
    check(tree)


@pytest.mark.parametrize("size", [0, 1, 300])
def test_increment_whose_addition_fails_changes_no_item(bt, test_capi, dump, check, size):
    tree = tree_of(bt.BTree, range(size))
    for key in (0, -1):  # present unless the tree is empty, and missing
        with pytest.raises(TypeError):
            test_capi.increment(tree, key, "x", 0)
    assert list(tree.items()) == [(k, k) for k in range(size)]
    state = dump(tree)
    if size == 0:
        assert (state["root"], state["key_kind"], state["key_type"]) == (None, NONE, None)
    check(tree)


def test_addition_runs_with_the_guard_held(BTree, capi):
    tree = tree_of(BTree, range(10))
    seen = []

    class Delta:
        def __radd__(self, other):
            try:
                tree.search(3)
            except RuntimeError as error:
                seen.append(str(error))
            return other + 1

    assert capi.increment(tree, 3, Delta(), 0) == 4
    assert capi.increment(tree, 30, Delta(), 0) == 1
    assert seen == [REENTRANT, REENTRANT]


def test_copy_pickle_and_deepcopy_round_trips(BTreeMap):
    m = BTreeMap((i, [i]) for i in range(1000))
    for other in (m.copy(), copying.copy(m)):
        assert other == m and other is not m and other[5] is m[5]
    deep = copying.deepcopy(m)
    assert deep == m and deep[5] is not m[5]
    loaded = pickle.loads(pickle.dumps(m, protocol=pickle.HIGHEST_PROTOCOL))
    assert list(loaded.items()) == list(m.items())
