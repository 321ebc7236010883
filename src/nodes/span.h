// A walk over the items at positions [start, stop) of one tree, forward along
// the leaf chain or backward. Leaves have no link to their left neighbour: a
// backward walk finds the previous leaf with a descent by subtree sizes, once
// per leaf, O(1) amortised per item for full leaves. The walk stays valid
// while the tree's shape_version is the one it started at (values may be
// replaced meanwhile); its owner checks that before every step.
#pragma once
#include <Python.h>
#include <cstdint>

#include "hints.h"
#include "nodes/cursor.h"
#include "nodes/tree.h"

// The leaf and slot of the item at `index` (0 <= index < size, the items
// below `node`), walking down by subtree sizes with no comparison.
// `visit(depth, node, at)` sees each node passed with the child it goes to,
// the leaf last with the slot; it returns 0, or -1 to stop the walk, which
// then returns NULL.
template <class Visit>
inline BTreeNode *btree_leaf_at(BTreeNode *node, Py_ssize_t size, Py_ssize_t index, int *slot, Visit &&visit)
{
    Py_ssize_t d = 0;
    for (;; d++) {
        if (node->is_leaf)
            break;
        // The counts are read from the nearer end.
        const Py_ssize_t *sizes = node->inner.sizes;
        int j;
        if (index < size / 2) {
            j = 0;
            while (index >= sizes[j])
                index -= sizes[j++];
        } else {
            j = node->n;
            Py_ssize_t after = size - sizes[j];
            while (index < after)
                after -= sizes[--j];
            index -= after;
        }
        BTREE_ASSERT(j <= node->n && index < sizes[j]);
        if (visit(d, node, j) < 0)
            return nullptr;
        size = sizes[j];
        node = node->inner.children[j];
        // Should the child be the leaf, its slot is asked for with its header.
        if (size <= BTREE_MAX_KEYS) {
            BTREE_PREFETCH(&node->keys[index]);
            BTREE_PREFETCH(&node->leaf.values[index]);
        }
    }
    BTREE_ASSERT(index < node->n);
    *slot = static_cast<int>(index);
    return visit(d, node, *slot) < 0 ? nullptr : node;
}

inline BTreeNode *btree_leaf_at(const BTreeCore *tree, Py_ssize_t index, int *slot)
{
    return btree_leaf_at(tree->root, tree->size, index, slot, [](Py_ssize_t, BTreeNode *, int) { return 0; });
}

struct BTreeSpan {
    BTreeNode *leaf;         // leaf of the next item (a backward walk: NULL until a descent finds it)
    int slot;                // slot of the next item in `leaf`
    Py_ssize_t next;         // position of the next item
    Py_ssize_t left;         // items still to come
    bool reverse;            // from stop - 1 down to start
    uint64_t shape_version;  // the tree's shape_version when the walk started
};

// A walk over [start, stop), positions already clipped to 0 <= start, stop
// <= size; an empty walk when stop <= start.
inline BTreeSpan btree_span_start(const BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop, bool reverse)
{
    Py_ssize_t left = stop > start ? stop - start : 0;
    return {nullptr, 0, reverse ? stop - 1 : start, left, reverse, tree->shape_version};
}

inline bool btree_span_valid(const BTreeSpan &span, const BTreeCore *tree)
{
    return span.shape_version == tree->shape_version;
}

// Finds the leaf and slot of the next item by a descent: at the start, and
// going backward once per leaf. Out of line, to keep the step per item short.
BTREE_NOINLINE inline void btree_span_find(BTreeSpan &span, const BTreeCore *tree, bool values)
{
    span.leaf = btree_leaf_at(tree, span.next, &span.slot);
    if (!span.reverse)
        return;
    // Going backward, the next leaf is found only as this one ends: its last
    // items, which no step asked for ahead, are asked for at once.
    int low = span.slot >= BTREE_WALK_AHEAD ? span.slot - BTREE_WALK_AHEAD + 1 : 0;
    for (int j = span.slot; j >= low; j--)
        BTREE_PREFETCH_WRITE(span.leaf->keys[j]);
    if (values) {
        for (int j = span.slot; j >= low; j--)
            BTREE_PREFETCH_WRITE(span.leaf->leaf.values[j]);
    }
}

// The leaf and slot of the next item, moving past it; NULL at the end. The
// objects of the items some places ahead are asked for meanwhile (values too
// with `values`).
inline BTreeNode *btree_span_next(BTreeSpan &span, const BTreeCore *tree, int *slot, bool values = false)
{
    if (span.left == 0)
        return nullptr;
    if (!span.leaf || span.slot < 0) {
        btree_span_find(span, tree, values);
    } else if (span.slot >= span.leaf->n) {
        span.leaf = span.leaf->leaf.next;
        span.slot = 0;
    }
    if (!span.reverse) {
        btree_prefetch_ahead(span.leaf, span.slot, values);
    } else if (span.slot >= BTREE_WALK_AHEAD) {
        BTREE_PREFETCH_WRITE(span.leaf->keys[span.slot - BTREE_WALK_AHEAD]);
        if (values)
            BTREE_PREFETCH_WRITE(span.leaf->leaf.values[span.slot - BTREE_WALK_AHEAD]);
    }
    *slot = span.reverse ? span.slot-- : span.slot++;
    span.next += span.reverse ? -1 : 1;
    span.left--;
    return span.leaf;
}
