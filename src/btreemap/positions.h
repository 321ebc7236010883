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

// del x[i] and del x[i:j:k]: removes the items at those positions. 0 or -1.
int btreemap_delete_positions(PyObject *map, PyObject *index);
