// The iterator type of maps and their views: the items at positions
// [start, stop) in either direction, as keys, values or (key, value) tuples.
#pragma once
#include <Python.h>

// A new iterator over `map` yielding `kind` (PyBTree_ITER_*) from the clipped
// positions [start, stop), backward with `reverse`. Refused while the map's
// guard is held. The positions are those of the map as it is at the call:
// read them after waiting for the guard (btree_guard_test), or the iterator
// refuses to start when another thread changed the map meanwhile.
PyObject *btreemap_iter_new(PyObject *map, int kind, Py_ssize_t start, Py_ssize_t stop, bool reverse);

// The same over every item.
PyObject *btreemap_iter_all(PyObject *map, int kind, bool reverse);
