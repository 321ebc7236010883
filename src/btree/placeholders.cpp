#include "btree/methods.h"

static PyObject *not_yet(const char *name)
{
    PyErr_Format(PyExc_NotImplementedError, "BTree.%s is not implemented yet", name);
    return nullptr;
}

PyObject *BTree_delete(PyObject *, PyObject *) { return not_yet("delete"); }
PyObject *BTree_bisect_left(PyObject *, PyObject *) { return not_yet("bisect_left"); }
PyObject *BTree_bisect_right(PyObject *, PyObject *) { return not_yet("bisect_right"); }
PyObject *BTree_irange(PyObject *, PyObject *, PyObject *) { return not_yet("irange"); }
