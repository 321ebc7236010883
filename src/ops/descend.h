// The top-down descent shared by insertion and increment: every full child is
// split before the descent enters it, so the leaf reached always has room for
// one more item. What happens at the leaf is the caller's `Action`:
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

// A writer's probe is a primitive one exactly when the tree keeps primitives.
template <BTreeProbe Probe, class Action>
int btree_write_descend(BTreeCore *tree, Probe &probe, PyObject *key, BTreeChange &change, Action &action,
                        const char *depth_message)
{
    constexpr bool copy_prims = BTreePrimProbe<Probe>;
    BTreeDepthGuard depth_guard(depth_message);
    BTreeNode *stack[BTREE_MAX_DEPTH];
    int depth = 0;
    BTreeNode *node = tree->root;
    for (;;) {
        if (depth_guard.enter() < 0)
            return -1;
        if (node->is_leaf)
            break;
        if (depth == BTREE_MAX_DEPTH) {
            PyErr_SetString(PyExc_MemoryError, "BTree is too deep");
            return -1;
        }
        stack[depth++] = node;
        int i = btree_child_index(node, probe);
        if (i < 0)
            return -1;
        if (node->inner.children[i]->n == BTREE_MAX_KEYS) {
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
        node = node->inner.children[i];
    }
    int found = 0;
    int i = btree_leaf_index(node, probe, &found);
    if (i < 0)
        return -1;
    if (found)
        return action.found(node, i);
    PyObject *value = action.missing();
    if (!value)
        return -1;
    int n = node->n;
    BTREE_ASSERT(n < BTREE_MAX_KEYS);
    btree_shift_right(node->keys, i, n);
    btree_shift_right(node->leaf.values, i, n);
    if constexpr (copy_prims) {
        btree_shift_right(node->leaf.prims, i, n);
        node->leaf.prims[i] = probe.prim();
    }
    node->keys[i] = Py_NewRef(key);
    node->leaf.values[i] = value;
    node->n = n + 1;
    node->subtree_size = n + 1;
    for (int d = 0; d < depth; d++)
        stack[d]->subtree_size++;
    tree->size++;
    return 0;
}

// Runs one writing operation on `key`: the way in, the key kind, room at the
// root, the descent; then marks the change (of the shape too unless a value
// was stored over another), or after a failure that left no
// item returns the tree to the empty state.
template <class Action>
int btree_write(BTreeCore *tree, PyObject *key, Action &action, const char *depth_message)
{
    BTreeEntry entry(tree, key);
    if (!entry)
        return -1;
    BTreeChange change(tree, entry.pending);
    Py_ssize_t size_before = tree->size;
    int result = entry.with_key<BTreeAccess::Write>(key, [&](auto &probe) {
        bool split = false;
        int rc = btree_prepare_root(tree, &split);
        if (split)
            change.mark();
        return rc < 0 ? rc : btree_write_descend(tree, probe, key, change, action, depth_message);
    });
    if (result == 0)
        change.mark(tree->size != size_before);
    else if (tree->size == 0)
        btree_reset_empty(tree);
    entry.pending.add(action.replaced);
    return result;
}
