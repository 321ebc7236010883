// Filling a map from Python data: construction, update(), fromkeys(),
// fromsorted() and unpickling, and the deep copy, which refills a new map.
#pragma once
#include <Python.h>

#include "bulk/pairs.h"

// Appends the items of a tree, read from its leaf chain once it is entered:
// taking references runs no Python code. A keyed map's items are its pairs;
// a tree that keeps no values gives its keys alone. 0 or -1.
int btreemap_gather_tree(BTreeCore *tree, BTreePairs &pairs);

// The dict rules of `arg` (a mapping with keys(), else an iterable of pairs,
// NULL for none) and then of `kwargs` (a dict or NULL), later pairs winning.
// An empty map is built bottom-up at once; a map with items takes the pairs
// one by one. 0 or -1.
int btreemap_update(PyObject *map, PyObject *arg, PyObject *kwargs);

// `pairs`, a list of (key, value) tuples whose keys must ascend strictly,
// built into the empty `map` in O(n). 0 or -1.
int btreemap_fill_sorted(PyObject *map, PyObject *pairs);

PyObject *BTreeMap_update(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *BTreeMap_fromkeys(PyObject *cls, PyObject *const *args, Py_ssize_t nargs);
PyObject *BTreeMap_fromsorted(PyObject *cls, PyObject *pairs);
// The map __reduce__ pickles: a list of keys in the map's order, the list
// of their values and the key function of a keyed map.
PyObject *BTreeMap_fromsortedlists(PyObject *cls, PyObject *const *args, Py_ssize_t nargs);
