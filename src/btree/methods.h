// Methods of BTree whose work lives in the rank, range and deletion code.
#pragma once
#include <Python.h>

PyObject *BTree_delete(PyObject *self, PyObject *key);
PyObject *BTree_bisect_left(PyObject *self, PyObject *key);
PyObject *BTree_bisect_right(PyObject *self, PyObject *key);
PyObject *BTree_irange(PyObject *self, PyObject *args, PyObject *kwds);
