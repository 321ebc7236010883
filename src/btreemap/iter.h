// The iterator type of maps and their views: the items at positions
// [start, stop) in either direction, as keys, values or (key, value) tuples.
#pragma once
#include <Python.h>

#include "ops/ops.h"

// A new iterator over `map` yielding `kind` (of the map's keys and values,
// which btreemap_kind reads) from the clipped positions
// [start, stop), backward with `reverse`, made once no operation runs on the
// map. The positions are those of the map as it is at the call: read them
// after entering the map (btree_look), or the iterator refuses to start
// when another thread changed the map meanwhile.
PyObject *btreemap_iter_new(PyObject *map, BTreeItemKind kind, Py_ssize_t start, Py_ssize_t stop, bool reverse);

// The same over every item.
PyObject *btreemap_iter_all(PyObject *map, BTreeItemKind kind, bool reverse);
