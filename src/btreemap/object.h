// The record of a btreemap.BTreeMap instance (or of a subclass's): the core
// tree record, and what only the Python object has.
#pragma once
#include <Python.h>

#include "nodes/tree.h"

#ifdef BTREE_TESTING
// The test build compiles this surface into _btree_test, whose check() and
// dump() then see inside maps too.
#define BTREEMAP_MODULE "_btree_test"
#else
#define BTREEMAP_MODULE "btreemap"
#endif

// What a walk over a map reports when the map changed under it.
constexpr const char *BTREEMAP_MUTATED = "BTreeMap mutated during iteration";

// The words of a map in the errors the core reports.
inline constexpr BTreeTexts BTREEMAP_TEXTS = {
    "BTreeMap reentrant access during comparison",
    BTREEMAP_MUTATED,
};

struct BTreeMapObject {
    PyObject_HEAD
    BTreeCore tree;          // the tree itself
    PyObject *weakreflist;  // weak references, managed by the interpreter
};

extern PyTypeObject BTreeMapType;
extern PyTypeObject BTreeMapIterType;
extern PyTypeObject BTreeMapKeysType;
extern PyTypeObject BTreeMapValuesType;
extern PyTypeObject BTreeMapItemsType;

inline BTreeCore *btreemap_core(PyObject *op)
{
    return &reinterpret_cast<BTreeMapObject *>(op)->tree;
}

inline bool btreemap_check(PyObject *op)
{
    return PyObject_TypeCheck(op, &BTreeMapType);
}

// A new, empty map of `type` (BTreeMapType or a subclass), or NULL.
PyObject *btreemap_alloc(PyTypeObject *type);

// Readies the types, registers them with collections.abc and adds BTreeMap
// to `module`. 0 or -1.
int btreemap_add_type(PyObject *module);
