#include "nodes/ref.h"
#include "ops/descend.h"

namespace {

struct IncrementAction {
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
        return 0;
    }

    PyObject *missing()
    {
        PyObject *sum = PyNumber_Add(start, delta);
        if (sum)
            result = BTreeRef::share(sum);
        return sum;
    }
};

}  // namespace

PyObject *btree_increment(BTreeCore *tree, PyObject *key, PyObject *delta, PyObject *start, BTreeWrite mode)
{
    IncrementAction action{delta, start};
    if (btree_write(tree, key, action, " in btree_increment_nonfull", mode) < 0)
        return nullptr;
    return action.result.release();
}
