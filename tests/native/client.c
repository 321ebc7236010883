/* _btree_client: a client extension that reaches trees only through the
 * capsule table declared in btree_capi.h, as third-party code does. Each of
 * the sixteen entries is exposed as a function of the same purpose.
 *
 * The table is imported from btree on first use; use_capsule() switches to
 * the table of another capsule (the test build publishes its own). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "btree_capi.h"
#include "compat.h"

static const PyBTree_CAPI *api;
static PyObject *api_capsule; /* keeps a capsule chosen by use_capsule alive */
static PyObject *end_marker;  /* returned by iter_next at the end */

static const PyBTree_CAPI *table(void)
{
    if (!api)
        api = PyBTree_ImportAPI();
    return api;
}

/* An entry reported failure: its exception stands, and an entry that failed
 * without setting one is a bug worth seeing. */
static PyObject *failed(void)
{
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "btree entry failed without setting an exception");
    return NULL;
}

static PyObject *object_result(PyObject *result)
{
    return result ? result : failed();
}

static PyObject *status_result(int status)
{
    if (status < 0)
        return failed();
    if (status != 0)
        return PyErr_Format(PyExc_SystemError, "btree entry returned %d", status);
    Py_RETURN_NONE;
}

static PyObject *count_result(Py_ssize_t count)
{
    return count < 0 ? failed() : PyLong_FromSsize_t(count);
}

static PyObject *client_use_capsule(PyObject *self, PyObject *args)
{
    PyObject *capsule;
    const char *name = NULL;
    (void)self;
    if (!PyArg_ParseTuple(args, "O|s:use_capsule", &capsule, &name))
        return NULL;
    if (capsule == Py_None) {
        api = NULL;
        Py_CLEAR(api_capsule);
        Py_RETURN_NONE;
    }
    if (!name)
        return PyErr_Format(PyExc_TypeError, "use_capsule() needs the capsule's name");
    const PyBTree_CAPI *chosen = PyBTree_APIFromCapsule(capsule, name);
    if (!chosen)
        return NULL;
    Py_INCREF(capsule);
    Py_XSETREF(api_capsule, capsule);
    api = chosen;
    Py_RETURN_NONE;
}

static PyObject *client_slots_filled(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    const PyBTree_CAPI *t = table();
    if (!t)
        return NULL;
    void *slots[PyBTree_API_POINTERS];
    memcpy(slots, t, sizeof slots);
    int filled = 0;
    for (int i = 0; i < PyBTree_API_POINTERS; i++)
        filled += slots[i] != NULL;
    return PyLong_FromLong(filled);
}

static PyObject *client_insert(PyObject *self, PyObject *args)
{
    PyObject *tree, *key, *value;
    (void)self;
    if (!PyArg_ParseTuple(args, "OOO:insert", &tree, &key, &value) || !table())
        return NULL;
    return status_result(api->Insert(tree, key, value));
}

/* The entries that take two objects: a tree and a key, or two trees. */
#define TWO_OBJECT_ENTRY(name, entry, result)                                 \
    static PyObject *client_##name(PyObject *self, PyObject *args)            \
    {                                                                         \
        PyObject *first, *second;                                             \
        (void)self;                                                           \
        if (!PyArg_ParseTuple(args, "OO:" #name, &first, &second) || !table()) \
            return NULL;                                                      \
        return result(api->entry(first, second));                             \
    }

TWO_OBJECT_ENTRY(delete, Delete, status_result)
TWO_OBJECT_ENTRY(search, Search, object_result)
TWO_OBJECT_ENTRY(bisect_left, BisectLeft, count_result)
TWO_OBJECT_ENTRY(bisect_right, BisectRight, count_result)
TWO_OBJECT_ENTRY(merge_union, MergeUnion, object_result)
TWO_OBJECT_ENTRY(merge_intersection, MergeIntersection, object_result)
TWO_OBJECT_ENTRY(merge_difference, MergeDifference, object_result)

/* Bounds and flags left out are passed as NULL pointers. */
static PyObject *client_irange(PyObject *self, PyObject *args)
{
    PyObject *tree, *min = NULL, *max = NULL, *inclusive = NULL;
    (void)self;
    if (!PyArg_ParseTuple(args, "O|OOO:irange", &tree, &min, &max, &inclusive) || !table())
        return NULL;
    return object_result(api->IRange(tree, min, max, inclusive));
}

static PyObject *client_get_item_by_index(PyObject *self, PyObject *args)
{
    PyObject *tree;
    Py_ssize_t index;
    int kind = PyBTree_ITER_ITEMS;
    (void)self;
    if (!PyArg_ParseTuple(args, "On|i:get_item_by_index", &tree, &index, &kind) || !table())
        return NULL;
    return object_result(api->GetItemByIndex(tree, index, kind));
}

static PyObject *client_iter_new(PyObject *self, PyObject *args)
{
    PyObject *tree;
    int kind = PyBTree_ITER_KEYS;
    (void)self;
    if (!PyArg_ParseTuple(args, "O|i:iter_new", &tree, &kind) || !table())
        return NULL;
    return object_result(api->IterNew(tree, kind));
}

static PyObject *client_iter_next(PyObject *self, PyObject *iter)
{
    (void)self;
    if (!table())
        return NULL;
    PyObject *item = api->IterNext(iter);
    if (item)
        return item;
    return PyErr_Occurred() ? NULL : Py_NewRef(end_marker);
}

static PyObject *client_copy(PyObject *self, PyObject *tree)
{
    (void)self;
    if (!table())
        return NULL;
    return object_result(api->Copy(tree));
}

static PyObject *client_increment(PyObject *self, PyObject *args)
{
    PyObject *tree, *key, *delta, *start;
    (void)self;
    if (!PyArg_ParseTuple(args, "OOOO:increment", &tree, &key, &delta, &start) || !table())
        return NULL;
    return object_result(api->Increment(tree, key, delta, start));
}

/* A list of booleans: which of the `len` slots the entry set to NULL. */
static PyObject *taken_slots(PyObject **slots, Py_ssize_t len)
{
    PyObject *taken = PyList_New(len);
    if (!taken)
        return NULL;
    for (Py_ssize_t i = 0; i < len; i++)
        PyList_SET_ITEM(taken, i, PyBool_FromLong(slots[i] == NULL));
    return taken;
}

/* Copies the list into an array of new references; NULL with MemoryError. */
static PyObject **owned_array(PyObject *list, Py_ssize_t len)
{
    PyObject **slots = PyMem_New(PyObject *, len ? len : 1);
    if (!slots) {
        PyErr_NoMemory();
        return NULL;
    }
    for (Py_ssize_t i = 0; i < len; i++)
        slots[i] = Py_NewRef(PyList_GET_ITEM(list, i));
    return slots;
}

static void release_array(PyObject **slots, Py_ssize_t len)
{
    for (Py_ssize_t i = 0; i < len; i++)
        Py_XDECREF(slots[i]);
    PyMem_Free(slots);
}

/* build_from_sorted_pairs(keys, values, n=len(keys)) -> (tree, taken_keys,
 * taken_values). The entry takes over the references in the slots it sets to
 * NULL; the client releases the rest. On failure the exception carries the
 * same two lists as attributes taken_keys and taken_values. */
static PyObject *client_build_from_sorted_pairs(PyObject *self, PyObject *args)
{
    PyObject *keys_list, *values_list;
    Py_ssize_t n = -1;
    int n_given;
    (void)self;
    n_given = PyTuple_GET_SIZE(args) > 2;
    if (!PyArg_ParseTuple(args, "O!O!|n:build_from_sorted_pairs", &PyList_Type, &keys_list, &PyList_Type,
                          &values_list, &n) ||
        !table())
        return NULL;
    Py_ssize_t len = PyList_GET_SIZE(keys_list);
    if (PyList_GET_SIZE(values_list) != len)
        return PyErr_Format(PyExc_ValueError, "keys and values differ in length");
    if (!n_given)
        n = len;
    if (n > len)
        return PyErr_Format(PyExc_ValueError, "n exceeds the number of keys");
    PyObject **keys = owned_array(keys_list, len);
    if (!keys)
        return NULL;
    PyObject **values = owned_array(values_list, len);
    if (!values) {
        release_array(keys, len);
        return NULL;
    }
    PyObject *tree = api->BuildFromSortedPairs(keys, values, n);
    PyObject *error = tree ? NULL : PyErr_GetRaisedException();
    PyObject *taken_keys = taken_slots(keys, len);
    PyObject *taken_values = taken_slots(values, len);
    release_array(keys, len);
    release_array(values, len);
    PyObject *result = NULL;
    if (!taken_keys || !taken_values) {
        Py_XDECREF(tree);
        Py_XDECREF(error);
    } else if (tree) {
        result = PyTuple_Pack(3, tree, taken_keys, taken_values);
        Py_DECREF(tree);
    } else if (!error) {
        failed();
    } else if (PyObject_SetAttrString(error, "taken_keys", taken_keys) == 0 &&
               PyObject_SetAttrString(error, "taken_values", taken_values) == 0) {
        PyErr_SetRaisedException(error);
    } else {
        Py_DECREF(error);
    }
    Py_XDECREF(taken_keys);
    Py_XDECREF(taken_values);
    return result;
}

static PyObject *client_pop_item_by_index(PyObject *self, PyObject *args)
{
    PyObject *tree;
    Py_ssize_t index;
    (void)self;
    if (!PyArg_ParseTuple(args, "On:pop_item_by_index", &tree, &index) || !table())
        return NULL;
    return object_result(api->PopItemByIndex(tree, index));
}

static PyMethodDef client_methods[] = {
    {"use_capsule", client_use_capsule, METH_VARARGS,
     "use_capsule(capsule, name) uses that capsule's table; use_capsule(None) goes back to btree's."},
    {"slots_filled", client_slots_filled, METH_NOARGS, "Number of non-NULL slots in the table."},
    {"insert", client_insert, METH_VARARGS, "insert(tree, key, value)"},
    {"delete", client_delete, METH_VARARGS, "delete(tree, key)"},
    {"search", client_search, METH_VARARGS, "search(tree, key) -> value"},
    {"bisect_left", client_bisect_left, METH_VARARGS, "bisect_left(tree, key) -> int"},
    {"bisect_right", client_bisect_right, METH_VARARGS, "bisect_right(tree, key) -> int"},
    {"irange", client_irange, METH_VARARGS, "irange(tree[, min[, max[, inclusive]]]): omitted ones are NULL"},
    {"get_item_by_index", client_get_item_by_index, METH_VARARGS, "get_item_by_index(tree, index, kind=2)"},
    {"iter_new", client_iter_new, METH_VARARGS, "iter_new(tree, kind=0)"},
    {"iter_next", client_iter_next, METH_O, "iter_next(iterator) -> next element, or END"},
    {"merge_union", client_merge_union, METH_VARARGS, "merge_union(left, right) -> tree"},
    {"merge_intersection", client_merge_intersection, METH_VARARGS, "merge_intersection(left, right) -> tree"},
    {"merge_difference", client_merge_difference, METH_VARARGS, "merge_difference(left, right) -> tree"},
    {"copy", client_copy, METH_O, "copy(tree) -> tree"},
    {"increment", client_increment, METH_VARARGS, "increment(tree, key, delta, start) -> value"},
    {"build_from_sorted_pairs", client_build_from_sorted_pairs, METH_VARARGS,
     "build_from_sorted_pairs(keys, values, n=len(keys)) -> (tree, taken_keys, taken_values)"},
    {"pop_item_by_index", client_pop_item_by_index, METH_VARARGS, "pop_item_by_index(tree, index) -> (key, value)"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef client_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_btree_client",
    .m_doc = "Test client of the btree C API.",
    .m_size = -1,
    .m_methods = client_methods,
};

PyMODINIT_FUNC PyInit__btree_client(void)
{
    PyObject *module = PyModule_Create(&client_module);
    if (!module)
        return NULL;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return NULL;
    }
#endif
    if (!end_marker)
        end_marker = PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type);
    if (!end_marker || PyModule_AddObjectRef(module, "END", end_marker) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
