"""The pools of recycled nodes, and allocation failures (test build only).

The pools are process-wide: tests measure them relative to what they set up.
"""

import gc

import pytest

from helpers import (
    ASCENDING_FULL_LAST,
    ASCENDING_LEAF,
    MAX_CHILDREN,
    MAX_KEYS,
    POOL_MAX,
    Key,
    built,
    drain_leaf_pool,
    drain_pools,
    leaf_sizes,
    needs_path_cache,
    node_table,
    references,
    tree_of,
)


def internal_nodes(node):
    if node["leaf"]:
        return 0
    return 1 + sum(internal_nodes(child) for child in node["children"])


@pytest.fixture(autouse=True)
def no_collection():
    """Trees left in cycles by earlier tests must not reach the pools while a
    test counts them."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.fixture
def fail_after(bt):
    yield bt.fail_after
    bt.fail_after(-1)


def test_freed_leaves_fill_the_pool_up_to_its_cap(bt, dump):
    # Ascending keys leave leaves of ASCENDING_LEAF items: more of them than
    # the pool holds.
    big = tree_of(bt.BTree, range((POOL_MAX + 76) * ASCENDING_LEAF), value=lambda key: None)
    root = dump(big)["root"]
    leaves, internals = len(leaf_sizes(root)), internal_nodes(root)
    assert leaves > POOL_MAX
    # Building took every recycled leaf before asking the allocator.
    assert bt.pool_counts()[0] == 0
    internal_pool = bt.pool_counts()[1]
    del big, root
    assert bt.pool_counts() == (POOL_MAX, min(POOL_MAX, internal_pool + internals))

    # A tree built next takes its nodes from the pools and allocates none.
    allocations = bt.alloc_count()
    small = tree_of(bt.BTree, range(300 * ASCENDING_LEAF))
    root = dump(small)["root"]
    assert bt.alloc_count() == allocations
    assert bt.pool_counts()[0] == POOL_MAX - len(leaf_sizes(root))
    assert bt.pool_counts()[1] == min(POOL_MAX, internal_pool + internals) - internal_nodes(root)


def test_pools_never_exceed_their_cap(bt):
    trees = [tree_of(bt.BTree, range(k * 20_000, k * 20_000 + 20_000)) for k in range(5)]
    del trees
    leaves, internals = bt.pool_counts()
    assert leaves == POOL_MAX and internals <= POOL_MAX


def test_deletion_hands_merged_nodes_to_the_allocator(bt, dump, check):
    tree = tree_of(bt.BTree, range(20_000))
    before = bt.pool_counts()
    for key in range(0, 20_000, 2):
        tree.delete(key)
    check(tree)
    for key in range(1, 19_999, 2):
        tree.delete(key)
    assert len(tree) == 1 and dump(tree)["root"]["leaf"]
    assert bt.pool_counts() == before


@needs_path_cache
def test_failed_path_allocation_in_search(bt, dump, fail_after):
    tree = bt.BTree()
    tree.insert(1, "one")
    fail_after(0)
    with pytest.raises(MemoryError):
        tree.search(1)
    state = dump(tree)
    assert (state["cache_key"], state["path_len"], state["path_cap"], state["busy"]) == (None, 0, 0, 0)
    assert tree.search(1) == "one"
    assert dump(tree)["path_cap"] == 8


def test_pop_by_index_allocates_nothing_of_its_own(bt, dump, test_capi, fail_after, check):
    """Its path lives on the stack and merges free nodes: with every allocation
    of the module failing, a pop still succeeds."""
    tree = tree_of(bt.BTree, range(1000))
    fail_after(0)
    assert test_capi.pop_item_by_index(tree, 10) == (10, 10)
    fail_after(-1)
    state = dump(tree)
    assert (state["cache_key"], state["path_len"], state["cache_version"]) == (None, 0, 0)
    assert len(tree) == 999 and 10 not in list(tree.keys())
    check(tree)


def test_failed_first_leaf(bt, dump, fail_after, check):
    holder = drain_leaf_pool()
    tree = bt.BTree()
    fail_after(0)
    with pytest.raises(MemoryError):
        tree.insert(1.5)
    state = dump(tree)
    assert (state["root"], state["size"], state["key_kind"], state["busy"]) == (None, 0, -1, 0)
    check(tree)
    tree.insert(1.5)
    assert list(tree.items()) == [(1.5, None)]
    del holder


# Trees whose next larger key needs a new node: a full root leaf, a full last
# leaf under a root, and a full root over full leaves.
SHAPES = node_table(lambda: {"full root leaf": MAX_KEYS, "full last leaf": ASCENDING_FULL_LAST,
                             "full internal root": ASCENDING_LEAF * MAX_CHILDREN})


@pytest.mark.parametrize("size", SHAPES.values(), ids=SHAPES.keys())
@pytest.mark.parametrize("fail_at", range(4))
def test_failed_node_allocation_in_insert(bt, dump, fail_after, check, size, fail_at):
    holder = drain_leaf_pool()
    tree = tree_of(bt.BTree, range(size))
    iterator = tree.keys()
    version = dump(tree)["version"]
    fail_after(fail_at)
    try:
        tree.insert(size)
        inserted = True
    except MemoryError:
        inserted = False
    fail_after(-1)
    assert dump(tree)["busy"] == 0
    check(tree)
    assert list(tree.keys()) == list(range(size + inserted))
    if dump(tree)["version"] != version:
        with pytest.raises(RuntimeError, match="mutated"):
            next(iterator)
    else:
        assert list(iterator) == list(range(size))
    tree.insert(size)
    assert len(tree) == size + 1
    del holder


@pytest.mark.parametrize("count", node_table(lambda: [300, MAX_KEYS * MAX_CHILDREN + 1]))
def test_failed_build_hands_back_the_untouched_slots(bt, test_capi, fail_after, count):
    keys = [Key(v) for v in range(count)]
    values = [object() for _ in range(count)]
    before = references(keys + values)
    holders = drain_pools()
    start = bt.alloc_count()
    built(test_capi, keys, values)
    needed = bt.alloc_count() - start
    # Every allocation of a small build fails in turn; of a large one, the
    # first ones, a leaf, and those of the upper levels.
    for fail_at in range(needed) if needed < 20 else [0, 1, 2, needed // 2, *range(needed - 6, needed)]:
        # Nodes come from the allocator, not from the pools.
        holders = None
        holders = drain_pools()
        fail_after(fail_at)
        with pytest.raises(MemoryError) as info:
            test_capi.build_from_sorted_pairs(keys, values)
        fail_after(-1)
        # The slots moved into nodes were released with them; the client
        # released the others, which the build left alone.
        taken = info.value.taken_keys
        moved = taken.count(True)
        assert taken == info.value.taken_values == [True] * moved + [False] * (count - moved)
        del info
        after = references(keys + values)
        assert after == before
    del holders
