#include "nodes/span.h"
#include "ops/path.h"

void btree_descend_at(const BTreeCore *tree, Py_ssize_t index, BTreePath &path)
{
    int slot = 0;
    btree_leaf_at(tree->root, tree->size, index, &slot, [&](Py_ssize_t d, BTreeNode *node, int at) {
        path.nodes[d] = node;
        path.at[d] = at;
        path.depth = static_cast<int>(d);
        return 0;
    });
    path.shape_version = tree->shape_version;
}

namespace {

// Climbs to the nearest node with a child after (or, with `back`, before) the
// one the path took, takes that child and goes down its first (last) side to
// a leaf, with the slot at that leaf's first item (its end). False, and the
// path unchanged, when every node on the path is at its edge.
bool cross_to_leaf(BTreePath &path, bool back)
{
    int d = path.depth - 1;
    while (d >= 0 && (back ? path.at[d] == 0 : path.at[d] == path.nodes[d]->n))
        d--;
    if (d < 0)
        return false;
    path.at[d] += back ? -1 : 1;
    for (; d < path.depth; d++) {
        BTreeNode *child = path.nodes[d]->inner.children[path.at[d]];
        path.nodes[d + 1] = child;
        path.at[d + 1] = back ? child->n : 0;
    }
    return true;
}

}  // namespace

bool btree_path_settle(BTreePath &path)
{
    return path.slot() < path.leaf()->n || cross_to_leaf(path, false);
}

bool btree_path_prev(BTreePath &path)
{
    if (path.slot() == 0 && !cross_to_leaf(path, true))
        return false;
    path.at[path.depth]--;
    return true;
}

void btree_path_unsettle(BTreePath &path)
{
    if (path.slot() == 0)
        cross_to_leaf(path, true);
}

Py_ssize_t btree_path_rank(const BTreeCore *tree, const BTreePath &path)
{
    Py_ssize_t count = path.slot(), size = tree->size;
    for (int d = 0; d < path.depth; d++) {
        const BTreeNode *node = path.nodes[d];
        int i = path.at[d];
        // The counts left of the child, summed from whichever side has fewer.
        Py_ssize_t left = 0;
        if (i <= node->n / 2) {
            for (int j = 0; j < i; j++)
                left += node->inner.sizes[j];
        } else {
            left = size;
            for (int j = i; j <= node->n; j++)
                left -= node->inner.sizes[j];
        }
        count += left;
        size = node->inner.sizes[i];
    }
    return count;
}
