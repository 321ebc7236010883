// What the sorted sequences share as objects: making one with its key
// function, the collector's hooks, iteration, copies, pickling, size and
// repr.
#include <cstddef>
#include <cstring>

#include "btreemap/iter.h"
#include "btreemap/methods.h"
#include "btreemap/positions.h"
#include "btreemap/seq.h"
#include "compat.h"
#include "ops/entry.h"

void btreeseq_set_key(PyObject *self, PyObject *key)
{
    BTreeCore *tree = btreemap_core(self);
    BTREE_ASSERT(!tree->root);
    // An empty tree has no node, so its layout may change.
    tree->keys_only = !key;
    tree->equal_keys = !btreeseq_is_set(self) || key;
    PyObject *old = btreeseq(self)->key;
    btreeseq(self)->key = Py_XNewRef(key);
    Py_XDECREF(old);
}

PyObject *btreeseq_key_of(PyObject *self, PyObject *element)
{
    PyObject *key = btreeseq(self)->key;
    return key ? PyObject_CallOneArg(key, element) : Py_NewRef(element);
}

PyObject *btreeseq_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    bool is_set = PyType_IsSubtype(type, &BTreeSetType);
    btree_init(btreemap_core(self), is_set ? &BTREESET_TEXTS : &BTREELIST_TEXTS, true, !is_set);
    return self;
}

PyObject *btreeseq_new_like(PyObject *self)
{
    PyObject *copy = btreeseq_new(Py_TYPE(self), nullptr, nullptr);
    if (copy)
        btreeseq_set_key(copy, btreeseq(self)->key);
    return copy;
}

// __init__ starts afresh, as a list's does: the elements go, and the key
// function given is the one kept.
int btreeseq_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *names[] = {"iterable", "key", nullptr};
    PyObject *iterable = Py_None, *key = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char **>(names), &iterable, &key))
        return -1;
    if (key != Py_None && !PyCallable_Check(key)) {
        PyErr_Format(PyExc_TypeError, "key must be callable or None, not %.100s", Py_TYPE(key)->tp_name);
        return -1;
    }
    if (btree_size(btreemap_core(self)) && btree_clear(btreemap_core(self)) < 0)
        return -1;
    // Clearing let elements go, whose finalisers may have added others.
    if (btree_size(btreemap_core(self))) {
        PyErr_SetString(PyExc_RuntimeError, btreemap_core(self)->texts->mutated);
        return -1;
    }
    btreeseq_set_key(self, key == Py_None ? nullptr : key);
    return iterable == Py_None ? 0 : btreeseq_update(self, iterable);
}

void btreeseq_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, btreeseq_dealloc)
    if (btreeseq(self)->weakreflist)
        PyObject_ClearWeakRefs(self);
    btree_finalize(btreemap_core(self));
    Py_CLEAR(btreeseq(self)->key);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

int btreeseq_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(btreeseq(self)->key);
    return btree_traverse_tree(btreemap_core(self), visit, arg);
}

int btreeseq_clear_refs(PyObject *self)
{
    btree_clear_refs(btreemap_core(self));
    return 0;
}

PyObject *btreeseq_iter(PyObject *self)
{
    return btreemap_iter_all(self, btreeseq_elements(self), false);
}

namespace {

// The elements in order as a new list.
PyObject *element_list(PyObject *self)
{
    return btreemap_item_list(self, btreeseq_elements(self));
}

PyObject *Seq_reversed(PyObject *self, PyObject *)
{
    return btreemap_iter_all(self, btreeseq_elements(self), true);
}

PyObject *Seq_copy(PyObject *self, PyObject *)
{
    PyObject *copy = btreeseq_new_like(self);
    if (copy && btree_copy(btreemap_core(copy), btreemap_core(self)) < 0)
        Py_CLEAR(copy);
    return copy;
}

PyObject *Seq_deepcopy(PyObject *self, PyObject *memo)
{
    PyObject *copy = btreeseq_new_like(self);
    if (!copy)
        return nullptr;
    // Registered before the elements are copied, so that an object inside
    // itself becomes the copy inside the copy.
    PyObject *id = PyLong_FromVoidPtr(self);
    int rc = id ? PyObject_SetItem(memo, id, copy) : -1;
    Py_XDECREF(id);
    PyObject *elements = rc < 0 ? nullptr : element_list(self);
    PyObject *copy_module = elements ? PyImport_ImportModule("copy") : nullptr;
    PyObject *copied = copy_module ? PyObject_CallMethod(copy_module, "deepcopy", "OO", elements, memo) : nullptr;
    Py_XDECREF(copy_module);
    Py_XDECREF(elements);
    if (!copied || btreeseq_update(copy, copied) < 0)
        Py_CLEAR(copy);
    Py_XDECREF(copied);
    return copy;
}

// Pickled as the call that makes it again: the elements in order, which the
// bulk build takes in O(n), and the key function.
PyObject *Seq_reduce(PyObject *self, PyObject *)
{
    PyObject *elements = element_list(self);
    if (!elements)
        return nullptr;
    PyObject *key = btreeseq(self)->key ? btreeseq(self)->key : Py_None;
    return Py_BuildValue("(O(NO))", Py_TYPE(self), elements, key);
}

PyObject *Seq_sizeof(PyObject *self, PyObject *)
{
    // The node walk must not meet a tree in mid-change: a comparison of the
    // tree's own operation may call this, and another thread may wait here.
    BTreeCore *tree = btreemap_core(self);
    BTreeLook look(tree);
    if (!look)
        return nullptr;
    size_t bytes = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + btree_tree_bytes(tree);
    return PyLong_FromSize_t(bytes);
}

PyObject *Seq_get_key(PyObject *self, void *)
{
    PyObject *key = btreeseq(self)->key;
    return Py_NewRef(key ? key : Py_None);
}

}  // namespace

PyObject *btreeseq_repr(PyObject *self)
{
    const char *name = btree_type_name(Py_TYPE(self));
    int entered = Py_ReprEnter(self);
    if (entered != 0)
        return entered > 0 ? PyUnicode_FromFormat("%s(...)", name) : nullptr;
    PyObject *elements = element_list(self);
    PyObject *result = nullptr;
    if (elements) {
        PyObject *key = btreeseq(self)->key;
        result = key ? PyUnicode_FromFormat("%s(%R, key=%R)", name, elements, key)
                     : PyUnicode_FromFormat("%s(%R)", name, elements);
        Py_DECREF(elements);
    }
    Py_ReprLeave(self);
    return result;
}

PyGetSetDef btreeseq_getset[] = {
    {"key", Seq_get_key, nullptr,
     "The key function that orders the elements, or None. O(1).\n\n"
     ">>> BTreeList(['b', 'A'], key=str.lower).key\n"
     "<method 'lower' of 'str' objects>\n"
     ">>> BTreeSet().key is None\n"
     "True",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef btreeseq_methods[] = {
    {"__reversed__", Seq_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\n"
     "A lazy iterator over the elements in descending order. O(log n) to\n"
     "start, then O(1) per element.\n\n"
     ">>> list(reversed(BTreeList([2, 3, 1])))\n"
     "[3, 2, 1]"},
    {"copy", Seq_copy, METH_NOARGS,
     "copy($self, /)\n--\n\n"
     "A shallow copy of the same type and key function, node for node in\n"
     "O(n): no element is compared.\n\n"
     ">>> BTreeList([2, 1, 2]).copy(), BTreeSet([2, 1, 2]).copy()\n"
     "(BTreeList([1, 2, 2]), BTreeSet([1, 2]))"},
    {"__copy__", Seq_copy, METH_NOARGS,
     "__copy__($self, /)\n--\n\n"
     "The same as copy(), for copy.copy(). O(n).\n\n"
     ">>> import copy\n"
     ">>> copy.copy(BTreeSet('ba'))\n"
     "BTreeSet(['a', 'b'])"},
    {"__deepcopy__", Seq_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\n"
     "A deep copy, for copy.deepcopy(): the elements copied with it, then\n"
     "added in order as the constructor adds them, O(n) besides the copying\n"
     "(O(n log n) for a set with a key function).\n\n"
     ">>> import copy\n"
     ">>> s = BTreeList([(1, [])])\n"
     ">>> c = copy.deepcopy(s)\n"
     ">>> c == s, c[0] is s[0]\n"
     "(True, False)"},
    {"__reduce__", Seq_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickle support: the class, the elements in order and the key function,\n"
     "which unpickling hands to the constructor. O(n).\n\n"
     ">>> import pickle\n"
     ">>> pickle.loads(pickle.dumps(BTreeSet([3, 1, 2])))\n"
     "BTreeSet([1, 2, 3])"},
    {"__sizeof__", Seq_sizeof, METH_NOARGS,
     "__sizeof__($self, /)\n--\n\n"
     "Bytes taken by the object and its nodes, not by the elements. O(n), a\n"
     "walk over the nodes.\n\n"
     ">>> import sys\n"
     ">>> sys.getsizeof(BTreeList()) < sys.getsizeof(BTreeList(range(1000)))\n"
     "True"},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe generic alias of the type, for annotations."},
};
const Py_ssize_t btreeseq_method_count = sizeof(btreeseq_methods) / sizeof(btreeseq_methods[0]);

namespace {

// A type's method table: its own methods, then the shared ones. Made once,
// for the life of the process.
PyMethodDef *method_table(const PyMethodDef *own)
{
    Py_ssize_t own_count = 0;
    while (own[own_count].ml_name)
        own_count++;
    Py_ssize_t total = own_count + btreeseq_method_count + btreeseq_search_method_count + 1;
    auto *table = static_cast<PyMethodDef *>(PyMem_Calloc(static_cast<size_t>(total), sizeof(PyMethodDef)));
    if (!table) {
        PyErr_NoMemory();
        return nullptr;
    }
    memcpy(table, own, static_cast<size_t>(own_count) * sizeof(PyMethodDef));
    memcpy(table + own_count, btreeseq_methods, static_cast<size_t>(btreeseq_method_count) * sizeof(PyMethodDef));
    memcpy(table + own_count + btreeseq_method_count, btreeseq_search_methods,
           static_cast<size_t>(btreeseq_search_method_count) * sizeof(PyMethodDef));
    return table;
}

}  // namespace

int btreeseq_add_types(PyObject *module)
{
    if (!BTreeListType.tp_methods) {
        BTreeListType.tp_methods = method_table(btreelist_own_methods);
        BTreeSetType.tp_methods = method_table(btreeset_own_methods);
        if (!BTreeListType.tp_methods || !BTreeSetType.tp_methods)
            return -1;
    }
    if (PyType_Ready(&BTreeListType) < 0 || PyType_Ready(&BTreeSetType) < 0)
        return -1;
    if (btreemap_register_abc(&BTreeListType, "Sequence") < 0 ||
        btreemap_register_abc(&BTreeSetType, "MutableSet") < 0 || btreemap_register_abc(&BTreeSetType, "Sequence") < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "BTreeList", reinterpret_cast<PyObject *>(&BTreeListType)) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "BTreeSet", reinterpret_cast<PyObject *>(&BTreeSetType));
}
