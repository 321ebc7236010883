#include "btree/iter.h"

PyObject *btree_iter_new(BTreeObject *tree, int kind)
{
    if (btree_guard_test(tree) < 0)
        return nullptr;
    BTreeIterObject *it = PyObject_GC_New(BTreeIterObject, &BTreeIterType);
    if (!it)
        return nullptr;
    it->tree = reinterpret_cast<BTreeObject *>(Py_NewRef(reinterpret_cast<PyObject *>(tree)));
    it->kind = kind;
    it->leaf = nullptr;
    it->pos = 0;
    it->version = tree->version;
    it->reserved1 = -1;
    it->reserved2 = 0;
    it->reserved3 = nullptr;
    it->reserved4 = nullptr;
    it->last_item = nullptr;
    BTreeNode *node = tree->root;
    while (node && !node->is_leaf)
        node = node->inner.children[0];
    it->leaf = node;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

static PyObject *btree_iter_item(BTreeIterObject *it, PyObject *key, PyObject *value)
{
    PyObject *item = it->last_item;
    if (item && Py_REFCNT(item) == 1) {
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
    // Allocating the tuple may run a collection, and a finaliser may then
    // remove this item from the tree: hold the key and value meanwhile.
    Py_INCREF(key);
    Py_INCREF(value);
    PyObject *fresh = PyTuple_Pack(2, key, value);
    Py_DECREF(key);
    Py_DECREF(value);
    if (!fresh)
        return nullptr;
    it->last_item = Py_NewRef(fresh);
    Py_XDECREF(item);  // the previous tuple, still held elsewhere
    return fresh;
}

PyObject *BTreeIter_iternext(PyObject *self)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    if (it->tree && it->version != it->tree->version) {
        PyErr_SetString(PyExc_RuntimeError, "BTree mutated during iteration");
        return nullptr;
    }
    BTreeNode *leaf = it->leaf;
    Py_ssize_t pos = it->pos;
    while (leaf && pos >= leaf->n) {
        leaf = leaf->leaf.next;
        pos = 0;
    }
    it->leaf = leaf;
    if (!leaf) {
        it->pos = 0;
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    it->pos = pos + 1;
    PyObject *key = leaf->keys[pos];
    PyObject *value = leaf->leaf.values[pos];
    if (it->kind == BTREE_ITER_KEYS)
        return Py_NewRef(key);
    if (it->kind == BTREE_ITER_VALUES)
        return Py_NewRef(value);
    return btree_iter_item(it, key, value);
}

static void BTreeIter_dealloc(PyObject *self)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(reinterpret_cast<PyObject *>(it->tree));
    Py_XDECREF(it->last_item);
    PyMem_Free(it->reserved3);
    PyMem_Free(it->reserved4);
    PyObject_GC_Del(self);
}

static int BTreeIter_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    Py_VISIT(reinterpret_cast<PyObject *>(it->tree));
    Py_VISIT(it->last_item);
    return 0;
}

static int BTreeIter_clear(PyObject *self)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    PyObject *tree = reinterpret_cast<PyObject *>(it->tree);
    it->tree = nullptr;
    it->leaf = nullptr;
    it->pos = 0;
    Py_XDECREF(tree);
    Py_CLEAR(it->last_item);
    return 0;
}

PyTypeObject BTreeIterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree._BTreeIter",
    .tp_basicsize = sizeof(BTreeIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = BTreeIter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = BTreeIter_traverse,
    .tp_clear = BTreeIter_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = BTreeIter_iternext,
};
