// The top-down descent shared by insertion and increment: every full child is
// split before the descent enters it, so the leaf reached always has room for
// one more item. What happens at the leaf is the caller's `Action`:
//   int found(BTreeNode *leaf, int slot)  the key is present: update it (0 or -1)
//   PyObject *missing()                   the key is absent: its new value (new
//                                         reference) or NULL with an exception
#pragma once
#include <Python.h>

#include "keys/search.h"
#include "nodes/slots.h"
#include "ops/ops.h"

// Internal levels a descent can pass: every non-root internal node has at
// least 64 children, so no tree of 2^63 items comes near this.
constexpr int BTREE_MAX_DEPTH = 64;

// With a message, each level entered counts against the interpreter's
// recursion limit, as a recursive descent would.
class BTreeDepthGuard {
public:
    explicit BTreeDepthGuard(const char *where) : where_(where) {}
    ~BTreeDepthGuard()
    {
        while (entered_-- > 0)
            Py_LeaveRecursiveCall();
    }
    int enter()
    {
        if (!where_)
            return 0;
        if (Py_EnterRecursiveCall(where_))
            return -1;
        entered_++;
        return 0;
    }

private:
    const char *where_;
    int entered_ = 0;
};

template <class Probe, class Action>
int btree_write_descend(BTreeObject *tree, Probe &probe, int kind, const BTreePrim &prim, PyObject *key,
                        BTreeChange &change, Action &action, const char *depth_message)
{
    BTreeDepthGuard depth_guard(depth_message);
    BTreeNode *stack[BTREE_MAX_DEPTH];
    int depth = 0;
    BTreeNode *node = tree->root;
    int copy_prims = kind > 0;
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
    btree_shift_right(node->keys, i, n);
    btree_shift_right(node->leaf.values, i, n);
    if (copy_prims) {
        btree_shift_right(node->leaf.prims, i, n);
        node->leaf.prims[i] = prim;
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

// Runs one writing operation on `key`: the NaN check and the guard, room at
// the root, the key kind, the descent; then marks the change, or after a
// failure that left no item returns the tree to the empty state.
template <class Action>
int btree_write(BTreeObject *tree, PyObject *key, Action &action, const char *depth_message)
{
    if (btree_nan_check(key) < 0 || btree_guard_test(tree) < 0)
        return -1;
    BTreeBusy busy(tree);
    BTreeReleaseList pending;
    BTreeChange change(tree, pending);
    int split = 0;
    int result = btree_prepare_root(tree, &split);
    if (split)
        change.mark();
    if (result == 0) {
        BTreePrim prim{};
        int use_fast = 0;
        int kind = btree_writer_kind(tree, key, &prim, &use_fast);
        result = kind < 0 ? -1 : btree_with_probe(kind, prim, key, use_fast, [&](auto &probe) {
            return btree_write_descend(tree, probe, kind, prim, key, change, action, depth_message);
        });
    }
    if (result == 0)
        change.mark();
    else if (tree->size == 0)
        btree_reset_empty(tree);
    pending.add(action.replaced);
    return result;
}
