#include "keys/kind.h"
#include "keys/search.h"
#include "nodes/release.h"
#include "ops/ops.h"

void btree_cache_clear(BTreeObject *tree)
{
    PyObject *old = tree->cache_key;
    tree->cache_key = nullptr;
    tree->path_len = 0;
    tree->cache_version = 0;
    Py_XDECREF(old);
}

void btree_cache_drop(BTreeObject *tree, BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = nullptr;
    tree->path_len = 0;
    tree->cache_version = 0;
}

void btree_mutated(BTreeObject *tree, BTreeReleaseList &pending)
{
    btree_cache_drop(tree, pending);
    tree->version++;
}

int btree_path_reserve(BTreeObject *tree, Py_ssize_t need)
{
    if (tree->path_cap >= need)
        return 0;
    Py_ssize_t cap = tree->path_cap ? tree->path_cap : 8;
    while (cap < need)
        cap *= 2;
    void *grown = btree_mem_realloc(tree->path, static_cast<size_t>(cap) * sizeof(BTreeNode *));
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    tree->path = static_cast<BTreeNode **>(grown);
    tree->path_cap = cap;
    return 0;
}

namespace {

// The descent of a lookup, recording the path. Returns the value (new
// reference), or NULL: with KeyError left to the caller when `*miss` is set,
// with an exception otherwise.
template <class Probe>
PyObject *search_descend(BTreeObject *tree, Probe &probe, Py_ssize_t *depth, bool *miss)
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
        if (!node) {
            *miss = true;
            return nullptr;
        }
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

PyObject *btree_search_item(BTreeObject *tree, PyObject *key)
{
    if (btree_nan_check(key) < 0 || btree_guard_test(tree) < 0)
        return nullptr;
    BTreeBusy busy(tree);
    bool miss = tree->root == nullptr;
    PyObject *value = nullptr;
    Py_ssize_t depth = 0;
    if (!miss) {
        BTreePrim prim;
        int mode = btree_search_mode(tree->key_kind, key, &prim);
        if (mode < 0) {
            btree_cache_clear(tree);
            return nullptr;
        }
        int use_fast = btree_use_fast(tree->key_type, key);
        value = btree_with_probe(mode, prim, key, use_fast,
                                 [&](auto &probe) { return search_descend(tree, probe, &depth, &miss); });
    }
    if (!value) {
        // The path buffer stays; only the cache is emptied.
        btree_cache_clear(tree);
        if (miss)
            btree_set_key_error(key);
        return nullptr;
    }
    PyObject *old = tree->cache_key;
    tree->cache_key = Py_NewRef(key);
    tree->path_len = depth;
    tree->cache_version = tree->version;
    Py_XDECREF(old);
    return value;
}
