// The descent by key that every keyed operation starts with.
#pragma once
#include <Python.h>

#include "hints.h"
#include "keys/search.h"
#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"
#include "ops/path.h"

// What a descent by key does on its way down. Read changes nothing. Write
// changes nothing either, but first tries the end of each node, where every
// key of an ascending run goes. Split also splits every full child before it
// enters it, so that the leaf reached has room for one more item. Run reads
// a tree of equal keys to the start of the run of the key: as a key equal to
// a separator may also lie left of it there, children are chosen by lower
// bound, and a leaf that ends before the run gives way to the next, where
// the run starts.
enum class BTreeDescent { Read, Write, Split, Run };

// `read.template operator()<D>()` with the descent D that reads the tree to
// the start of a key's run: Run where equal keys repeat, else Read.
template <class Reader>
BTREE_ALWAYS_INLINE inline auto btree_read_descent(const BTreeCore *tree, Reader &&read)
{
    return tree->equal_keys ? read.template operator()<BTreeDescent::Run>()
                            : read.template operator()<BTreeDescent::Read>();
}

// Whether the key is above every key of `node` by its primitive alone: the
// write then goes to the node's end without a search.
template <bool Leaf, BTreeProbe Probe>
BTREE_ALWAYS_INLINE inline bool btree_past_last(const BTreeNode *node, const Probe &probe)
{
    if constexpr (BTreePrimProbe<Probe>)
        return node->n > 0 && probe.less(btree_prims_of<Leaf>(node)[node->n - 1]);
    else
        return false;
}

// After the child `i` of `node` was split on a descent: the index of the half
// the key belongs to, which the new separator decides, or -1.
template <BTreeProbe Probe>
int btree_split_side(BTreeNode *node, int i, Probe &probe)
{
    probe.begin_node();
    int c = probe(node, node->inner.prims, i);
    if constexpr (Probe::can_fail) {
        if (c == BTREE_CMP_ERROR)
            return -1;
    }
    return c <= 0 ? i + 1 : i;
}

// Descends from the root of a non-empty tree to the leaf where `probe`'s key
// belongs, choosing children by upper bound (a key equal to a separator
// descends to the right), and records the way in `path`. In the leaf, a
// Lower bound stops before the first key not less than the key and sets
// `*found` when that key is equal; an Upper bound stops after the last key
// not greater. In a tree of equal keys a Run descent by Lower bound stops on
// the first key of the run when there is one; writes there descend by Upper
// bound, after the run. With `Keys`, the caller reads key objects at the
// place found: the leaf's keys are asked for with its primitives, so that
// their wait overlaps the search. Returns the slot, or -1 with an exception
// (a failed comparison, a split that could not allocate).
template <BTreeBound B, BTreeDescent D = BTreeDescent::Read, bool Keys = false, BTreeProbe Probe>
BTREE_ALWAYS_INLINE inline int btree_descend(BTreeCore *tree, Probe &probe, BTreePath &path, int *found,
                                                BTreeChange *change = nullptr)
{
    // The path's arrays are written through locals, which no store of the
    // loop can be taken to change.
    constexpr bool writes = D == BTreeDescent::Write || D == BTreeDescent::Split;
    static_assert(D != BTreeDescent::Run || B == BTreeBound::Lower);
    BTREE_ASSERT(B == BTreeBound::Upper || (D == BTreeDescent::Run) == tree->equal_keys);
    BTreeNode **nodes = path.nodes;
    int *at = path.at;
    BTreeNode *node = tree->root;
    int d = 0;
    while (!node->is_leaf) {
        if (d == BTREE_MAX_DEPTH) {
            PyErr_SetString(PyExc_MemoryError, "tree is too deep");
            return -1;
        }
        int i;
        if constexpr (writes) {
            i = btree_past_last<false>(node, probe) ? node->n : btree_child_index(node, probe);
        } else if constexpr (D == BTreeDescent::Run) {
            int equal;
            i = btree_bound<BTreeBound::Lower, false>(node, probe, &equal);
        } else {
            i = btree_child_index(node, probe);
        }
        if (i < 0)
            return -1;
        if constexpr (D == BTreeDescent::Split) {
            if (node->inner.children[i]->n == BTREE_MAX_KEYS) {
                if (btree_split_child(node, i, btree_kind_keeps_prims(tree->key_kind)) < 0)
                    return -1;
                // Marked here, inline: a marker passed to a call would live in
                // memory for the whole write.
                change->mark();
                if ((i = btree_split_side(node, i, probe)) < 0)
                    return -1;
            }
        }
        nodes[d] = node;
        at[d++] = i;
        node = node->inner.children[i];
    }
    nodes[d] = node;
    path.depth = d;
    path.shape_version = tree->shape_version;
    int slot;
    if constexpr (writes && B == BTreeBound::Lower) {
        if (btree_past_last<true>(node, probe)) {
            *found = 0;
            return at[d] = node->n;
        }
    }
    slot = btree_bound<B, true, Keys>(node, probe, found);
    if (slot < 0)
        return -1;
    at[d] = slot;
    if constexpr (D == BTreeDescent::Run) {
        if (slot == node->n && btree_path_settle(path)) {
            probe.begin_node();
            int c = probe(path.leaf(), path.leaf()->leaf.prims, 0);
            if constexpr (Probe::can_fail) {
                if (c == BTREE_CMP_ERROR)
                    return -1;
            }
            *found = c == 0;
            return 0;
        }
    }
    return slot;
}

// The descent of a reader of `key`, once `entry` holds the tree: to the
// place after the keys equal to it (`after_equal`) or before them; `Keys` as
// for btree_descend. The slot, or -1.
template <bool Keys = false>
inline int btree_descend_to(BTreeEntry &entry, BTreeCore *tree, PyObject *key, bool after_equal, BTreePath &path,
                            int *found)
{
    return entry.with_key<BTreeAccess::Read>(key, [&](auto &probe) {
        if (after_equal)
            return btree_descend<BTreeBound::Upper, BTreeDescent::Read, Keys>(tree, probe, path, nullptr);
        return btree_read_descent(tree, [&]<BTreeDescent D>() {
            return btree_descend<BTreeBound::Lower, D, Keys>(tree, probe, path, found);
        });
    });
}
