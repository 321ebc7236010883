"""The C API capsule, reached from a C client extension."""

import pytest

import btree
from helpers import CAPI_SLOTS, _btree_test, needs_test_build, tree_of

OUT_OF_RANGE = "^index out of range$"

# Entries that check that their tree argument is a tree of their module.
TREE_ENTRIES = {
    "insert": lambda c, t: c.insert(t, 1, 2),
    "delete": lambda c, t: c.delete(t, 1),
    "search": lambda c, t: c.search(t, 1),
    "bisect_left": lambda c, t: c.bisect_left(t, 1),
    "bisect_right": lambda c, t: c.bisect_right(t, 1),
    "irange": lambda c, t: c.irange(t),
    "get_item_by_index": lambda c, t: c.get_item_by_index(t, 0),
    "iter_new": lambda c, t: c.iter_new(t),
    "pop_item_by_index": lambda c, t: c.pop_item_by_index(t, 0),
    "copy": lambda c, t: c.copy(t),
    "increment": lambda c, t: c.increment(t, 1, 1, 0),
}

MERGES = ["merge_union", "merge_intersection", "merge_difference"]


def other_build(mod):
    """The tree type of the other build of the module: a type of its own."""
    return (_btree_test if mod is btree else btree).BTree


def foreign_trees(mod):
    """A tree of the other build of the module, where both are installed."""
    return [] if _btree_test is None else [tree_of(other_build(mod), range(5))]


@needs_test_build
def test_table_is_complete(capi):
    assert capi.slots_filled() == CAPI_SLOTS


@pytest.mark.parametrize("entry", TREE_ENTRIES.values(), ids=TREE_ENTRIES.keys())
def test_entries_refuse_other_objects(capi, entry):
    for wrong in ([1, 2], {1: 2}, None):
        with pytest.raises(TypeError, match="^expected btree.BTree$"):
            entry(capi, wrong)


@needs_test_build
@pytest.mark.parametrize("entry", TREE_ENTRIES.values(), ids=TREE_ENTRIES.keys())
def test_a_tree_of_the_other_build_is_another_type(mod, capi, entry):
    foreign = other_build(mod)()
    foreign.insert(1, 1)
    with pytest.raises(TypeError, match="^expected btree.BTree$"):
        entry(capi, foreign)
    assert list(foreign.items()) == [(1, 1)]


@pytest.mark.parametrize("merge", MERGES)
def test_merges_refuse_other_objects(mod, capi, BTree, merge):
    tree = tree_of(BTree, range(5))
    pairs = [(tree, [1]), ([1], tree), (None, None)]
    for foreign in foreign_trees(mod):
        pairs += [(tree, foreign), (foreign, tree)]
    for left, right in pairs:
        with pytest.raises(TypeError, match="^expected BTree objects$"):
            getattr(capi, merge)(left, right)
    assert list(tree.keys()) == list(range(5))


def test_iter_next_refuses_anything_but_its_iterators(mod, capi, BTree):
    tree = tree_of(BTree, range(5))
    for wrong in (tree, iter([1, 2]), *(foreign.keys() for foreign in foreign_trees(mod)), None):
        with pytest.raises(TypeError):
            capi.iter_next(wrong)
    assert list(tree.keys()) == list(range(5))


def test_insert_search_delete(capi, BTree):
    tree = BTree()
    value = object()
    for key in range(500):
        capi.insert(tree, key, value if key == 250 else key)
    assert len(tree) == 500
    assert capi.search(tree, 250) is value and tree.search(250) is value
    capi.delete(tree, 250)
    assert len(tree) == 499
    for call in (capi.search, capi.delete):
        with pytest.raises(KeyError) as info:
            call(tree, 250)
        assert info.value.args == (250,)
    assert list(tree.keys()) == [k for k in range(500) if k != 250]


def test_nan_keys(capi, BTree):
    for tree in (BTree(), tree_of(BTree, [1.0, 2.0])):
        for call in (
            lambda: capi.insert(tree, float("nan"), 1),
            lambda: capi.search(tree, float("nan")),
            lambda: capi.delete(tree, float("nan")),
            lambda: capi.bisect_left(tree, float("nan")),
            lambda: capi.bisect_right(tree, float("nan")),
            lambda: capi.irange(tree, float("nan")),
            lambda: capi.irange(tree, None, float("nan")),
            lambda: capi.increment(tree, float("nan"), 1, 0),
        ):
            with pytest.raises(ValueError, match="^NaN keys are not supported$"):
                call()


def test_bisect(capi, BTree):
    assert capi.bisect_left(BTree(), 5) == capi.bisect_right(BTree(), 5) == 0
    tree = tree_of(BTree, range(0, 1000, 2))
    assert capi.bisect_left(tree, 10) == 5 and capi.bisect_right(tree, 10) == 6
    assert capi.bisect_left(tree, 11) == capi.bisect_right(tree, 11) == 6
    assert capi.bisect_left(tree, -1) == 0 and capi.bisect_right(tree, 10**6) == 500


def test_irange(capi, BTree):
    assert capi.irange(BTree()) == []
    tree = tree_of(BTree, range(300))
    everything = capi.irange(tree)
    assert everything == list(range(300)) and everything is not capi.irange(tree)
    assert capi.irange(tree, None, None, None) == list(range(300))
    assert capi.irange(tree, 10, 13) == [10, 11, 12, 13]
    assert capi.irange(tree, 10, 13, (False, True)) == [11, 12, 13]
    assert capi.irange(tree, 10, 13, [True, False]) == [10, 11, 12]
    assert capi.irange(tree, 10, 13, "ab") == [10, 11, 12, 13]
    assert capi.irange(tree, 290) == list(range(290, 300))
    with pytest.raises(ValueError, match="^inclusive must be length 2$"):
        capi.irange(tree, 1, 2, (True, True, True))
    with pytest.raises(TypeError, match="^inclusive must be a 2-item sequence$"):
        capi.irange(tree, 1, 2, 5)


def test_get_item_by_index(capi, BTree):
    for index in (0, -1, 5):
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            capi.get_item_by_index(BTree(), index)
    tree = tree_of(BTree, range(0, 3000, 3), value=str)
    assert capi.get_item_by_index(tree, 0, 0) == 0
    assert capi.get_item_by_index(tree, 0, 1) == "0"
    assert capi.get_item_by_index(tree, 0, 2) == (0, "0")
    assert capi.get_item_by_index(tree, 0, 9) == (0, "0")
    assert capi.get_item_by_index(tree, 999, 0) == 2997
    assert capi.get_item_by_index(tree, -1, 0) == 2997
    assert capi.get_item_by_index(tree, -1000, 0) == 0
    assert [capi.get_item_by_index(tree, i, 0) for i in range(1000)] == list(range(0, 3000, 3))
    for index in (1000, -1001, 2**62, -(2**62)):
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            capi.get_item_by_index(tree, index)
    assert len(tree) == 1000


def test_pop_item_by_index(capi, BTree):
    for index in (0, -1):
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            capi.pop_item_by_index(BTree(), index)
    tree = tree_of(BTree, range(1000), value=str)
    assert capi.pop_item_by_index(tree, 0) == (0, "0")
    assert capi.pop_item_by_index(tree, -1) == (999, "999")
    assert capi.pop_item_by_index(tree, 500) == (501, "501")
    for index in (997, -998):
        with pytest.raises(IndexError, match=OUT_OF_RANGE):
            capi.pop_item_by_index(tree, index)
    assert len(tree) == 997
    remaining = [capi.pop_item_by_index(tree, 0)[0] for _ in range(997)]
    assert remaining == [k for k in range(1, 999) if k != 501]
    assert len(tree) == 0 and list(tree.keys()) == []


def test_pop_returns_the_stored_objects_and_resets_an_emptied_tree(bt, test_capi, dump, check):
    key, value = 10**30, object()
    tree = bt.BTree()
    tree.insert(key, value)
    popped = test_capi.pop_item_by_index(tree, 0)
    assert popped[0] is key and popped[1] is value
    state = dump(tree)
    assert (state["root"], state["key_kind"], state["key_type"]) == (None, -1, None)
    tree.insert(1.5)
    assert dump(tree)["key_kind"] == 2
    check(tree)


def test_pop_invalidates_iterators_and_the_path_cache(bt, test_capi, dump, check):
    tree = tree_of(bt.BTree, range(2000))
    iterator = tree.keys()
    next(iterator)
    tree.search(1234)
    version = dump(tree)["version"]
    assert test_capi.pop_item_by_index(tree, 1234) == (1234, 1234)
    state = dump(tree)
    assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)
    assert state["version"] == version + 1
    with pytest.raises(RuntimeError, match="^BTree mutated during iteration$"):
        next(iterator)
    check(tree)
