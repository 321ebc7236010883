#include "ops/depth.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// Items below the children left of child `i`, of `size` below `node`,
// summed from whichever side of it has fewer children.
Py_ssize_t btree_size_left_of(const BTreeNode *node, Py_ssize_t size, int i)
{
    Py_ssize_t total = 0;
    if (i <= node->n / 2) {
        for (int j = 0; j < i; j++)
            total += node->inner.sizes[j];
        return total;
    }
    for (int j = i; j <= node->n; j++)
        total += node->inner.sizes[j];
    return size - total;
}

// Adds the number of keys below `node` (which holds `size` items) that are
// less than the key (or not greater, with `or_equal`) to `*count`, and without
// `or_equal` sets `*found` when the key is there: one search per level plus
// the sizes of the children left of the path; no leaf is walked.
template <bool Report, BTreeProbe Probe>
int btree_count_lt(BTreeNode *node, Py_ssize_t size, Probe &probe, Py_ssize_t *count, bool or_equal, int *found)
{
    BTreeDepthGuard depth(" in btree_count_lt");
    if (depth.enter() < 0)
        return -1;
    if (node->is_leaf) {
        // Whether the key is there is worked out only when it is asked for.
        int unused = 0;
        int i = or_equal ? btree_bound<BTreeBound::Upper, true>(node, probe, nullptr)
                         : btree_bound<BTreeBound::Lower, true>(node, probe, Report ? found : &unused);
        if (i < 0)
            return -1;
        *count += i;
        return 0;
    }
    // Keys equal to a separator lie to its right, whatever `or_equal` is.
    int i = btree_child_index(node, probe);
    if (i < 0)
        return -1;
    // The child's memory is on its way while the sizes are summed.
    BTreeNode *child = node->inner.children[i];
    __builtin_prefetch(child);
    __builtin_prefetch(child->inner.prims);
    __builtin_prefetch(child->leaf.prims + BTREE_MAX_KEYS / 2);
    *count += btree_size_left_of(node, size, i);
    return btree_count_lt<Report>(child, node->inner.sizes[i], probe, count, or_equal, found);
}

}  // namespace

Py_ssize_t btree_rank(BTreeCore *tree, PyObject *key, bool or_equal, bool *present)
{
    BTreeEntry entry(tree, key);
    if (!entry)
        return -1;
    int found = 0;
    if (present)
        *present = false;
    if (!tree->root)
        return 0;
    Py_ssize_t count = 0;
    int rc = entry.with_key<BTreeAccess::Read>(key, [&](auto &probe) {
        return present ? btree_count_lt<true>(tree->root, tree->size, probe, &count, or_equal, &found)
                       : btree_count_lt<false>(tree->root, tree->size, probe, &count, or_equal, nullptr);
    });
    if (present)
        *present = found;
    return rc < 0 ? -1 : count;
}
