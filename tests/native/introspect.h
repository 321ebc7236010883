// Functions of the test build that look inside trees. Each file serves one
// concern; introspect.cpp gathers them into the module's method table.
#pragma once
#include <Python.h>

#include "btree/object.h"

// The tree argument of an introspection function, or NULL with TypeError.
BTreeCore *introspect_tree_arg(PyObject *op);

// check(tree, strict=True): None, or AssertionError naming the first broken
// invariant.
PyObject *introspect_check(PyObject *module, PyObject *args, PyObject *kwds);

// dump(tree, depth=-1): the record and its nodes as nested dicts, down to
// `depth` levels below the root (all of them when negative).
PyObject *introspect_dump(PyObject *module, PyObject *args, PyObject *kwds);

// key_cmp(left, right, pending=None) and key_cmp_fast(left, right).
PyObject *introspect_key_cmp(PyObject *module, PyObject *args, PyObject *kwds);
PyObject *introspect_key_cmp_fast(PyObject *module, PyObject *args);

// kind_order(left, right): None unless both keys are of one kind that keeps
// primitives; else (compare, less, not_greater, order, tie) of its record on
// their primitives, the order values compared three-way, tie None for a
// whole kind.
PyObject *introspect_kind_order(PyObject *module, PyObject *args);
