#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// The descent of a lookup, recording the path: 1 with `*value` (borrowed)
// and `*depth`, 0 when the key is absent, -1 with an exception.
template <BTreeProbe Probe>
int search_descend(BTreeCore *tree, Probe &probe, Py_ssize_t *depth, PyObject **value)
{
    BTreeNode *node = tree->root;
    Py_ssize_t d = 0;
    for (;;) {
        if (btree_path_reserve(tree, d + 1) < 0)
            return -1;
        tree->path[d] = node;
        if (node->is_leaf)
            break;
        int i = btree_child_index(node, probe);
        if (i < 0)
            return -1;
        tree->path_at[d++] = i;
        node = node->inner.children[i];
    }
    int found = 0;
    int i = btree_leaf_index(node, probe, &found);
    if (i < 0 || !found)
        return i < 0 ? -1 : 0;
    tree->path_at[d] = i;
    *depth = d + 1;
    *value = node->leaf.values[i];
    return 1;
}

// The lookup, inlined into both of its entries.
[[gnu::always_inline]] inline int lookup(BTreeCore *tree, PyObject *key, PyObject **value)
{
    BTreeEntry entry(tree, key);
    if (!entry)
        return -1;
    if (!tree->root)
        return 0;
    Py_ssize_t depth = 0;
    PyObject *found = nullptr;
    int rc = entry.with_key<BTreeAccess::Read>(
        key, [&](auto &probe) { return search_descend(tree, probe, &depth, &found); });
    if (rc <= 0) {
        // The path buffer stays; only the cache is emptied.
        btree_cache_drop(tree, entry.pending);
        return rc;
    }
    // The value is taken before the old cached key is released, which may
    // run a finaliser.
    *value = Py_NewRef(found);
    btree_cache_fill(tree, key, depth, entry.pending);
    return 1;
}

}  // namespace

int btree_lookup(BTreeCore *tree, PyObject *key, PyObject **value)
{
    return lookup(tree, key, value);
}

PyObject *btree_search_item(BTreeCore *tree, PyObject *key)
{
    PyObject *value = nullptr;
    int rc = lookup(tree, key, &value);
    if (rc == 0)
        btree_set_key_error(key);
    return value;
}
