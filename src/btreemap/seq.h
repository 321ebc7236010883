// The record of btreemap.BTreeList and btreemap.BTreeSet instances (or of a
// subclass's), and what their methods share. It is a map's record, so that
// the walks and the reads by position of maps serve them as well.
//
// Without a key function the tree's keys are the elements and its leaves
// keep no values; with one, each element is stored as the value of its key.
#pragma once
#include <Python.h>

#include "btreemap/object.h"
#include "ops/ops.h"

using BTreeSeqObject = BTreeMapObject;

extern PyTypeObject BTreeListType;
extern PyTypeObject BTreeSetType;

// The words of each type in the errors the core reports.
inline constexpr BTreeTexts BTREELIST_TEXTS = {
    "BTreeList reentrant access during comparison",
    "BTreeList mutated during iteration",
};
inline constexpr BTreeTexts BTREESET_TEXTS = {
    "BTreeSet reentrant access during comparison",
    "BTreeSet mutated during iteration",
};

inline BTreeSeqObject *btreeseq(PyObject *op)
{
    return reinterpret_cast<BTreeSeqObject *>(op);
}

inline bool btreeseq_is_set(PyObject *op)
{
    return PyObject_TypeCheck(op, &BTreeSetType);
}

inline bool btreeseq_check(PyObject *op)
{
    return PyObject_TypeCheck(op, &BTreeListType) || btreeseq_is_set(op);
}

// What a walk yields as the elements: the keys, or the values beside them.
inline BTreeItemKind btreeseq_elements(PyObject *op)
{
    return btreeseq(op)->key ? BTreeItemKind::Values : BTreeItemKind::Keys;
}

// Gives the empty tree of `self` the layout for key function `key` (NULL:
// none), which the object keeps (a new reference).
void btreeseq_set_key(PyObject *self, PyObject *key);

// The key of an element (a new reference): key(element), or the element
// itself. NULL with the key function's exception.
PyObject *btreeseq_key_of(PyObject *self, PyObject *element);

// A new, empty object of the type of `self` with its key function, or NULL.
PyObject *btreeseq_new_like(PyObject *self);

// Adds every element of `iterable`: a list keeps equal elements (each after
// those already there), a set only elements it does not hold. An empty
// object, or a large input, is built bottom-up in one pass. 0 or -1.
int btreeseq_update(PyObject *self, PyObject *iterable);

// Adds one element: 1 when added, 0 when a set holds it already, -1.
int btreeseq_add(PyObject *self, PyObject *element);

// Removes one element equal to `element`: 1, 0 when there is none, or -1.
int btreeseq_discard(PyObject *self, PyObject *element);

// Whether the object holds an element equal to `element`: 1, 0 or -1.
int btreeseq_contains(PyObject *self, PyObject *element);

// The shared methods, slots and attributes of both types, and each type's
// own methods; the method tables hold no terminating entry but the types'.
extern PyMethodDef btreeseq_methods[];
extern const Py_ssize_t btreeseq_method_count;
extern PyMethodDef btreeseq_search_methods[];
extern const Py_ssize_t btreeseq_search_method_count;
extern const PyMethodDef *btreelist_own_methods;
extern const PyMethodDef *btreeset_own_methods;
extern PyGetSetDef btreeseq_getset[];
extern PyMappingMethods btreeseq_as_mapping;
PyObject *btreeseq_iter(PyObject *self);
PyObject *btreeseq_repr(PyObject *self);
void btreeseq_dealloc(PyObject *self);
int btreeseq_traverse(PyObject *self, visitproc visit, void *arg);
int btreeseq_clear_refs(PyObject *self);
PyObject *btreeseq_new(PyTypeObject *type, PyObject *args, PyObject *kwargs);
int btreeseq_init(PyObject *self, PyObject *args, PyObject *kwargs);

// Readies both types, registers them with collections.abc and adds them to
// `module`. 0 or -1.
int btreeseq_add_types(PyObject *module);
