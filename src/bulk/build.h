// Building a packed tree bottom-up from keys already in ascending order.
#pragma once
#include "nodes/tree.h"

// What a caller already knows of the keys it hands over: every key has a
// primitive of `kind` (int64, float64 or string prefix), given in `prims`, and
// `key_type` is their common exact type or NULL. The build then reads no key
// object.
struct BTreeKnownKeys {
    BTreeKeyKind kind;
    const BTreePrim *prims;
    PyTypeObject *key_type;
};

// Fills the empty tree `dst` with the n items: every leaf full but the last,
// and every internal node but the rightmost of its level. Takes over the
// reference of every input slot it consumes and sets the slot to NULL; after
// a failure `dst` is empty again and the slots still non-NULL belong to the
// caller. `values` NULL gives every item the value None; a tree that keeps
// no values takes none (`values` is NULL). No key is compared.
// 0 or -1.
int btree_build_sorted(BTreeCore *dst, PyObject **keys, PyObject **values, Py_ssize_t n,
                       const BTreeKnownKeys *known = nullptr);

// Fills the empty tree `dst`, which keeps no values, with the n keys of
// `items` (borrowed references, a list's or tuple's items) as
// btree_build_sorted would, reading them straight into the leaves in one
// pass, when they ascend (equal keys side by side, of which `unique` keeps
// only the first) and all have primitives of one kind. Runs no Python code. 0 when built; 1 with `dst` still empty when the keys ask for
// ordering or object comparison first; -1 with an exception (a NaN key, no
// memory) and `dst` still empty.
int btree_build_ascending(BTreeCore *dst, PyObject *const *items, Py_ssize_t n, bool unique);
