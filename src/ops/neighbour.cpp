#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"

int btree_neighbour(BTreeCore *tree, PyObject *key, BTreeNeighbour which, PyObject **found_key)
{
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
    if (!tree->root)
        return 0;
    // The place after the keys equal to `key`, or before them; the answer is
    // the item on either side of it, at most one step away.
    bool after_equal = which == BTreeNeighbour::Floor || which == BTreeNeighbour::Higher;
    bool before = which == BTreeNeighbour::Floor || which == BTreeNeighbour::Lower;
    BTreeLocalPath path;
    int found = 0;
    if (btree_descend_to<true>(entry, tree, key, after_equal, path, &found) < 0)
        return -1;
    if (before ? !btree_path_prev(path) : !btree_path_settle(path))
        return 0;
    *found_key = Py_NewRef(path.leaf()->keys[path.slot()]);
    return 1;
}
