// The (key, value) tuple an item iterator hands out. When the caller has
// already let go of the last one, as `for k, v in ...` does, it is refilled
// instead of a new one allocated, as dict's item iterator does.
#pragma once
#include <Python.h>

#include "compat.h"

struct BTreeItemTuple {
    PyObject *last = nullptr;  // the tuple handed out last (strong), or NULL
};

// A new tuple for the item: the last one is still in use elsewhere.
PyObject *btree_item_tuple_fresh(BTreeItemTuple &items, PyObject *key, PyObject *value);

// The item as a tuple (new reference), or NULL with an exception.
inline PyObject *btree_item_tuple(BTreeItemTuple &items, PyObject *key, PyObject *value)
{
    PyObject *item = items.last;
    if (!item || !PyUnstable_Object_IsUniquelyReferenced(item))
        return btree_item_tuple_fresh(items, key, value);
    PyObject *old_key = PyTuple_GET_ITEM(item, 0);
    PyObject *old_value = PyTuple_GET_ITEM(item, 1);
    PyTuple_SET_ITEM(item, 0, Py_NewRef(key));
    PyTuple_SET_ITEM(item, 1, Py_NewRef(value));
    // The collector may have untracked a tuple of untracked objects.
    if (!PyObject_GC_IsTracked(item))
        PyObject_GC_Track(item);
    Py_INCREF(item);
    Py_DECREF(old_key);
    Py_DECREF(old_value);
    return item;
}
