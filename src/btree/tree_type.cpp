#include <cstddef>

#include "btree/iter.h"
#include "btree/object.h"
#include "nodes/tree.h"
#include "ops/ops.h"

namespace {

PyObject *BTree_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    // Arguments would be data the caller expects to find in the tree.
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_SetString(PyExc_TypeError, "BTree() takes no arguments");
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self)
        btree_init(btree_core(self), &BTREE_TEXTS);
    return self;
}

void BTree_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, BTree_dealloc)
    if (reinterpret_cast<BTreeObject *>(self)->weakreflist)
        PyObject_ClearWeakRefs(self);
    btree_finalize(btree_core(self));
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

int BTree_traverse(PyObject *self, visitproc visit, void *arg)
{
    return btree_traverse_tree(btree_core(self), visit, arg);
}

int BTree_clear_refs(PyObject *self)
{
    btree_clear_refs(btree_core(self));
    return 0;
}

Py_ssize_t BTree_len(PyObject *self)
{
    return btree_size(btree_core(self));
}

PyObject *BTree_clear(PyObject *self, PyObject *)
{
    if (btree_clear(btree_core(self)) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *BTree_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "insert() takes 1 or 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *value = nargs == 2 ? args[1] : Py_None;
    if (btree_insert_item(btree_core(self), args[0], value) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *BTree_search(PyObject *self, PyObject *key)
{
    return btree_search_item(btree_core(self), key);
}

PyObject *BTree_keys(PyObject *self, PyObject *)
{
    return btree_iter_new(self, BTreeItemKind::Keys);
}

PyObject *BTree_values(PyObject *self, PyObject *)
{
    return btree_iter_new(self, BTreeItemKind::Values);
}

PyObject *BTree_items(PyObject *self, PyObject *)
{
    return btree_iter_new(self, BTreeItemKind::Items);
}

PyObject *BTree_delete(PyObject *self, PyObject *key)
{
    if (btree_delete_item(btree_core(self), key) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *btree_rank_object(PyObject *self, PyObject *key, bool or_equal)
{
    Py_ssize_t count = btree_rank(btree_core(self), key, or_equal);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

PyObject *BTree_bisect_left(PyObject *self, PyObject *key)
{
    return btree_rank_object(self, key, false);
}

PyObject *BTree_bisect_right(PyObject *self, PyObject *key)
{
    return btree_rank_object(self, key, true);
}

// The arguments of irange(min=None, max=None, inclusive=None), by position
// or by name, with the messages of the interpreter's own argument parser.
int irange_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *out[3])
{
    static const char *const names[] = {"min", "max", "inclusive"};
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > 3) {
        PyErr_Format(PyExc_TypeError, "irange() takes at most 3 arguments (%zd given)", nargs + nkw);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++)
        out[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        int slot = 0;
        while (slot < 3 && PyUnicode_CompareWithASCIIString(name, names[slot]) != 0)
            slot++;
        if (slot == 3) {
            PyErr_Format(PyExc_TypeError, "irange() got an unexpected keyword argument '%U'", name);
            return -1;
        }
        if (slot < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for irange() given by name ('%s') and position (%d)",
                         names[slot], slot + 1);
            return -1;
        }
        out[slot] = args[nargs + k];
    }
    return 0;
}

PyObject *BTree_irange(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    PyObject *arg[3] = {Py_None, Py_None, Py_None};
    if (irange_arguments(args, PyVectorcall_NARGS(nargsf), kwnames, arg) < 0)
        return nullptr;
    return btree_irange(btree_core(self), arg[0], arg[1], arg[2]);
}

template <auto F>
PyCFunction as_cfunction()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef BTree_methods[] = {
    {"insert", as_cfunction<BTree_insert>(), METH_FASTCALL,
     "insert($self, key, value=None, /)\n--\n\n"
     "Store value under key, replacing the value of an equal key."},
    {"delete", BTree_delete, METH_O,
     "delete($self, key, /)\n--\n\n"
     "Remove the item of key; KeyError when there is none."},
    {"search", BTree_search, METH_O,
     "search($self, key, /)\n--\n\n"
     "Return the value stored under key; KeyError when there is none."},
    {"clear", BTree_clear, METH_NOARGS,
     "clear($self, /)\n--\n\n"
     "Remove every item."},
    {"keys", BTree_keys, METH_NOARGS,
     "keys($self, /)\n--\n\n"
     "Return an iterator over the keys in ascending order."},
    {"values", BTree_values, METH_NOARGS,
     "values($self, /)\n--\n\n"
     "Return an iterator over the values in the order of their keys."},
    {"items", BTree_items, METH_NOARGS,
     "items($self, /)\n--\n\n"
     "Return an iterator over the (key, value) pairs in ascending key order."},
    {"bisect_left", BTree_bisect_left, METH_O,
     "bisect_left($self, key, /)\n--\n\n"
     "Return the number of keys less than key."},
    {"bisect_right", BTree_bisect_right, METH_O,
     "bisect_right($self, key, /)\n--\n\n"
     "Return the number of keys less than or equal to key."},
    {"irange", as_cfunction<BTree_irange>(), METH_FASTCALL | METH_KEYWORDS,
     "irange($self, /, min=None, max=None, inclusive=None)\n--\n\n"
     "Return the list of keys from min to max in ascending order.\n\n"
     "A bound of None is no bound. inclusive is a pair of flags, for min and\n"
     "for max; both bounds are included by default."},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods BTree_as_sequence = {
    .sq_length = BTree_len,
};

}  // namespace

PyObject *btree_new_object()
{
    PyObject *self = BTreeType.tp_alloc(&BTreeType, 0);
    if (self)
        btree_init(btree_core(self), &BTREE_TEXTS);
    return self;
}

PyTypeObject BTreeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree.BTree",
    .tp_basicsize = sizeof(BTreeObject),
    .tp_itemsize = 0,
    .tp_dealloc = BTree_dealloc,
    .tp_as_sequence = &BTree_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BTree()\n--\n\n"
              "A sorted map held in memory as a B+ tree.\n\n"
              "Keys are any mutually orderable objects, kept in ascending order; each\n"
              "key carries one value. Trees of int, float or str keys compare machine\n"
              "values instead of calling back into Python.",
    .tp_traverse = BTree_traverse,
    .tp_clear = BTree_clear_refs,
    .tp_weaklistoffset = offsetof(BTreeObject, weakreflist),
    .tp_methods = BTree_methods,
    .tp_new = BTree_new,
};
