// The iterator type of maps and their views: the items at positions
// [start, stop) in either direction, as keys, values or (key, value) tuples.
#pragma once
#include <Python.h>

#include "ops/ops.h"

// A new iterator over `map` yielding `kind` (of the map's keys and values,
// which btreemap_kind reads) from the positions [start, stop), backward
// with `reverse`, made once no operation runs on the map and clipped to the
// map as it is then. With `shape_version`, the version the positions were
// read at: a change since (another thread's, or a finaliser's) then stops
// the walk at its first step instead of leading it elsewhere.
PyObject *btreemap_iter_new(PyObject *map, BTreeItemKind kind, Py_ssize_t start, Py_ssize_t stop, bool reverse,
                            const uint64_t *shape_version = nullptr);

// The same over every item.
PyObject *btreemap_iter_all(PyObject *map, BTreeItemKind kind, bool reverse);
