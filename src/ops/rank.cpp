#include "keys/kind.h"
#include "keys/search.h"
#include "ops/ops.h"

namespace {

// Items below the children left of child `i`, read from whichever side of it
// has fewer children: each child's count sits in another node's header.
Py_ssize_t btree_size_left_of(const BTreeNode *node, int i)
{
    Py_ssize_t total = 0;
    if (i <= node->n / 2) {
        for (int j = 0; j < i; j++)
            total += node->inner.children[j]->subtree_size;
        return total;
    }
    for (int j = i; j <= node->n; j++)
        total += node->inner.children[j]->subtree_size;
    return node->subtree_size - total;
}

// Adds the number of keys below `node` that are less than the key (or not
// greater, with `or_equal`) to `*count`: one search per level plus the sizes
// of the children left of the path; no leaf is walked.
template <class Probe>
int btree_count_lt(BTreeNode *node, Probe &probe, Py_ssize_t *count, int or_equal)
{
    if (Py_EnterRecursiveCall(" in btree_count_lt"))
        return -1;
    int rc = 0;
    if (node->is_leaf) {
        int found = 0;
        int i = or_equal ? btree_bound<BTreeBound::Upper, true>(node, probe, nullptr)
                         : btree_bound<BTreeBound::Lower, true>(node, probe, &found);
        if (i < 0)
            rc = -1;
        else
            *count += i;
    } else {
        // Keys equal to a separator lie to its right, whatever `or_equal` is.
        int i = btree_child_index(node, probe);
        if (i < 0) {
            rc = -1;
        } else {
            // The child's memory is on its way while the sizes are summed.
            BTreeNode *child = node->inner.children[i];
            __builtin_prefetch(child);
            __builtin_prefetch(child->inner.prims);
            __builtin_prefetch(child->leaf.prims + BTREE_MAX_KEYS / 2);
            *count += btree_size_left_of(node, i);
            rc = btree_count_lt(child, probe, count, or_equal);
        }
    }
    Py_LeaveRecursiveCall();
    return rc;
}

}  // namespace

Py_ssize_t btree_rank(BTreeObject *tree, PyObject *key, int or_equal)
{
    if (btree_nan_check(key) < 0 || btree_guard_test(tree) < 0)
        return -1;
    BTreeBusy busy(tree);
    if (!tree->root)
        return 0;
    BTreePrim prim{};
    int mode = btree_search_mode(tree->key_kind, key, &prim);
    if (mode < 0)
        return -1;
    // The per-type shortcut only when every key in the tree has the query's
    // exact type: a type's comparison slot must never see a foreign object.
    int use_fast = btree_use_fast(tree->key_type, key);
    Py_ssize_t count = 0;
    int rc = btree_with_probe(mode, prim, key, use_fast,
                              [&](auto &probe) { return btree_count_lt(tree->root, probe, &count, or_equal); });
    return rc < 0 ? -1 : count;
}
