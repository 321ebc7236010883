"""Helpers shared by the suites: watched key objects, tree builders and the
invariant check of the test build."""

import _btree_test

TEST_CAPSULE = "_btree_test._C_API"
MAX_KEYS = 127
MIN_KEYS = 63
POOL_MAX = 1024


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


def leaf_sizes(node):
    """Item counts of the leaves of a dumped node, left to right."""
    if node["leaf"]:
        return [node["n"]]
    return [size for child in node["children"] for size in leaf_sizes(child)]


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
