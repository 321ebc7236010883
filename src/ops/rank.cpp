#include "ops/depth.h"
#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"

Py_ssize_t btree_rank(BTreeCore *tree, PyObject *key, bool or_equal, bool *present)
{
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
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
