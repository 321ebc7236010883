#include "nodes/ref.h"
#include "nodes/span.h"
#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

PyObject *index_error()
{
    PyErr_SetString(PyExc_IndexError, "index out of range");
    return nullptr;
}

// Position in 0..size-1 after counting negative positions from the end, or -1.
Py_ssize_t normalise(const BTreeCore *tree, Py_ssize_t index)
{
    if (index < 0)
        index += tree->size;
    return index < 0 || index >= tree->size ? -1 : index;
}

// The leaf and slot of the item at `index` (within the tree's size), the
// nodes passed stored in the tree's path buffer and `*depth` their count; NULL
// with MemoryError.
BTreeNode *recorded_walk(BTreeCore *tree, Py_ssize_t index, int *slot, Py_ssize_t *depth)
{
    return btree_leaf_at(tree->root, tree->size, index, slot, [&](Py_ssize_t d, BTreeNode *node, int at) {
        if (btree_path_reserve(tree, d + 1) < 0)
            return -1;
        tree->path[d] = node;
        tree->path_at[d] = at;
        *depth = d + 1;
        return 0;
    });
}

}  // namespace

PyObject *btree_item_at(BTreeCore *tree, Py_ssize_t index, BTreeItemKind kind)
{
    if (!BTreeEntry(tree, BTreeEnter::Look))
        return nullptr;
    if ((index = normalise(tree, index)) < 0)
        return index_error();
    int slot = 0;
    BTreeNode *leaf = btree_leaf_at(tree, index, &slot);
    return btree_slot_item(leaf, slot, kind);
}

PyObject *btree_slot_item(const BTreeNode *leaf, int slot, BTreeItemKind kind)
{
    PyObject *key = leaf->keys[slot], *value = leaf->leaf.values[slot];
    if (kind == BTreeItemKind::Keys)
        return Py_NewRef(key);
    if (kind == BTreeItemKind::Values)
        return Py_NewRef(value);
    // The tuple's allocation may run a finaliser that changes the tree: the
    // key and value are held first.
    BTreeRef held_key = BTreeRef::share(key), held_value = BTreeRef::share(value);
    PyObject *item = PyTuple_New(2);
    if (!item)
        return nullptr;
    PyTuple_SET_ITEM(item, 0, held_key.release());
    PyTuple_SET_ITEM(item, 1, held_value.release());
    return item;
}

PyObject *btree_pop_item_at(BTreeCore *tree, Py_ssize_t index)
{
    if (!BTreeEntry(tree, BTreeEnter::Look))
        return nullptr;
    if (normalise(tree, index) < 0)
        return index_error();
    // The result is made before anything else, so that failing to make it
    // loses nothing. That allocation, and letting go of the key cached by the
    // last lookup, may run finalisers that change the tree: the position is
    // looked at again once the guard is held.
    BTreeRef result(PyTuple_New(2));
    if (!result)
        return nullptr;
    {
        BTreeReleaseList cached;
        btree_cache_drop(tree, cached);
    }
    BTreeEntry entry(tree, nullptr);
    if (!entry)
        return nullptr;
    if ((index = normalise(tree, index)) < 0)
        return index_error();
    int slot = 0;
    Py_ssize_t depth = 0;
    BTreeNode *leaf = recorded_walk(tree, index, &slot, &depth);
    if (!leaf) {
        btree_cache_drop(tree, entry.pending);
        return nullptr;
    }
    BTreeRef key = BTreeRef::share(leaf->keys[slot]);
    BTreeRef value = BTreeRef::share(leaf->leaf.values[slot]);
    // Prime the cache so that the deletion walks this path with no comparison
    // above the leaf.
    btree_cache_fill(tree, key.get(), depth, entry.pending);
    if (btree_remove_key(entry, tree, key.get()) < 0)
        return nullptr;
    PyTuple_SET_ITEM(result.get(), 0, key.release());
    PyTuple_SET_ITEM(result.get(), 1, value.release());
    return result.release();
}
