// The record of the views keys(), values() and items(), shared by the view
// types (views.cpp) and the set operations of the key and item views
// (viewsets.cpp).
#pragma once
#include <Python.h>

struct BTreeMapViewObject {
    PyObject_HEAD
    PyObject *map;  // the map viewed (strong)
};

inline PyObject *btreemap_view_map(PyObject *view)
{
    return reinterpret_cast<BTreeMapViewObject *>(view)->map;
}

// A new view of `type` on `map`, or NULL.
PyObject *btreemap_view_new(PyObject *map, PyTypeObject *type);

// Whether `element` is in the view: 1, 0 or -1.
int btreemap_view_contains(PyObject *view, PyObject *element);

// The set operations of the key and item views: the number slots, the
// comparisons and isdisjoint().
extern PyNumberMethods btreemap_set_view_number;
PyObject *btreemap_set_view_richcompare(PyObject *self, PyObject *other, int op);
PyObject *btreemap_set_view_isdisjoint(PyObject *self, PyObject *other);
