// Building a packed tree bottom-up from keys already in ascending order.
#pragma once
#include "btree/tree.h"

// What a caller already knows of the keys it hands over: every key has a
// primitive of `kind` (int64, float64 or string prefix), given in `prims`, and
// `key_type` is their common exact type or NULL. The build then reads no key
// object.
struct BTreeKnownKeys {
    int32_t kind;
    const BTreePrim *prims;
    PyTypeObject *key_type;
};

// Takes over the reference of every input slot it consumes and sets the slot
// to NULL; after a failure the slots still non-NULL belong to the caller.
// `values` NULL gives every item the value None. No key is compared.
BTreeObject *btree_build_sorted(PyObject **keys, PyObject **values, Py_ssize_t n,
                                const BTreeKnownKeys *known = nullptr);

inline BTreeObject *btree_build_from_sorted(PyObject **keys, Py_ssize_t n, const BTreeKnownKeys *known = nullptr)
{
    return btree_build_sorted(keys, nullptr, n, known);
}
