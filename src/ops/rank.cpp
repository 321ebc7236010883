#include "ops/depth.h"
#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// The rank of the key in the entered tree, with whether it is present.
Py_ssize_t rank_in(BTreeEntry &entry, BTreeCore *tree, PyObject *key, bool or_equal, bool *present)
{
    if (present)
        *present = false;
    if (!tree->root)
        return 0;
    // One search per level, then the counts of the children left of the
    // path; no leaf is walked.
    BTreeDepthGuard depth;
    if (depth.enter(" in btree_count_lt") < 0)
        return -1;
    BTreeLocalPath path;
    int found = 0;
    if (btree_descend_to(entry, tree, key, or_equal, path, &found) < 0)
        return -1;
    if (present)
        *present = found;
    return btree_path_rank(tree, path);
}

}  // namespace

Py_ssize_t btree_rank(BTreeCore *tree, PyObject *key, bool or_equal, bool *present)
{
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
    return rank_in(entry, tree, key, or_equal, present);
}

int btree_run_bounds(BTreeCore *tree, PyObject *key, Py_ssize_t *before, Py_ssize_t *through)
{
    // Both ranks in one entry: no change of another thread comes between.
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
    bool present = false;
    *before = rank_in(entry, tree, key, false, &present);
    if (*before < 0)
        return -1;
    *through = present ? rank_in(entry, tree, key, true, nullptr) : *before;
    return *through < 0 ? -1 : present;
}

int btree_range_positions(BTreeCore *tree, PyObject *min, PyObject *max, bool inclusive_min, bool inclusive_max,
                          Py_ssize_t *start, Py_ssize_t *stop, uint64_t *shape_version)
{
    BTreeEntry entry(BTreeAccess::Read, tree, min, max);
    if (!entry)
        return -1;
    *start = min ? rank_in(entry, tree, min, !inclusive_min, nullptr) : 0;
    if (*start < 0)
        return -1;
    *stop = max ? rank_in(entry, tree, max, inclusive_max, nullptr) : tree->size;
    if (*stop < 0)
        return -1;
    *shape_version = tree->shape_version;
    return 0;
}
