#include "nodes/slots.h"
#include "ops/write.h"

int btree_insert_at(BTreeCore *tree, BTreePath &path, PyObject *key, BTreePrim prim, PyObject *value,
                    BTreeChange &change, BTreeReleaseList &pending)
{
    if (path.leaf()->n == BTREE_MAX_KEYS && btree_split_path(tree, path, change) < 0) {
        pending.add(value);
        return -1;
    }
    BTreeNode *leaf = path.leaf();
    int slot = path.slot(), n = leaf->n;
    btree_shift_right(leaf->keys, slot, n);
    btree_shift_right(leaf->leaf.values, slot, n);
    if (btree_kind_keeps_prims(tree->key_kind)) {
        btree_shift_right(leaf->leaf.prims, slot, n);
        leaf->leaf.prims[slot] = prim;
    }
    leaf->keys[slot] = Py_NewRef(key);
    leaf->leaf.values[slot] = value;
    leaf->n = n + 1;
    for (int d = 0; d < path.depth; d++)
        path.nodes[d]->inner.sizes[path.at[d]]++;
    tree->size++;
    change.mark();
    return 0;
}

namespace {

struct InsertAction {
    PyObject *value;
    PyObject *replaced = nullptr;

    // The stored key object stays; the new value is in place before the old
    // one can be released.
    int found(BTreeNode *leaf, int slot)
    {
        replaced = leaf->leaf.values[slot];
        leaf->leaf.values[slot] = Py_NewRef(value);
        return btree_stored;
    }

    PyObject *missing() { return Py_NewRef(value); }
};

}  // namespace

int btree_insert_item(BTreeCore *tree, PyObject *key, PyObject *value, BTreeWrite mode)
{
    InsertAction action{value};
    return btree_write(tree, key, action, nullptr, mode);
}
