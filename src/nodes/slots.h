// Moving runs of node slots as plain memory copies.
#pragma once
#include <cstring>

template <class T>
inline void btree_move_slots(T *dst, const T *src, int count)
{
    if (count > 0)
        memmove(static_cast<void *>(dst), static_cast<const void *>(src), static_cast<size_t>(count) * sizeof(T));
}

// Opens a gap at `at` in slots[0..n-1].
template <class T>
inline void btree_shift_right(T *slots, int at, int n)
{
    btree_move_slots(slots + at + 1, slots + at, n - at);
}

// Closes the gap at `at` in slots[0..n-1].
template <class T>
inline void btree_shift_left(T *slots, int at, int n)
{
    btree_move_slots(slots + at, slots + at + 1, n - at - 1);
}
