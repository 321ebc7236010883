#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// The size from which a tree's key objects rarely stay cached between
// queries (at 32 bytes an int, beyond a common L2 cache).
constexpr Py_ssize_t BTREE_FRESH_INT_SIZE = Py_ssize_t{1} << 15;

}  // namespace

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
    // In a large tree of exact ints, an equal int made from the primitive the
    // search has just read is returned: the stored key object lies anywhere
    // in memory, and writing its reference count would cost a cache miss
    // that dominates the query. In a small tree the object is likely cached
    // and cheaper than a new int. Bools and int subclasses keep their objects.
    if (tree->key_kind == BTreeKeyKind::Int64 && tree->key_type == &PyLong_Type &&
        btree_size(tree) >= BTREE_FRESH_INT_SIZE) {
        *found_key = PyLong_FromLongLong(path.leaf()->leaf.prims[path.slot()].i);
        return *found_key ? 1 : -1;
    }
    *found_key = Py_NewRef(path.leaf()->keys[path.slot()]);
    return 1;
}
