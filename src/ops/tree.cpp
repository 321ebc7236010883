// The whole-tree operations: clearing, adopting a built tree, copying,
// counting nodes, the garbage collector's clear, the release at deallocation
// and the return to the empty state.
#include "nodes/copy.h"
#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"

int btree_clear(BTreeCore *tree)
{
    BTreeNode *root;
    {
        BTreeEntry entry(BTreeAccess::Write, tree);
        if (!entry)
            return -1;
        BTreeChange change(tree, entry.pending);
        root = btree_detach(tree);
        change.mark();
    }
    // The items are let go once the tree is empty and its guard free, so
    // that their finalisers may use it.
    btree_node_free(root);
    return 0;
}

namespace {

// Moves the built tree's nodes into `tree`, whose own are returned.
BTreeNode *take_built(BTreeCore *tree, BTreeCore *built, BTreeChange &change)
{
    BTREE_ASSERT(built->keys_only == tree->keys_only && built->equal_keys == tree->equal_keys &&
                 built->pair_values == tree->pair_values);
    change.mark();
    BTreeKeyKind kind = built->key_kind;
    PyTypeObject *type = built->key_type;
    Py_ssize_t size = built->size;
    int height = built->height;
    BTreeNode *old = btree_detach(tree);
    tree->key_type = type;
    tree->key_kind = kind;
    btree_set_size(tree, size);
    tree->height = height;
    tree->root = btree_detach(built);
    return old;
}

}  // namespace

int btree_adopt(BTreeCore *tree, BTreeCore *built)
{
    BTreeEntry entry(BTreeAccess::Write, tree);
    if (!entry)
        return -1;
    if (tree->root)
        return 1;
    BTreeChange change(tree, entry.pending);
    take_built(tree, built, change);
    return 0;
}

int btree_replace(BTreeCore *tree, BTreeCore *built, uint64_t version)
{
    BTreeNode *old;
    {
        BTreeEntry entry(BTreeAccess::Write, tree);
        if (!entry)
            return -1;
        if (tree->version != version)
            return 1;
        BTreeChange change(tree, entry.pending);
        old = take_built(tree, built, change);
    }
    btree_node_free(old);
    return 0;
}

int btree_copy(BTreeCore *dst, BTreeCore *src)
{
    BTREE_ASSERT(dst->keys_only == src->keys_only && dst->equal_keys == src->equal_keys &&
                 dst->pair_values == src->pair_values);
    BTreeLook look(src);
    return look ? btree_copy_into(dst, src) : -1;
}

size_t btree_tree_bytes(const BTreeCore *tree)
{
    return tree->root ? btree_subtree_bytes(tree->root) : 0;
}

void btree_clear_refs(BTreeCore *tree)
{
    BTreeReleaseList pending;
    BTreeChange change(tree, pending);
    BTreeNode *root = btree_detach(tree);
    btree_guard_reset(tree);
    // Moving `version` on keeps an iterator that survives the collection from
    // stepping into the released nodes.
    change.mark();
    btree_node_free(root);
}

void btree_finalize(BTreeCore *tree)
{
    btree_node_free(btree_detach(tree));
    BTreeReleaseList pending;
    btree_cache_drop(tree, pending);
    pending.flush();
    btree_mem_free(tree->path);
    btree_mem_free(tree->path_at);
    tree->path = nullptr;
    tree->path_at = nullptr;
    tree->path_cap = 0;
#ifdef Py_GIL_DISABLED
    btree_lock_finalize(tree);
#else
    if (tree->wake) {
        // Nobody waits on a tree that is being deallocated.
        if (!tree->signalled)
            PyThread_release_lock(tree->wake);
        PyThread_free_lock(tree->wake);
        tree->wake = nullptr;
    }
#endif
}

void btree_reset_empty(BTreeCore *tree)
{
    btree_node_free(btree_detach(tree));
}

void btree_set_key_error(PyObject *key)
{
    PyObject *args = PyTuple_Pack(1, key);
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
}
