// The iterator type btree._BTreeIter: walks the leaf chain of one tree.
#pragma once
#include <Python.h>

#include "btree/object.h"
#include "nodes/cursor.h"

// A new iterator of `kind` (PyBTree_ITER_*) over `tree`; refused while the
// tree's guard is held.
PyObject *btree_iter_new(PyObject *tree, int kind);

// Next element, or NULL: StopIteration at the end, another exception on error.
PyObject *BTreeIter_iternext(PyObject *self);
