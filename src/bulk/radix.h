// Sorting records by a 64-bit order value: least significant byte first, one
// stable counting pass per byte, O(n) however the values lie.
#pragma once
#include <Python.h>
#include <cstdint>

// One record: its order value and the position it came from.
struct BTreeRanked {
    uint64_t order;
    Py_ssize_t index;
};

// Sorts the n records of `records` by order, stably, using `spare` (room for
// n records) as the other buffer of each pass. Returns whichever of the two
// buffers holds the result; the other one is free for the caller.
BTreeRanked *btree_radix_sort(BTreeRanked *records, BTreeRanked *spare, Py_ssize_t n);
