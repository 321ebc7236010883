// The descents shared by insertion and increment: the top-down descent that
// splits every full child before it enters it, so that the leaf reached has
// room for one more item; for writers that keep the shape of the tree when
// they store over a value, first a descent that splits nothing. What happens
// at the leaf is the caller's `Action`:
//   int found(BTreeNode *leaf, int slot)  the key is present: update it (0 or -1)
//   PyObject *missing()                   the key is absent: its new value (new
//                                         reference) or NULL with an exception
//   PyObject *replaced                    a value the action took out, or NULL
#pragma once
#include <Python.h>

#include "nodes/slots.h"
#include "ops/cache.h"
#include "ops/depth.h"
#include "ops/entry.h"
#include "ops/ops.h"

// Stores the new item of `key` at `slot` of `leaf`, which has room; `stack`
// holds the `depth` internal nodes above it and `at` the child each went to.
template <BTreeProbe Probe, class Action>
int btree_leaf_add(BTreeCore *tree, Probe &probe, PyObject *key, Action &action, BTreeNode *leaf, int slot,
                   BTreeNode **stack, const int *at, int depth)
{
    PyObject *value = action.missing();
    if (!value)
        return -1;
    int n = leaf->n;
    BTREE_ASSERT(n < BTREE_MAX_KEYS);
    btree_shift_right(leaf->keys, slot, n);
    btree_shift_right(leaf->leaf.values, slot, n);
    if constexpr (BTreePrimProbe<Probe>) {
        btree_shift_right(leaf->leaf.prims, slot, n);
        leaf->leaf.prims[slot] = probe.prim();
    }
    leaf->keys[slot] = Py_NewRef(key);
    leaf->leaf.values[slot] = value;
    leaf->n = n + 1;
    for (int d = 0; d < depth; d++)
        stack[d]->inner.sizes[at[d]]++;
    tree->size++;
    return 0;
}

// Whether the key is above every key of `node` by its primitive alone, as
// each key of an ascending run is when it arrives: the write then goes to the
// node's end without a search.
template <bool Leaf, BTreeProbe Probe>
[[gnu::always_inline]] inline bool btree_past_last(const BTreeNode *node, const Probe &probe)
{
    if constexpr (BTreePrimProbe<Probe>)
        return node->n > 0 && probe.less(btree_prims_of<Leaf>(node)[node->n - 1]);
    else
        return false;
}

// The result of the first descent when the key is absent and a node on its
// path is full: the splitting descent follows.
constexpr int btree_needs_room = 1;

// One descent of a write. Without `Split` it splits nothing: a key present
// has its value updated there, so that storing over a value never moves a
// node; an absent key is added when no node on the path is full, where the
// splitting descent would split nothing either, and btree_needs_room is
// returned otherwise. With `Split` every full child is split before the
// descent enters it. A writer's probe is a primitive one exactly when the
// tree keeps primitives. 0, -1 or btree_needs_room.
template <bool Split, BTreeProbe Probe, class Action>
int btree_write_descend(BTreeCore *tree, Probe &probe, PyObject *key, BTreeChange &change, Action &action,
                        const char *depth_message)
{
    constexpr bool copy_prims = BTreePrimProbe<Probe>;
    BTreeDepthGuard depth_guard(depth_message);
    BTreeNode *stack[BTREE_MAX_DEPTH];
    int at[BTREE_MAX_DEPTH];
    int depth = 0;
    bool room = true;
    BTreeNode *node = tree->root;
    for (;;) {
        if (depth_guard.enter() < 0)
            return -1;
        room = room && node->n < BTREE_MAX_KEYS;
        if (node->is_leaf)
            break;
        if (depth == BTREE_MAX_DEPTH) {
            PyErr_SetString(PyExc_MemoryError, "BTree is too deep");
            return -1;
        }
        stack[depth++] = node;
        int i = btree_past_last<false>(node, probe) ? node->n : btree_child_index(node, probe);
        if (i < 0)
            return -1;
        if (Split && node->inner.children[i]->n == BTREE_MAX_KEYS) {
            if (btree_split_child(node, i, copy_prims) < 0)
                return -1;
            change.mark();
            // The new separator decides which half the key belongs to.
            probe.begin_node();
            int c = probe(node, node->inner.prims, i);
            if constexpr (Probe::can_fail) {
                if (c == BTREE_CMP_ERROR)
                    return -1;
            }
            if (c <= 0)
                i++;
        }
        at[depth - 1] = i;
        node = node->inner.children[i];
    }
    int found = 0;
    int i = btree_past_last<true>(node, probe) ? node->n : btree_leaf_index(node, probe, &found);
    if (i < 0)
        return -1;
    if (found)
        return action.found(node, i);
    if (!Split && !room)
        return btree_needs_room;
    return btree_leaf_add(tree, probe, key, action, node, i, stack, at, depth);
}

// Runs one writing operation on `key`: the way in, the key kind, with
// `keep_shape` the descent that splits nothing, and (when it finds no room)
// room at the root and the splitting descent; then marks the change (of the
// shape too unless a value was stored over another), or after a failure that
// left no item returns the tree to the empty state.
template <class Action>
int btree_write(BTreeCore *tree, PyObject *key, Action &action, const char *depth_message, BTreeWrite mode)
{
    BTreeEntry entry(tree, key);
    if (!entry)
        return -1;
    BTreeChange change(tree, entry.pending);
    Py_ssize_t size_before = tree->size;
    int result = entry.with_key<BTreeAccess::Write>(key, [&](auto &probe) {
        if (mode == BTreeWrite::KeepShape && tree->root) {
            int rc = btree_write_descend<false>(tree, probe, key, change, action, depth_message);
            if (rc != btree_needs_room)
                return rc;
        }
        bool split = false;
        int rc = btree_prepare_root(tree, &split);
        if (split)
            change.mark();
        return rc < 0 ? rc : btree_write_descend<true>(tree, probe, key, change, action, depth_message);
    });
    if (result == 0)
        change.mark(tree->size != size_before);
    else if (tree->size == 0)
        btree_reset_empty(tree);
    entry.pending.add(action.replaced);
    return result;
}
