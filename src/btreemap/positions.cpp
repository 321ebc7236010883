#include "btreemap/positions.h"

#include "btreemap/iter.h"
#include "btreemap/object.h"
#include "ops/entry.h"

PyObject *btreemap_slice(PyObject *map, BTreeItemKind kind, PyObject *slice)
{
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0)
        return nullptr;
    BTreeCore *tree = btreemap_core(map);
    Py_ssize_t size = btree_looked_size(tree);
    if (size < 0)
        return nullptr;
    Py_ssize_t count = PySlice_AdjustIndices(size, &start, &stop, step);
    bool reverse = step < 0;
    PyObject *it = reverse ? btreemap_iter_new(map, kind, stop + 1, start + 1, true)
                           : btreemap_iter_new(map, kind, start, stop, false);
    PyObject *list = it ? PyList_New(count) : nullptr;
    Py_ssize_t stride = reverse ? -step : step;
    for (Py_ssize_t i = 0, taken = 0; list && taken < count; i++) {
        PyObject *element = PyIter_Next(it);
        if (!element) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
            Py_CLEAR(list);
        } else if (i % stride) {
            Py_DECREF(element);
        } else {
            PyList_SET_ITEM(list, taken++, element);
        }
    }
    Py_XDECREF(it);
    return list;
}

// A run (step 1 or -1) goes in one operation; other steps remove one position
// at a time, highest first, as a list does, and stop when anything else
// changed the tree in between (a finaliser of a removed item may).
int btreemap_delete_positions(PyObject *map, PyObject *index)
{
    BTreeCore *tree = btreemap_core(map);
    if (!PySlice_Check(index)) {
        Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred())
            return -1;
        return btree_delete_at(tree, i);
    }
    Py_ssize_t start, stop, step;
    Py_ssize_t size;
    if (PySlice_Unpack(index, &start, &stop, &step) < 0 || (size = btree_looked_size(tree)) < 0)
        return -1;
    Py_ssize_t count = PySlice_AdjustIndices(size, &start, &stop, step);
    if (count == 0)
        return 0;
    if (step == 1 || step == -1) {
        Py_ssize_t low = step == 1 ? start : stop + 1;
        return btree_remove_range(tree, low, low + count) < 0 ? -1 : 0;
    }
    Py_ssize_t highest = step > 0 ? start + (count - 1) * step : start;
    Py_ssize_t stride = step > 0 ? step : -step;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Each removal moves the version on by one; more means that the
        // finaliser of a removed item changed the tree.
        uint64_t version = btree_version(tree);
        if (btree_delete_at(tree, highest - i * stride) < 0)
            return -1;
        if (btree_version(tree) != version + 1 && i + 1 < count) {
            PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
            return -1;
        }
    }
    return 0;
}
