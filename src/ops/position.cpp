#include "nodes/ref.h"
#include "nodes/span.h"
#include "ops/cache.h"
#include "ops/path.h"
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

}  // namespace

PyObject *btree_item_at(BTreeCore *tree, Py_ssize_t index, BTreeItemKind kind)
{
    BTreeLook look(tree);
    if (!look)
        return nullptr;
    if ((index = normalise(tree, index)) < 0)
        return index_error();
    int slot = 0;
    BTreeNode *leaf = btree_leaf_at(tree, index, &slot);
    return btree_slot_item(leaf, slot, kind);
}

PyObject *btree_slot_item(const BTreeNode *leaf, int slot, BTreeItemKind kind)
{
    PyObject *key = leaf->keys[slot];
    if (kind == BTreeItemKind::Keys)
        return Py_NewRef(key);
    // A leaf without values holds elements: an element is its own value.
    PyObject *value = leaf->keys_only ? key : leaf->leaf.values[slot];
    if (kind == BTreeItemKind::Values)
        return Py_NewRef(value);
    if (kind != BTreeItemKind::Items)
        return Py_NewRef(PyTuple_GET_ITEM(value, kind == BTreeItemKind::PairKeys ? 0 : 1));
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

PyObject *btree_pop_item_at(BTreeCore *tree, Py_ssize_t index, BTreeItemKind kind)
{
    Py_ssize_t size = btree_looked_size(tree);
    if (size < 0)
        return nullptr;
    if (index < -size || index >= size)
        return index_error();
    // The result is made before anything else, so that failing to make it
    // loses nothing. That allocation may run finalisers that change the tree:
    // the position is looked at again once the guard is held.
    BTreeRef result(kind == BTreeItemKind::Items ? PyTuple_New(2) : nullptr);
    if (kind == BTreeItemKind::Items && !result)
        return nullptr;
    BTreeEntry entry(BTreeAccess::Write, tree, nullptr);
    if (!entry)
        return nullptr;
    if ((index = normalise(tree, index)) < 0)
        return index_error();
    BTreeLocalPath path;
    btree_descend_at(tree, index, path);
    BTreeChange change(tree, entry.pending);
    PyObject *key = Py_NewRef(path.leaf()->keys[path.slot()]);
    PyObject *value = nullptr;
    btree_remove_at(tree, path, change, entry.pending, &value);
    if (kind != BTreeItemKind::Items) {
        entry.pending.add(kind == BTreeItemKind::Keys ? value : key);
        return kind == BTreeItemKind::Keys ? key : value;
    }
    PyTuple_SET_ITEM(result.get(), 0, key);
    PyTuple_SET_ITEM(result.get(), 1, value);
    return result.release();
}
