#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// The descent of a lookup, recording the path. Returns the value (new
// reference), or NULL: with KeyError left to the caller when `*miss` is set,
// with an exception otherwise.
template <BTreeProbe Probe>
PyObject *search_descend(BTreeCore *tree, Probe &probe, Py_ssize_t *depth, bool *miss)
{
    BTreeNode *node = tree->root;
    Py_ssize_t d = 0;
    for (;;) {
        if (btree_path_reserve(tree, d + 1) < 0)
            return nullptr;
        tree->path[d] = node;
        if (node->is_leaf)
            break;
        int i = btree_child_index(node, probe);
        if (i < 0)
            return nullptr;
        node = node->inner.children[i];
        d++;
    }
    int found = 0;
    int i = btree_leaf_index(node, probe, &found);
    if (i < 0)
        return nullptr;
    if (!found) {
        *miss = true;
        return nullptr;
    }
    *depth = d + 1;
    return Py_NewRef(node->leaf.values[i]);
}

}  // namespace

PyObject *btree_search_item(BTreeCore *tree, PyObject *key)
{
    BTreeEntry entry(tree, key);
    if (!entry)
        return nullptr;
    bool miss = tree->root == nullptr;
    Py_ssize_t depth = 0;
    PyObject *value = miss ? nullptr : entry.with_key<BTreeAccess::Read>(key, [&](auto &probe) {
        return search_descend(tree, probe, &depth, &miss);
    });
    if (!value) {
        // The path buffer stays; only the cache is emptied.
        btree_cache_drop(tree, entry.pending);
        if (miss)
            btree_set_key_error(key);
        return nullptr;
    }
    btree_cache_fill(tree, key, depth, entry.pending);
    return value;
}
