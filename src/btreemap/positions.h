// Reading and removing by position, shared by the views of maps and the
// sorted sequences: `map` is any object of this module that holds a tree.
#pragma once
#include <Python.h>

#include "ops/ops.h"

// The items at the positions a slice selects, as a list of `kind`: one
// descent to the first, then the leaf chain.
PyObject *btreemap_slice(PyObject *map, BTreeItemKind kind, PyObject *slice);

// Every item, in order, as a list of `kind`: one atomic view of the tree.
PyObject *btreemap_item_list(PyObject *map, BTreeItemKind kind);

// The elements of any iterable as a list; of this module's containers (the
// keys of a map), one atomic view, which no other thread's change stops.
PyObject *btreemap_list_of(PyObject *iterable);

// An iterator over those elements.
PyObject *btreemap_iter_of(PyObject *iterable);

// del x[i] and del x[i:j:k]: removes the items at those positions. 0 or -1.
int btreemap_delete_positions(PyObject *map, PyObject *index);
