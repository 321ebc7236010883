// The record of a btreemap.BTreeMap instance (or of a subclass's): the core
// tree record, and what only the Python object has.
#pragma once
#include <Python.h>

#include "nodes/tree.h"
#include "ops/ops.h"

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

// With a key function the tree's key of an item is key(k) and its value the
// pair (k, v) (BTreeCore::pair_values).
struct BTreeMapObject {
    PyObject_HEAD
    BTreeCore tree;          // the tree itself
    PyObject *weakreflist;  // weak references, managed by the interpreter
    PyObject *key;          // the key function, or NULL
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

// Whether the map orders its keys by a key function.
inline bool btreemap_keyed(PyObject *op)
{
    return reinterpret_cast<BTreeMapObject *>(op)->key != nullptr;
}

// A new, empty map of `type` (BTreeMapType or a subclass), or NULL.
PyObject *btreemap_alloc(PyTypeObject *type);

// A new, empty map of the type of `map` with its key function, or NULL.
PyObject *btreemap_alloc_like(PyObject *map);

// Gives the empty map the layout for key function `key` (NULL: none), which
// it keeps (a new reference).
void btreemap_set_key(PyObject *map, PyObject *key);

// What a walk over `map` reads to yield `kind`: in a keyed map the members of
// the stored pairs, the pair itself being the item.
inline BTreeItemKind btreemap_kind(PyObject *map, BTreeItemKind kind)
{
    if (!btreemap_core(map)->pair_values)
        return kind;
    return kind == BTreeItemKind::Keys     ? BTreeItemKind::PairKeys
           : kind == BTreeItemKind::Values ? BTreeItemKind::PairValues
                                           : BTreeItemKind::Values;
}

// Readies the types, registers them with collections.abc and adds BTreeMap
// to `module`. 0 or -1.
int btreemap_add_type(PyObject *module);
