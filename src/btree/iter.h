// The iterator type btree._BTreeIter: walks the leaf chain of one tree.
#pragma once
#include <Python.h>

#include "btree/object.h"
#include "nodes/cursor.h"
#include "ops/ops.h"

// A new iterator of `kind` over `tree`, made once no operation runs on it.
PyObject *btree_iter_new(PyObject *tree, BTreeItemKind kind);

// Next element, or NULL: StopIteration at the end, another exception on error.
PyObject *BTreeIter_iternext(PyObject *self);
