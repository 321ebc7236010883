#include "btree/iter.h"
#include "ops/ops.h"

namespace {

PyObject *index_error()
{
    PyErr_SetString(PyExc_IndexError, "index out of range");
    return nullptr;
}

// Position in 0..size-1 after counting negative positions from the end, or -1.
Py_ssize_t normalise(const BTreeObject *tree, Py_ssize_t index)
{
    if (index < 0)
        index += tree->size;
    return index < 0 || index >= tree->size ? -1 : index;
}

// Walks down by subtree sizes, with no comparison. With `record`, the nodes
// passed are stored in the tree's path buffer and `*depth` is their count.
// Returns the leaf with `*slot`, or NULL with an exception.
BTreeNode *position_walk(BTreeObject *tree, Py_ssize_t index, bool record, int *slot, Py_ssize_t *depth)
{
    BTreeNode *node = tree->root;
    Py_ssize_t d = 0;
    while (node) {
        if (record) {
            if (btree_path_reserve(tree, d + 1) < 0)
                return nullptr;
            tree->path[d] = node;
        }
        d++;
        if (node->is_leaf)
            break;
        BTreeNode *next = nullptr;
        for (int j = 0; j <= node->n; j++) {
            BTreeNode *child = node->inner.children[j];
            if (index < child->subtree_size) {
                next = child;
                break;
            }
            index -= child->subtree_size;
        }
        node = next;
    }
    if (!node || index >= node->n || !node->keys[index] || !node->leaf.values[index]) {
        index_error();
        return nullptr;
    }
    *slot = static_cast<int>(index);
    *depth = d;
    return node;
}

}  // namespace

PyObject *btree_item_at(BTreeObject *tree, Py_ssize_t index, int kind)
{
    if (btree_guard_test(tree) < 0)
        return nullptr;
    if (!tree->root || (index = normalise(tree, index)) < 0)
        return index_error();
    int slot = 0;
    Py_ssize_t depth = 0;
    BTreeNode *leaf = position_walk(tree, index, false, &slot, &depth);
    if (!leaf)
        return nullptr;
    PyObject *key = leaf->keys[slot], *value = leaf->leaf.values[slot];
    if (kind == BTREE_ITER_KEYS)
        return Py_NewRef(key);
    if (kind == BTREE_ITER_VALUES)
        return Py_NewRef(value);
    // The tuple's allocation may run a finaliser that changes the tree: the
    // key and value are held first.
    Py_INCREF(key);
    Py_INCREF(value);
    PyObject *item = PyTuple_New(2);
    if (!item) {
        Py_DECREF(key);
        Py_DECREF(value);
        return nullptr;
    }
    PyTuple_SET_ITEM(item, 0, key);
    PyTuple_SET_ITEM(item, 1, value);
    return item;
}

PyObject *btree_pop_item_at(BTreeObject *tree, Py_ssize_t index)
{
    if (btree_guard_test(tree) < 0)
        return nullptr;
    if (!tree->root || (index = normalise(tree, index)) < 0)
        return index_error();
    // The result is made before anything else, so that failing to make it
    // loses nothing.
    PyObject *result = PyTuple_New(2);
    if (!result)
        return nullptr;
    // That allocation, and releasing the old cached key, may run a finaliser
    // that changes the tree: the walk starts from what is there afterwards.
    btree_cache_clear(tree);
    if (!tree->root || index >= tree->size) {
        Py_DECREF(result);
        return index_error();
    }
    int slot = 0;
    Py_ssize_t depth = 0;
    BTreeNode *leaf = position_walk(tree, index, true, &slot, &depth);
    if (!leaf) {
        btree_cache_clear(tree);
        Py_DECREF(result);
        return nullptr;
    }
    PyObject *key = Py_NewRef(leaf->keys[slot]);
    PyObject *value = Py_NewRef(leaf->leaf.values[slot]);
    // Prime the cache so that the deletion walks this path with no comparison
    // above the leaf.
    tree->cache_key = Py_NewRef(key);
    tree->path_len = depth;
    tree->cache_version = tree->version;
    if (btree_delete_item(tree, key) < 0) {
        Py_DECREF(result);
        Py_DECREF(key);
        Py_DECREF(value);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, key);
    PyTuple_SET_ITEM(result, 1, value);
    return result;
}
