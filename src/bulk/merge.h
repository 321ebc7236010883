// Union, intersection and difference of the key sets of two trees.
#pragma once
#include <Python.h>

enum class BTreeSetOp { Union, Intersection, Difference };

// A new tree of the merged keys, every value None; on equal keys the left
// tree's key object is kept. NULL with an exception on failure.
PyObject *btree_set_merge(PyObject *left, PyObject *right, BTreeSetOp op);
