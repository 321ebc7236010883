// The iterator type btree._BTreeIter: walks the leaf chain of one tree.
#pragma once
#include <Python.h>
#include <cstdint>

#include "btree/tree.h"

enum : int {
    BTREE_ITER_KEYS = 0,
    BTREE_ITER_VALUES = 1,
    BTREE_ITER_ITEMS = 2,
};

struct BTreeIterObject {
    PyObject_HEAD
    BTreeObject *tree;
    int32_t kind;
    BTreeNode *leaf;
    Py_ssize_t pos;
    uint64_t version;
    int64_t reserved1;
    int64_t reserved2;
    void *reserved3;
    void *reserved4;
    // The last (key, value) tuple handed out; reused when its caller has
    // already let go of it, as dict's item iterator does.
    PyObject *last_item;
};

// A new iterator of `kind` over `tree`; refused while the tree's guard is set.
PyObject *btree_iter_new(BTreeObject *tree, int kind);

// Next element, or NULL: StopIteration at the end, another exception on error.
PyObject *BTreeIter_iternext(PyObject *self);
