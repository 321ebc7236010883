// Building a packed tree bottom-up from keys already in ascending order.
#pragma once
#include "btree/tree.h"

// Takes over the reference of every input slot it consumes and sets the slot
// to NULL; after a failure the slots still non-NULL belong to the caller.
// `values` NULL gives every item the value None. No key is compared.
BTreeObject *btree_build_sorted(PyObject **keys, PyObject **values, Py_ssize_t n);

inline BTreeObject *btree_build_from_sorted(PyObject **keys, Py_ssize_t n)
{
    return btree_build_sorted(keys, nullptr, n);
}
