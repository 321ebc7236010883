// The record of a btree.BTree instance: the core tree record, and what only
// the Python object has.
#pragma once
#include <Python.h>

#include "nodes/tree.h"

// The words of btree.BTree in the errors the core reports.
inline constexpr BTreeTexts BTREE_TEXTS = {
    "BTree reentrant access during comparison",
    "BTree mutated during iteration",
};

struct BTreeObject {
    PyObject_HEAD
    BTreeCore tree;          // the tree itself
    PyObject *weakreflist;  // weak references, managed by the interpreter
};

extern PyTypeObject BTreeType;
extern PyTypeObject BTreeIterType;

inline BTreeCore *btree_core(PyObject *op)
{
    return &reinterpret_cast<BTreeObject *>(op)->tree;
}

// Type check of the capsule entries: the tree, or NULL with TypeError
// "expected btree.BTree". The type cannot be subclassed.
inline BTreeCore *btree_cast(PyObject *op)
{
    if (!Py_IS_TYPE(op, &BTreeType)) {
        PyErr_SetString(PyExc_TypeError, "expected btree.BTree");
        return nullptr;
    }
    return btree_core(op);
}

// A new, empty tree object, or NULL with an exception.
PyObject *btree_new_object();
