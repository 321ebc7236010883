// The operations of a keyed map on one key: each finds the key's item in the
// run of key(k), telling apart keys with equal key(k) by ==. The map's
// methods call them in place of the core's own once they see a key function.
#pragma once
#include <Python.h>

#include "btreemap/object.h"
#include "ops/ops.h"

// key(k) as a new reference, or NULL with the key function's exception.
PyObject *btreemap_key_of(PyObject *map, PyObject *k);

// As btree_lookup: 1 with the value (new reference), 0 when absent, -1.
int btreemap_keyed_lookup(PyObject *map, PyObject *k, PyObject **value);

// Stores v under k. 0 or -1.
int btreemap_keyed_store(PyObject *map, PyObject *k, PyObject *v);

// As btree_pop_key: 1 with the value handed over, 0 when absent, -1.
int btreemap_keyed_pop(PyObject *map, PyObject *k, PyObject **value);

// The position of k: 1 with it in `*rank`, 0 when absent, -1.
int btreemap_keyed_find(PyObject *map, PyObject *k, Py_ssize_t *rank);

// The number of keys whose key(.) is less than (or, with `or_equal`, not
// greater than) key(k), or -1.
Py_ssize_t btreemap_keyed_rank(PyObject *map, PyObject *k, bool or_equal);

PyObject *btreemap_keyed_setdefault(PyObject *map, PyObject *k, PyObject *fallback);
PyObject *btreemap_keyed_increment(PyObject *map, PyObject *k, PyObject *delta, PyObject *start);

// The lookup of either kind of map, as btree_lookup.
inline int btreemap_lookup(PyObject *map, PyObject *k, PyObject **value)
{
    return btreemap_keyed(map) ? btreemap_keyed_lookup(map, k, value) : btree_lookup(btreemap_core(map), k, value);
}

// Stores v under k in either kind of map. 0 or -1.
inline int btreemap_store(PyObject *map, PyObject *k, PyObject *v)
{
    return btreemap_keyed(map) ? btreemap_keyed_store(map, k, v)
                               : btree_insert_item(btreemap_core(map), k, v, BTreeWrite::KeepShape);
}
