// Module functions of the test build _btree_test: invariant checks, node
// dumps, pool counts, direct key comparisons and allocation failures on demand;
// and the node constants and the capsule table's size as module attributes,
// so that tests never restate them, with whether the build reads the
// interpreter's own structures (compat.h) and whether it was told not to.
#include "introspect.h"

#include "btree_capi.h"
#include "btreemap/object.h"
#include "btreemap/seq.h"
#include "compat.h"
#include "keys/compare.h"
#include "nodes/memory.h"
#include "nodes/node.h"

BTREE_PER_THREAD Py_ssize_t btree_fail_countdown = -1;
BTREE_PER_THREAD Py_ssize_t btree_alloc_count = 0;

BTreeCore *introspect_tree_arg(PyObject *op)
{
    if (Py_IS_TYPE(op, &BTreeType))
        return btree_core(op);
    if (btreemap_check(op) || btreeseq_check(op))
        return btreemap_core(op);
    PyErr_Format(PyExc_TypeError, "expected a tree of this module, got %.100s", Py_TYPE(op)->tp_name);
    return nullptr;
}

int introspect_add_attributes(PyObject *module)
{
    constexpr Py_ssize_t capi_slots = sizeof(PyBTree_CAPI) / sizeof(void *);
#ifdef BTREE_PUBLIC_API_ONLY
    constexpr bool public_api_only = true;
#else
    constexpr bool public_api_only = false;
#endif
    if (btreemap_add_type(module) < 0 || PyModule_AddIntConstant(module, "MAX_KEYS", BTREE_MAX_KEYS) < 0 ||
        PyModule_AddIntConstant(module, "MAX_CHILDREN", BTREE_MAX_CHILDREN) < 0 ||
        PyModule_AddIntConstant(module, "MIN_KEYS", BTREE_MIN_KEYS) < 0 ||
        PyModule_AddIntConstant(module, "MAX_DEPTH", BTREE_MAX_DEPTH) < 0 ||
        PyModule_AddIntConstant(module, "FREELIST_MAX", BTREE_FREELIST_MAX) < 0 ||
        PyModule_AddIntConstant(module, "CAPI_SLOTS", capi_slots) < 0 ||
        PyModule_AddObjectRef(module, "READS_INTERNALS", BTREE_READS_INTERNALS ? Py_True : Py_False) < 0 ||
        PyModule_AddObjectRef(module, "PUBLIC_API_ONLY", public_api_only ? Py_True : Py_False) < 0)
        return -1;
    return 0;
}

static PyObject *introspect_pool_counts(PyObject *, PyObject *)
{
    return Py_BuildValue("(nn)", btree_leaf_freelist_size, btree_internal_freelist_size);
}

static PyObject *introspect_keys_leaf_pool_count(PyObject *, PyObject *)
{
    return PyLong_FromSsize_t(btree_keys_leaf_freelist_size);
}

static PyObject *introspect_fail_after(PyObject *, PyObject *arg)
{
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    btree_fail_countdown = n < 0 ? -1 : n;
    Py_RETURN_NONE;
}

static PyObject *introspect_alloc_count(PyObject *, PyObject *)
{
    return PyLong_FromSsize_t(btree_alloc_count);
}

// (code, exception pending afterwards or None): the exception is taken out so
// that every outcome of a comparison can be looked at from Python.
static PyObject *cmp_outcome(int code)
{
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *result = Py_BuildValue("(iO)", code, exc ? exc : Py_None);
    Py_XDECREF(exc);
    return result;
}

PyObject *introspect_key_cmp(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"left", "right", "pending", nullptr};
    PyObject *left, *right, *pending = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:key_cmp", const_cast<char **>(kwlist), &left, &right,
                                     &pending))
        return nullptr;
    if (pending != Py_None) {
        if (!PyExceptionInstance_Check(pending)) {
            PyErr_SetString(PyExc_TypeError, "pending must be an exception instance");
            return nullptr;
        }
        PyErr_SetRaisedException(Py_NewRef(pending));
    }
    return cmp_outcome(btree_key_cmp(left, right));
}

PyObject *introspect_key_cmp_fast(PyObject *, PyObject *args)
{
    PyObject *left, *right;
    if (!PyArg_ParseTuple(args, "OO:key_cmp_fast", &left, &right))
        return nullptr;
    PyTypeObject *type = Py_TYPE(right);
    if (!type->tp_richcompare) {
        PyErr_SetString(PyExc_TypeError, "the right key's type has no comparison slot");
        return nullptr;
    }
    return cmp_outcome(btree_key_cmp_fast(left, right, type));
}

PyMethodDef btree_module_methods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(introspect_check)),
     METH_VARARGS | METH_KEYWORDS,
     "check(tree, strict=True)\n--\n\nRaise AssertionError at the first broken invariant of the tree.\n"
     "With strict=False a node under the minimum fill is accepted when it is the\n"
     "rightmost node of its level (trees built from sorted input)."},
    {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(introspect_dump)),
     METH_VARARGS | METH_KEYWORDS,
     "dump(tree, depth=-1)\n--\n\nThe tree record and its nodes as nested dicts. With depth >= 0, the\n"
     "internal nodes that many levels below the root show children None."},
    {"pool_counts", introspect_pool_counts, METH_NOARGS,
     "pool_counts()\n--\n\n(leaf pool size, internal pool size)."},
    {"keys_leaf_pool_count", introspect_keys_leaf_pool_count, METH_NOARGS,
     "keys_leaf_pool_count()\n--\n\nSize of the pool of leaves without values (lists and sets)."},
    {"fail_after", introspect_fail_after, METH_O,
     "fail_after(n)\n--\n\nLet the next n allocations succeed and make the one after fail;\n"
     "a negative n makes none fail."},
    {"alloc_count", introspect_alloc_count, METH_NOARGS,
     "alloc_count()\n--\n\nNumber of allocations asked for so far."},
    {"key_cmp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(introspect_key_cmp)),
     METH_VARARGS | METH_KEYWORDS,
     "key_cmp(left, right, pending=None)\n--\n\n(code, exception pending afterwards) of the general\n"
     "comparison, with `pending` raised beforehand when given."},
    {"key_cmp_fast", introspect_key_cmp_fast, METH_VARARGS,
     "key_cmp_fast(left, right)\n--\n\n(code, exception pending afterwards) of the per-type\n"
     "comparison of right's type."},
    {"kind_order", introspect_kind_order, METH_VARARGS,
     "kind_order(left, right)\n--\n\n(compare, less, not_greater, order, tie) of the record of the\n"
     "kind both keys have, on their primitives; None for keys of different or\nno primitive kinds."},
    {nullptr, nullptr, 0, nullptr},
};
