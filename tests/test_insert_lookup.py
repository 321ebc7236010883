"""Insertion with node splits, lookup with its path cache, and clear()."""

import random
import weakref

import pytest

from helpers import (ASCENDING_FULL_LAST, ASCENDING_LEAF, MAX_CHILDREN, MAX_KEYS, MIN_KEYS, PATH_CACHE, Key, check_tree,
                     leaf_sizes, needs_path_cache, node_table, tree_of)


def test_first_insert(bt, dump, check):
    tree = bt.BTree()
    tree.insert("k")
    state = dump(tree)
    assert state["size"] == 1 and state["version"] == 1
    assert state["root"] == {"leaf": True, "n": 1, "subtree_size": 1, "keys": ["k"], "prims": [ord("k") << 56], "values": [None]}
    assert tree.search("k") is None
    check(tree)


def test_search_returns_the_stored_value(BTree):
    value = object()
    tree = tree_of(BTree, range(500), value=lambda key: None)
    tree.insert(250, value)
    assert tree.search(250) is value
    assert tree.search(499) is None


@pytest.mark.parametrize(
    "key, present",
    [(7, range(300, 600)), ("absent", map(str, range(300))), ((1, 2), [(i,) for i in range(300)]), ((), [(1,)])],
)
def test_missing_key_raises_key_error_carrying_it(BTree, key, present):
    for tree in (BTree(), tree_of(BTree, present)):
        with pytest.raises(KeyError) as info:
            tree.search(key)
        assert info.value.args == (key,)


def test_replacing_a_value_keeps_the_first_key_object(bt, dump, check):
    tree = bt.BTree()
    first, equal = (1, 2), (1, 2)
    tree.insert(first, "a")
    tree.insert(equal, "b")
    assert len(tree) == 1 and dump(tree)["version"] == 2
    assert tree.search(first) == "b"
    assert next(tree.keys()) is first
    check(tree)


def test_replaced_value_is_released(BTree):
    class Value:
        pass

    tree = BTree()
    old = Value()
    ref = weakref.ref(old)
    tree.insert(1, old)
    del old
    tree.insert(1, "new")
    assert ref() is None and tree.search(1) == "new"


def test_random_inserts_keep_order(BTree):
    rng = random.Random(5)
    keys = rng.sample(range(-10_000, 10_000), 3000)
    tree = tree_of(BTree, keys, value=str)
    assert list(tree.keys()) == sorted(keys)
    assert list(tree.values()) == [str(k) for k in sorted(keys)]
    assert list(tree.items()) == [(k, str(k)) for k in sorted(keys)]
    assert all(tree.search(k) == str(k) for k in keys)
    check_tree(tree)


def test_root_split_counts_both_halves(bt, dump):
    tree = tree_of(bt.BTree, range(MAX_KEYS + 1))
    assert dump(tree)["root"]["subtree_size"] == MAX_KEYS + 1


# New keys below all, above all and on both sides of the separator the split
# chooses, keys[MIN_KEYS + 1] = 2 * MIN_KEYS + 2.
@pytest.mark.parametrize("newcomer", node_table(lambda: [-1, *range(2 * MIN_KEYS, 2 * MIN_KEYS + 4), 2 * MAX_KEYS]))
def test_key_after_a_full_root_leaf_splits_it(bt, dump, check, newcomer):
    # The full leaf splits before the descent: the MIN_KEYS + 1 smallest keys
    # stay, the MIN_KEYS others move right, and the smallest of those becomes
    # the separator. The new key then goes by the separator; an equal key only
    # replaces a value.
    keys = [Key(2 * v) for v in range(MAX_KEYS)]
    shuffled = keys[:]
    random.Random(newcomer).shuffle(shuffled)
    tree = tree_of(bt.BTree, shuffled)
    assert dump(tree)["root"]["leaf"]
    new = Key(newcomer)
    tree.insert(new, "new")
    root = dump(tree)["root"]
    assert not root["leaf"] and root["n"] == 1
    assert root["keys"][0] is keys[MIN_KEYS + 1]
    left, right = root["children"]
    assert right["keys"][0] is keys[MIN_KEYS + 1]
    expected = sorted(keys + ([] if any(k == new for k in keys) else [new]), key=lambda k: k.value)
    smaller = [k for k in expected if k.value < keys[MIN_KEYS + 1].value]
    assert left["keys"] == smaller and right["keys"] == expected[len(smaller):]
    assert tree.search(new) == "new"
    check(tree)


def test_full_internal_root_splits_into_two_minimal_halves(bt, dump, check):
    # Ascending keys leave every leaf but the last at ASCENDING_LEAF items;
    # that many times MAX_CHILDREN keys fill the root with MAX_KEYS separators
    # over MAX_CHILDREN leaves.
    count = ASCENDING_LEAF * MAX_CHILDREN
    tree = tree_of(bt.BTree, range(count), value=lambda key: None)
    root = dump(tree)["root"]
    assert root["n"] == MAX_KEYS and root["children"][0]["leaf"]
    middle = root["keys"][MIN_KEYS]
    tree.insert(count)
    root = dump(tree)["root"]
    assert root["n"] == 1 and root["keys"] == [middle]
    left, right = root["children"]
    assert (left["n"], right["n"]) == (MIN_KEYS, MIN_KEYS)
    assert (left["subtree_size"], right["subtree_size"]) == (sum(leaf_sizes(left)), sum(leaf_sizes(right)))
    assert left["subtree_size"] + right["subtree_size"] == count + 1
    check(tree)


@needs_path_cache
def test_path_cache_follows_lookups(bt, dump, check):
    tree = bt.BTree()
    with pytest.raises(KeyError):
        tree.search(1)
    assert dump(tree)["path_cap"] == 0  # an empty tree has no path to record
    for key in range(1000):
        tree.insert(key)
    key = 777
    assert tree.search(key) is None
    state = dump(tree)
    assert state["cache_key"] is key
    assert state["path_len"] == 2 and state["path_cap"] == 8
    assert state["cache_version"] == state["version"]
    check(tree)

    with pytest.raises(KeyError):
        tree.search(1000)
    state = dump(tree)
    assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)
    assert state["path_cap"] == 8

    tree.search(5)
    version = state["version"]
    tree.insert(5000)
    state = dump(tree)
    assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)
    assert state["version"] == version + 1
    check(tree)


def test_lookup_does_not_change_the_tree(bt, dump):
    tree = tree_of(bt.BTree, range(1000))
    before = dump(tree)
    for key in (0, 500, 999, -1, 10**30, 3.5):
        try:
            tree.search(key)
        except KeyError:
            pass
    after = dump(tree)
    assert after["version"] == before["version"] and after["root"] == before["root"]


def test_clear(bt, dump, check):
    tree = tree_of(bt.BTree, range(2000))
    tree.search(3)
    iterator = tree.keys()
    version = dump(tree)["version"]
    assert tree.clear() is None
    state = dump(tree)
    assert len(tree) == 0 and state["root"] is None
    assert (state["key_kind"], state["key_type"]) == (-1, None)
    # The path buffer a lookup grew stays (none grows where readers share).
    assert (state["cache_key"], state["path_len"], state["path_cap"]) == (None, 0, 8 if PATH_CACHE else 0)
    assert state["version"] == version + 1
    with pytest.raises(RuntimeError, match="^BTree mutated during iteration$"):
        next(iterator)
    check(tree)
    tree.insert(1.5)
    assert dump(tree)["key_kind"] == 2 and list(tree.items()) == [(1.5, None)]


class Flaky(Key):
    """Keys whose comparisons raise once a countdown runs out."""

    countdown = -1

    def __lt__(self, other):
        if Flaky.countdown == 0:
            raise ArithmeticError("comparison failed")
        Flaky.countdown -= 1
        return self.value < other.value


def insert_failing(tree, key, fail_at):
    Flaky.countdown = fail_at
    try:
        with pytest.raises(ArithmeticError):
            tree.insert(key)
    finally:
        Flaky.countdown = -1


def assert_unchanged(tree, keys, iterator, version_before, dump, check):
    """Every item is still there; an iterator made before the failed insertions
    either refuses to go on (nodes moved) or yields exactly the old items."""
    assert dump(tree)["busy"] == 0
    assert len(tree) == len(keys)
    check(tree)
    assert all(tree.search(key) == key.value for key in keys)
    if dump(tree)["version"] == version_before:
        assert list(iterator) == sorted(key.value for key in keys)
    else:
        with pytest.raises(RuntimeError, match="^BTree mutated during iteration$"):
            next(iterator)


@pytest.mark.parametrize("fail_at", range(8))
def test_comparison_failing_after_a_split(bt, dump, check, fail_at):
    # Ascending keys leave the last leaf full at ASCENDING_FULL_LAST items: a
    # larger key splits it on the way down, and the comparisons after that
    # split may fail.
    keys = [Flaky(v) for v in range(ASCENDING_FULL_LAST)]
    tree = tree_of(bt.BTree, keys, value=lambda key: key.value)
    assert leaf_sizes(dump(tree)["root"]) == [ASCENDING_LEAF, MAX_KEYS]
    iterator, version = tree.values(), dump(tree)["version"]
    insert_failing(tree, Flaky(1000), fail_at)
    assert_unchanged(tree, keys, iterator, version, dump, check)


@pytest.mark.parametrize("fail_at", [0, 2, 5, 8, 11])
def test_comparison_failing_in_a_deep_tree(bt, dump, check, fail_at):
    rng = random.Random(fail_at)
    keys = [Flaky(v) for v in rng.sample(range(100_000), 20_000)]
    tree = tree_of(bt.BTree, keys, value=lambda key: key.value)
    iterator, version = tree.values(), dump(tree)["version"]
    for newcomer in rng.sample(range(100_000, 200_000), 30):
        insert_failing(tree, Flaky(newcomer), fail_at)
    assert_unchanged(tree, keys, iterator, version, dump, check)


class Loose:
    """Keys whose comparisons answer with objects other than True and False."""

    calls = 0

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        Loose.calls += 1
        return Truth(self.value < other.value)

    def __eq__(self, other):
        return Truth(self.value == other.value)

    __hash__ = None


class Truth:
    def __init__(self, flag):
        self.flag = flag

    def __bool__(self):
        return self.flag


def test_comparisons_answering_non_bool_objects(BTree):
    rng = random.Random(3)
    values = rng.sample(range(10_000), 1500)
    tree = tree_of(BTree, [Loose(v) for v in values], value=lambda key: key.value)
    assert [key.value for key in tree.keys()] == sorted(values)
    assert all(tree.search(Loose(v)) == v for v in values[:200])
    with pytest.raises(KeyError):
        tree.search(Loose(-1))
    check_tree(tree)


def test_non_bool_answer_is_asked_again_through_the_generic_protocol(bt):
    Loose.calls = 0
    assert bt.key_cmp(Loose(1), Loose(2)) == (-1, None)
    assert Loose.calls == 2
    Loose.calls = 0
    assert bt.key_cmp(Loose(2), Loose(1)) == (1, None)
    assert Loose.calls == 2
