// Moving runs of node slots as plain memory copies, always in line: the
// common move is empty or short, and a call would cost more than it.
#pragma once
#include <cstring>

#include "nodes/node.h"

template <class T>
BTREE_ALWAYS_INLINE inline void btree_move_slots(T *dst, const T *src, int count)
{
    if (count > 0)
        memmove(static_cast<void *>(dst), static_cast<const void *>(src), static_cast<size_t>(count) * sizeof(T));
}

// Opens a gap at `at` in slots[0..n-1].
template <class T>
BTREE_ALWAYS_INLINE inline void btree_shift_right(T *slots, int at, int n)
{
    btree_move_slots(slots + at + 1, slots + at, n - at);
}

// Closes the gap at `at` in slots[0..n-1].
template <class T>
BTREE_ALWAYS_INLINE inline void btree_shift_left(T *slots, int at, int n)
{
    btree_move_slots(slots + at, slots + at + 1, n - at - 1);
}

// Moves `count` items from slot `from` of leaf `src` to slot `to` of leaf
// `dst`; within one leaf the runs may overlap.
inline void btree_move_leaf_items(BTreeNode *dst, int to, const BTreeNode *src, int from, int count, bool copy_prims)
{
    btree_move_slots(dst->keys + to, src->keys + from, count);
    if (!dst->keys_only)
        btree_move_slots(dst->leaf.values + to, src->leaf.values + from, count);
    if (copy_prims)
        btree_move_slots(dst->leaf.prims + to, src->leaf.prims + from, count);
}

// Clears the key and value slots [from, to) of a leaf, whose items moved.
inline void btree_clear_leaf_slots(BTreeNode *leaf, int from, int to)
{
    size_t bytes = sizeof(PyObject *) * static_cast<size_t>(to - from);
    memset(static_cast<void *>(leaf->keys + from), 0, bytes);
    if (!leaf->keys_only)
        memset(static_cast<void *>(leaf->leaf.values + from), 0, bytes);
}
