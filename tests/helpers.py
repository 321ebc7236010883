"""Helpers shared by the suites: watched key objects, tree builders and the
invariant check of the test build."""

import sys

import pytest

try:
    import _btree_test
except ImportError:  # only the shipped module is installed: see from_test_build
    _btree_test = None

NO_TEST_BUILD = "needs the test-only modules _btree_test and _btree_client, which `make test-3.13` builds"
TEST_CAPSULE = "_btree_test._C_API"
MAX_KEYS = 127
MAX_CHILDREN = 128
MIN_KEYS = 63
POOL_MAX = 1024


def from_test_build(name):
    """The test-only module `name`. Where a plain `pytest` runs with only the
    shipped module installed, it skips the test that asks, or the whole file
    when called at import."""
    return pytest.importorskip(name, reason=NO_TEST_BUILD)


def check_tree(tree, strict=True):
    _btree_test.check(tree, strict)


class Key:
    """An orderable key object whose comparisons can be watched or sabotaged.

    ``Key.hook``, when set, is called with both operands before every ``<``
    and ``==``; it may raise or call back into a tree.
    """

    hook = None

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        if Key.hook is not None:
            Key.hook(self, other)
        return self.value < other.value

    def __eq__(self, other):
        if Key.hook is not None:
            Key.hook(self, other)
        return isinstance(other, Key) and self.value == other.value

    __hash__ = None

    def __repr__(self):
        return f"Key({self.value!r})"


def tree_of(BTree, keys, value=lambda key: key):
    """A tree holding each key (inserted in the given order) with value(key)."""
    tree = BTree()
    for key in keys:
        tree.insert(key, value(key))
    return tree


def built(client, keys, values=None):
    """A tree made by the capsule's bulk build from sorted keys (values None
    unless given), through the table the client is switched to."""
    keys = list(keys)
    values = [None] * len(keys) if values is None else list(values)
    tree, taken_keys, taken_values = client.build_from_sorted_pairs(keys, values)
    assert all(taken_keys) and all(taken_values)
    return tree


def references(objects):
    """The reference count of each object."""
    return [sys.getrefcount(obj) for obj in objects]


def shape(node):
    """A dumped node as its leaf item counts: an int for a leaf, a list of the
    children's shapes for an internal node."""
    if node["leaf"]:
        return node["n"]
    return [shape(child) for child in node["children"]]


def separators(node, path=()):
    """{(child indices leading to the node, slot): separator} of every internal
    node of a dumped tree (down to the depth it was dumped to)."""
    if node["leaf"]:
        return {}
    found = {(path, slot): key for slot, key in enumerate(node["keys"])}
    for i, child in enumerate(node["children"] or ()):
        found.update(separators(child, path + (i,)))
    return found


def leaf_sizes(node):
    """Item counts of the leaves of a dumped node, left to right."""
    if node["leaf"]:
        return [node["n"]]
    return [size for child in node["children"] for size in leaf_sizes(child)]


def drain_pools(copy=None):
    """Trees that hold every recycled node of both pools, so that the next
    nodes come from the allocator. Keep them alive while that matters.
    `copy`, the client's copy on the test build's table, makes each holder
    in one call instead of 128 insertions."""
    # The 128th key splits the root leaf: two leaves and one internal node.
    seed = tree_of(_btree_test.BTree, range(MAX_KEYS + 1))
    holders = [seed]
    while any(_btree_test.pool_counts()):
        holders.append(copy(seed) if copy else tree_of(_btree_test.BTree, range(MAX_KEYS + 1)))
    return holders


def drain_leaf_pool():
    """A tree that has taken every recycled leaf out of the pool, so that the
    next leaves come from the allocator. Keep it alive while that matters."""
    holder = _btree_test.BTree()
    key = 0
    while _btree_test.pool_counts()[0]:
        for _ in range(MIN_KEYS + 1):
            holder.insert(key)
            key += 1
    return holder
