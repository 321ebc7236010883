#include "nodes/release.h"
#include "nodes/slots.h"
#include "ops/ops.h"

namespace {

// Points separator `at` of `parent` at the first key of `leaf`; the key it
// named is released later.
void rename_separator(BTreeNode *parent, int at, const BTreeNode *leaf, bool copy_prims, BTreeReleaseList &pending)
{
    pending.add(parent->keys[at]);
    parent->keys[at] = Py_NewRef(leaf->keys[0]);
    if (copy_prims)
        parent->inner.prims[at] = leaf->leaf.prims[0];
}

// Items a leaf of `cn` takes from a sibling of `sn` (more than the fewest a
// leaf keeps): half the difference, so that both end near the middle and the
// next deletions from the lesser one need no borrowing, but never so many
// that the sibling drops below the fewest (the short last leaf of a bulk
// build may ask for more).
int even_share(int sn, int cn)
{
    int k = (sn - cn) / 2;
    int spare = sn - BTREE_MIN_KEYS;
    k = k < spare ? k : spare;
    return k > 0 ? k : 1;
}

void borrow_from_left(BTreeNode *parent, int idx, bool copy_prims, BTreeReleaseList &pending)
{
    BTreeNode *left = parent->inner.children[idx - 1];
    BTreeNode *child = parent->inner.children[idx];
    int ln = left->n, cn = child->n;
    BTREE_ASSERT(ln > BTREE_MIN_KEYS && cn < BTREE_MAX_KEYS);
    if (child->is_leaf) {
        int k = even_share(ln, cn);
        btree_move_leaf_items(child, k, child, 0, cn, copy_prims);
        btree_move_leaf_items(child, 0, left, ln - k, k, copy_prims);
        btree_clear_leaf_slots(left, ln - k, ln);
        left->n = ln - k;
        child->n = cn + k;
        parent->inner.sizes[idx - 1] -= k;
        parent->inner.sizes[idx] += k;
        rename_separator(parent, idx - 1, child, copy_prims, pending);
        return;
    }
    btree_shift_right(child->keys, 0, cn);
    if (copy_prims)
        btree_shift_right(child->inner.prims, 0, cn);
    btree_shift_right(child->inner.children, 0, cn + 1);
    btree_shift_right(child->inner.sizes, 0, cn + 1);
    // The separator moves down, the left sibling's last key moves up.
    child->keys[0] = parent->keys[idx - 1];
    child->inner.prims[0] = parent->inner.prims[idx - 1];
    Py_ssize_t moved = left->inner.sizes[ln];
    child->inner.children[0] = left->inner.children[ln];
    child->inner.sizes[0] = moved;
    parent->keys[idx - 1] = left->keys[ln - 1];
    parent->inner.prims[idx - 1] = left->inner.prims[ln - 1];
    left->keys[ln - 1] = nullptr;
    left->inner.children[ln] = nullptr;
    left->inner.sizes[ln] = 0;
    left->n = ln - 1;
    child->n = cn + 1;
    parent->inner.sizes[idx - 1] -= moved;
    parent->inner.sizes[idx] += moved;
}

void borrow_from_right(BTreeNode *parent, int idx, bool copy_prims, BTreeReleaseList &pending)
{
    BTreeNode *child = parent->inner.children[idx];
    BTreeNode *right = parent->inner.children[idx + 1];
    int rn = right->n, cn = child->n;
    BTREE_ASSERT(rn > BTREE_MIN_KEYS && cn < BTREE_MAX_KEYS);
    if (child->is_leaf) {
        int k = even_share(rn, cn);
        btree_move_leaf_items(child, cn, right, 0, k, copy_prims);
        btree_move_leaf_items(right, 0, right, k, rn - k, copy_prims);
        btree_clear_leaf_slots(right, rn - k, rn);
        right->n = rn - k;
        child->n = cn + k;
        parent->inner.sizes[idx + 1] -= k;
        parent->inner.sizes[idx] += k;
        rename_separator(parent, idx, right, copy_prims, pending);
        return;
    }
    Py_ssize_t moved = right->inner.sizes[0];
    child->keys[cn] = parent->keys[idx];
    child->inner.prims[cn] = parent->inner.prims[idx];
    child->inner.children[cn + 1] = right->inner.children[0];
    child->inner.sizes[cn + 1] = moved;
    parent->keys[idx] = right->keys[0];
    parent->inner.prims[idx] = right->inner.prims[0];
    btree_shift_left(right->keys, 0, rn);
    if (copy_prims)
        btree_shift_left(right->inner.prims, 0, rn);
    btree_shift_left(right->inner.children, 0, rn + 1);
    btree_shift_left(right->inner.sizes, 0, rn + 1);
    right->keys[rn - 1] = nullptr;
    right->inner.children[rn] = nullptr;
    right->inner.sizes[rn] = 0;
    right->n = rn - 1;
    child->n = cn + 1;
    parent->inner.sizes[idx + 1] -= moved;
    parent->inner.sizes[idx] += moved;
}

}  // namespace

void btree_merge(BTreeNode *parent, int idx, bool copy_prims, BTreeReleaseList &pending)
{
    BTreeNode *left = parent->inner.children[idx];
    BTreeNode *right = parent->inner.children[idx + 1];
    PyObject *separator = parent->keys[idx];
    int ln = left->n, rn = right->n;
    BTREE_ASSERT(idx < parent->n && left->is_leaf == right->is_leaf);
    BTREE_ASSERT(ln + rn + (left->is_leaf ? 0 : 1) <= BTREE_MAX_KEYS);
    if (left->is_leaf) {
        btree_move_leaf_items(left, ln, right, 0, rn, copy_prims);
        left->n = ln + rn;
        left->leaf.next = right->leaf.next;
        // Leaves keep no separators.
        pending.add(separator);
    } else {
        // The separator comes down after the left node's last key, wherever
        // that is.
        left->keys[ln] = separator;
        left->inner.prims[ln] = parent->inner.prims[idx];
        btree_move_slots(left->keys + ln + 1, right->keys, rn);
        if (copy_prims)
            btree_move_slots(left->inner.prims + ln + 1, right->inner.prims, rn);
        btree_move_slots(left->inner.children + ln + 1, right->inner.children, rn + 1);
        btree_move_slots(left->inner.sizes + ln + 1, right->inner.sizes, rn + 1);
        left->n = ln + rn + 1;
    }
    parent->inner.sizes[idx] += parent->inner.sizes[idx + 1];
    int pn = parent->n;
    btree_shift_left(parent->keys, idx, pn);
    if (copy_prims)
        btree_shift_left(parent->inner.prims, idx, pn);
    btree_shift_left(parent->inner.children, idx + 1, pn + 1);
    btree_shift_left(parent->inner.sizes, idx + 1, pn + 1);
    parent->keys[pn - 1] = nullptr;
    parent->inner.children[pn] = nullptr;
    parent->inner.sizes[pn] = 0;
    parent->n = pn - 1;
    btree_mem_free(right);
}

void btree_fill(BTreeNode *parent, int idx, bool copy_prims, BTreeReleaseList &pending)
{
    BTREE_ASSERT(!parent->is_leaf && parent->n >= 1 && idx <= parent->n);
    BTREE_ASSERT(parent->inner.children[idx]->n <= BTREE_MIN_KEYS);
    if (idx > 0 && parent->inner.children[idx - 1]->n > BTREE_MIN_KEYS)
        borrow_from_left(parent, idx, copy_prims, pending);
    else if (idx == parent->n)
        btree_merge(parent, idx - 1, copy_prims, pending);
    else if (parent->inner.children[idx + 1]->n > BTREE_MIN_KEYS)
        borrow_from_right(parent, idx, copy_prims, pending);
    else
        btree_merge(parent, idx, copy_prims, pending);
}
