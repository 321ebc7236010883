#include "nodes/slots.h"
#include "ops/ops.h"
#include "ops/path.h"

int btree_split_child(BTreeNode *parent, int index, bool copy_prims)
{
    BTreeNode *child = parent->inner.children[index];
    BTREE_ASSERT(!parent->is_leaf && parent->n < BTREE_MAX_KEYS && index <= parent->n);
    BTREE_ASSERT(child->n == BTREE_MAX_KEYS);
    BTreeNode *sibling = child->is_leaf ? btree_leaf_alloc(child->keys_only) : btree_internal_alloc();
    if (!sibling) {
        PyErr_NoMemory();
        return -1;
    }
    // The upper half moves to the new right sibling: the last BTREE_MIN_KEYS
    // items of a leaf, or the keys and children after the middle key of an
    // internal node.
    constexpr int keep = BTREE_MIN_KEYS + 1;
    PyObject *separator;
    BTreePrim separator_prim = btree_prims(child)[keep - 1];
    if (child->is_leaf) {
        int moved = child->n - keep;
        sibling->n = moved;
        btree_move_leaf_items(sibling, 0, child, keep, moved, copy_prims);
        btree_clear_leaf_slots(child, keep, keep + moved);
        child->n = keep;
        sibling->leaf.next = child->leaf.next;
        child->leaf.next = sibling;
        // A leaf's separator is the right leaf's first key, referenced again.
        separator = Py_NewRef(sibling->keys[0]);
        separator_prim = sibling->leaf.prims[0];
    } else {
        int moved = child->n - keep;  // the keys after the middle one
        sibling->n = moved;
        btree_move_slots(sibling->keys, child->keys + keep, moved);
        if (copy_prims)
            btree_move_slots(sibling->inner.prims, child->inner.prims + keep, moved);
        btree_move_slots(sibling->inner.children, child->inner.children + keep, moved + 1);
        btree_move_slots(sibling->inner.sizes, child->inner.sizes + keep, moved + 1);
        memset(static_cast<void *>(child->keys + keep), 0, sizeof(PyObject *) * moved);
        memset(static_cast<void *>(child->inner.children + keep), 0, sizeof(BTreeNode *) * (moved + 1));
        memset(static_cast<void *>(child->inner.sizes + keep), 0, sizeof(Py_ssize_t) * (moved + 1));
        // The middle key moves up with its reference.
        separator = child->keys[keep - 1];
        child->keys[keep - 1] = nullptr;
        child->n = keep - 1;
    }
    int pn = parent->n;
    Py_ssize_t sibling_size = btree_node_size(sibling);
    btree_move_slots(parent->inner.children + index + 2, parent->inner.children + index + 1, pn - index);
    btree_move_slots(parent->inner.sizes + index + 2, parent->inner.sizes + index + 1, pn - index);
    parent->inner.children[index + 1] = sibling;
    parent->inner.sizes[index + 1] = sibling_size;
    parent->inner.sizes[index] -= sibling_size;
    btree_move_slots(parent->keys + index + 1, parent->keys + index, pn - index);
    parent->keys[index] = separator;
    if (copy_prims) {
        btree_move_slots(parent->inner.prims + index + 1, parent->inner.prims + index, pn - index);
        parent->inner.prims[index] = separator_prim;
    }
    parent->n = pn + 1;
    return 0;
}

int btree_grow_root(BTreeCore *tree, bool *split)
{
    if (!tree->root) {
        BTreeNode *leaf = btree_leaf_alloc(tree->keys_only);
        if (!leaf) {
            PyErr_NoMemory();
            return -1;
        }
        tree->root = leaf;
        return 0;
    }
    BTreeNode *top = btree_internal_alloc();
    if (!top) {
        PyErr_NoMemory();
        return -1;
    }
    top->inner.children[0] = tree->root;
    top->inner.sizes[0] = tree->size;
    if (btree_split_child(top, 0, btree_kind_keeps_prims(tree->key_kind)) < 0) {
        btree_mem_free(top);
        return -1;
    }
    tree->root = top;
    tree->height++;
    *split = true;
    return 0;
}

namespace {

// After the child the path takes at level `d` was split: moves the path into
// the half that holds its place. A place in the left half's range stays left,
// which for a leaf includes the place just before the new separator.
void follow_split(BTreePath &path, int d)
{
    BTreeNode *parent = path.nodes[d];
    BTreeNode *left = path.nodes[d + 1];
    int below = path.at[d + 1];
    // A leaf keeps its first BTREE_MIN_KEYS + 1 items; an internal node its
    // first BTREE_MIN_KEYS + 1 children.
    int kept = left->is_leaf ? left->n : left->n + 1;
    if (left->is_leaf ? below <= kept : below < kept)
        return;
    path.at[d]++;
    path.nodes[d + 1] = parent->inner.children[path.at[d]];
    path.at[d + 1] = below - kept;
}

}  // namespace

int btree_split_path(BTreeCore *tree, BTreePath &path, bool *split)
{
    // The nodes from the leaf up to the lowest one with room are full; each
    // is split from its parent down, so that every split has room above it.
    int top = path.depth;
    while (top >= 0 && path.nodes[top]->n == BTREE_MAX_KEYS)
        top--;
    if (top < 0) {
        // Every node on the path is full: the root is split under a new one.
        if (path.depth == BTREE_MAX_DEPTH) {
            PyErr_SetString(PyExc_MemoryError, "tree is too deep");
            return -1;
        }
        if (btree_prepare_root(tree, split) < 0)
            return -1;
        for (int d = path.depth; d >= 0; d--) {
            path.nodes[d + 1] = path.nodes[d];
            path.at[d + 1] = path.at[d];
        }
        path.depth++;
        path.nodes[0] = tree->root;
        path.at[0] = 0;
        follow_split(path, 0);
        top = 1;
    }
    bool copy_prims = btree_kind_keeps_prims(tree->key_kind);
    for (int d = top; d < path.depth; d++) {
        if (btree_split_child(path.nodes[d], path.at[d], copy_prims) < 0)
            return -1;
        *split = true;
        follow_split(path, d);
    }
    return 0;
}
