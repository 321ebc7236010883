#include "nodes/slots.h"
#include "ops/ops.h"

int btree_split_child(BTreeNode *parent, int index, bool copy_prims)
{
    BTreeNode *child = parent->inner.children[index];
    BTREE_ASSERT(!parent->is_leaf && parent->n < BTREE_MAX_KEYS && index <= parent->n);
    BTREE_ASSERT(child->n == BTREE_MAX_KEYS);
    BTreeNode *sibling = child->is_leaf ? btree_leaf_alloc() : btree_internal_alloc();
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

int btree_prepare_root(BTreeCore *tree, bool *split)
{
    *split = false;
    if (!tree->root) {
        BTreeNode *leaf = btree_leaf_alloc();
        if (!leaf) {
            PyErr_NoMemory();
            return -1;
        }
        tree->root = leaf;
        return 0;
    }
    if (tree->root->n < BTREE_MAX_KEYS)
        return 0;
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
