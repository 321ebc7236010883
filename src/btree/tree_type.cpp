#include <cstddef>

#include "btree/iter.h"
#include "btree/tree.h"
#include "keys/kind.h"
#include "nodes/release.h"
#include "ops/ops.h"

static void btree_init_fields(BTreeObject *tree)
{
    tree->root = nullptr;
    tree->size = 0;
    tree->key_type = nullptr;
    tree->key_kind = KEY_KIND_NONE;
    tree->busy = 0;
    tree->weakreflist = nullptr;
    tree->cache_key = nullptr;
    tree->path = nullptr;
    tree->path_len = 0;
    tree->path_cap = 0;
    tree->version = 0;
    tree->cache_version = 0;
}

static PyObject *BTree_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self)
        btree_init_fields(reinterpret_cast<BTreeObject *>(self));
    return self;
}

BTreeObject *btree_new_tree()
{
    return reinterpret_cast<BTreeObject *>(BTree_new(&BTreeType, nullptr, nullptr));
}

// Takes the node tree out of the record, which is left empty, so that the
// finalisers run while the nodes are released find nothing of them.
static BTreeNode *btree_detach(BTreeObject *tree)
{
    BTreeNode *root = tree->root;
    tree->root = nullptr;
    tree->size = 0;
    tree->key_type = nullptr;
    tree->key_kind = KEY_KIND_NONE;
    return root;
}

static void BTree_dealloc(PyObject *self)
{
    auto *tree = reinterpret_cast<BTreeObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, BTree_dealloc)
    if (tree->weakreflist)
        PyObject_ClearWeakRefs(self);
    btree_node_free(btree_detach(tree));
    btree_cache_clear(tree);
    btree_mem_free(tree->path);
    tree->path = nullptr;
    tree->path_cap = 0;
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

static int BTree_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *tree = reinterpret_cast<BTreeObject *>(self);
    int r = btree_traverse_node(tree->root, visit, arg);
    if (r)
        return r;
    Py_VISIT(tree->cache_key);
    return 0;
}

static int BTree_clear_refs(PyObject *self)
{
    auto *tree = reinterpret_cast<BTreeObject *>(self);
    BTreeReleaseList pending;
    BTreeNode *root = btree_detach(tree);
    tree->busy = 0;
    btree_cache_drop(tree, pending);
    // Moving `version` on keeps an iterator that survives the collection from
    // stepping into the released nodes.
    tree->version++;
    btree_node_free(root);
    return 0;
}

static Py_ssize_t BTree_len(PyObject *self)
{
    return reinterpret_cast<BTreeObject *>(self)->size;
}

static PyObject *BTree_clear(PyObject *self, PyObject *)
{
    auto *tree = reinterpret_cast<BTreeObject *>(self);
    if (btree_guard_test(tree) < 0)
        return nullptr;
    BTreeBusy busy(tree);
    BTreeReleaseList pending;
    BTreeNode *root = btree_detach(tree);
    btree_mutated(tree, pending);
    btree_node_free(root);
    Py_RETURN_NONE;
}

static PyObject *BTree_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "insert() takes 1 or 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *value = nargs == 2 ? args[1] : Py_None;
    if (btree_insert_item(reinterpret_cast<BTreeObject *>(self), args[0], value) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *BTree_search(PyObject *self, PyObject *key)
{
    return btree_search_item(reinterpret_cast<BTreeObject *>(self), key);
}

static PyObject *BTree_keys(PyObject *self, PyObject *)
{
    return btree_iter_new(reinterpret_cast<BTreeObject *>(self), BTREE_ITER_KEYS);
}

static PyObject *BTree_values(PyObject *self, PyObject *)
{
    return btree_iter_new(reinterpret_cast<BTreeObject *>(self), BTREE_ITER_VALUES);
}

static PyObject *BTree_items(PyObject *self, PyObject *)
{
    return btree_iter_new(reinterpret_cast<BTreeObject *>(self), BTREE_ITER_ITEMS);
}

static PyObject *BTree_delete(PyObject *self, PyObject *key)
{
    if (btree_delete_item(reinterpret_cast<BTreeObject *>(self), key) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *btree_rank_object(PyObject *self, PyObject *key, int or_equal)
{
    Py_ssize_t count = btree_rank(reinterpret_cast<BTreeObject *>(self), key, or_equal);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

static PyObject *BTree_bisect_left(PyObject *self, PyObject *key)
{
    return btree_rank_object(self, key, 0);
}

static PyObject *BTree_bisect_right(PyObject *self, PyObject *key)
{
    return btree_rank_object(self, key, 1);
}

// The arguments of irange(min=None, max=None, inclusive=None), by position
// or by name, with the messages of the interpreter's own argument parser.
static int irange_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *out[3])
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

static PyObject *BTree_irange(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    auto *tree = reinterpret_cast<BTreeObject *>(self);
    PyObject *arg[3] = {Py_None, Py_None, Py_None};
    if (irange_arguments(args, PyVectorcall_NARGS(nargsf), kwnames, arg) < 0)
        return nullptr;
    PyObject *min = arg[0], *max = arg[1], *inclusive = arg[2];
    if ((min != Py_None && btree_nan_check(min) < 0) || (max != Py_None && btree_nan_check(max) < 0))
        return nullptr;
    // Here the guard is taken before `inclusive` is read.
    if (btree_guard_test(tree) < 0)
        return nullptr;
    BTreeBusy busy(tree);
    int inclusive_min, inclusive_max;
    if (btree_parse_inclusive(inclusive, &inclusive_min, &inclusive_max) < 0)
        return nullptr;
    return btree_collect_range(tree, min, max, inclusive_min, inclusive_max);
}

static PyMethodDef BTree_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(BTree_insert)), METH_FASTCALL, nullptr},
    {"delete", BTree_delete, METH_O, nullptr},
    {"search", BTree_search, METH_O, nullptr},
    {"clear", BTree_clear, METH_NOARGS, nullptr},
    {"keys", BTree_keys, METH_NOARGS, nullptr},
    {"values", BTree_values, METH_NOARGS, nullptr},
    {"items", BTree_items, METH_NOARGS, nullptr},
    {"bisect_left", BTree_bisect_left, METH_O, nullptr},
    {"bisect_right", BTree_bisect_right, METH_O, nullptr},
    {"irange", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(BTree_irange)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PySequenceMethods BTree_as_sequence = {
    .sq_length = BTree_len,
};

PyTypeObject BTreeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree.BTree",
    .tp_basicsize = sizeof(BTreeObject),
    .tp_itemsize = 0,
    .tp_dealloc = BTree_dealloc,
    .tp_as_sequence = &BTree_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = BTree_traverse,
    .tp_clear = BTree_clear_refs,
    .tp_weaklistoffset = offsetof(BTreeObject, weakreflist),
    .tp_methods = BTree_methods,
    .tp_new = BTree_new,
};
