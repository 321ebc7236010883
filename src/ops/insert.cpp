#include "ops/write.h"

namespace {

struct InsertAction {
    static constexpr const char *depth_message = nullptr;
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
    return btree_write(tree, key, action, mode);
}
