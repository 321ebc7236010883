#include "nodes/ref.h"
#include "ops/write.h"

namespace {

struct IncrementAction {
    // The additions run Python code.
    static constexpr const char *depth_message = " in btree_increment_nonfull";
    PyObject *delta;
    PyObject *start;
    BTreeRef result;
    PyObject *replaced = nullptr;

    int found(BTreeNode *leaf, int slot)
    {
        PyObject *sum = PyNumber_Add(leaf->leaf.values[slot], delta);
        if (!sum)
            return -1;
        replaced = leaf->leaf.values[slot];
        leaf->leaf.values[slot] = sum;
        result = BTreeRef::share(sum);
        return btree_stored;
    }

    PyObject *missing()
    {
        PyObject *sum = PyNumber_Add(start, delta);
        if (sum)
            result = BTreeRef::share(sum);
        return sum;
    }
};

// Keeps a present key's value; stores the default under a missing key.
struct SetDefaultAction {
    static constexpr const char *depth_message = nullptr;
    PyObject *fallback;
    BTreeRef result;
    PyObject *replaced = nullptr;

    int found(BTreeNode *leaf, int slot)
    {
        result = BTreeRef::share(leaf->leaf.values[slot]);
        return btree_kept;
    }

    PyObject *missing()
    {
        result = BTreeRef::share(fallback);
        return Py_NewRef(fallback);
    }
};

}  // namespace

PyObject *btree_increment(BTreeCore *tree, PyObject *key, PyObject *delta, PyObject *start, BTreeWrite mode)
{
    IncrementAction action{delta, start};
    if (btree_write(tree, key, action, mode) < 0)
        return nullptr;
    return action.result.release();
}

PyObject *btree_setdefault(BTreeCore *tree, PyObject *key, PyObject *fallback)
{
    SetDefaultAction action{fallback};
    if (btree_write(tree, key, action, BTreeWrite::KeepShape) < 0)
        return nullptr;
    return action.result.release();
}
