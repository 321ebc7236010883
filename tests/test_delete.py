"""Deletion: rebalancing shapes, separators and the cached path."""

import gc
import random
import weakref

import pytest

from helpers import MAX_KEYS, MIN_KEYS, Key, leaf_sizes, tree_of


def test_delete_from_an_empty_tree(BTree):
    tree = BTree()
    with pytest.raises(KeyError) as info:
        tree.delete((1, 2))
    assert info.value.args == ((1, 2),) and len(tree) == 0


def test_delete_missing_key_keeps_everything(BTree):
    tree = tree_of(BTree, range(0, 3000, 3))
    with pytest.raises(KeyError) as info:
        tree.delete(4)
    assert info.value.args == (4,)
    assert list(tree.keys()) == list(range(0, 3000, 3))


def test_two_minimal_leaves_merge_and_the_root_collapses(bt, dump, check):
    tree = tree_of(bt.BTree, range(MAX_KEYS + 1))
    tree.delete(0)
    tree.delete(MAX_KEYS)
    root = dump(tree)["root"]
    assert leaf_sizes(root) == [MIN_KEYS, MIN_KEYS] and root["n"] == 1
    tree.delete(70)
    root = dump(tree)["root"]
    assert root["leaf"] and root["n"] == 2 * MIN_KEYS - 1
    assert root["keys"] == [k for k in range(1, MAX_KEYS) if k != 70]
    check(tree)


def test_deleting_the_last_item_resets_the_tree(bt, dump, check):
    tree = tree_of(bt.BTree, [2.5])
    tree.delete(2.5)
    state = dump(tree)
    assert (state["root"], state["size"], state["key_kind"], state["key_type"]) == (None, 0, -1, None)
    check(tree)


def test_separator_naming_a_deleted_key_lets_it_go(bt, dump, check):
    tree = tree_of(bt.BTree, [Key(v) for v in range(300)])
    separator = dump(tree)["root"]["keys"][1]
    ref, value = weakref.ref(separator), separator.value
    del separator
    tree.delete(Key(value))
    gc.collect()
    assert ref() is None
    check(tree)
    assert [k.value for k in tree.keys()] == [v for v in range(300) if v != value]


def test_deleting_the_smallest_key_changes_no_separator(bt, dump):
    tree = tree_of(bt.BTree, range(1000))
    separators = dump(tree)["root"]["keys"]
    tree.delete(0)
    assert dump(tree)["root"]["keys"] == separators


def test_int_tree_deletes_an_equal_float(bt, dump, check):
    tree = tree_of(bt.BTree, range(500))
    tree.delete(1.0)
    tree.delete(False)
    assert dump(tree)["key_kind"] == 1
    assert list(tree.keys()) == list(range(2, 500))
    check(tree)


def test_cached_path_and_fresh_descent_leave_the_same_tree(bt, dump, check):
    # Keys above 256 are distinct objects when rebuilt from their digits.
    keys = random.Random(2).sample(range(1000, 100_000), 6000)
    by_cache, by_descent = tree_of(bt.BTree, keys), tree_of(bt.BTree, keys)
    for key in random.Random(3).sample(keys, 5000):
        stored = by_cache.search(key)
        by_cache.delete(stored)
        by_descent.delete(int(str(key)))
        state = dump(by_cache)
        assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)
    assert dump(by_cache)["root"] == dump(by_descent)["root"]
    check(by_cache)
    check(by_descent)


def test_rebalancing_through_every_level(bt, dump, check):
    keys = list(range(20_000))
    tree = tree_of(bt.BTree, keys)
    assert not dump(tree)["root"]["children"][0]["leaf"]
    order = random.Random(4).sample(keys, len(keys))
    for done, key in enumerate(order, 1):
        tree.delete(key)
        if done % 2500 == 0:
            check(tree)
            assert list(tree.keys()) == sorted(order[done:])
    assert dump(tree)["root"] is None
