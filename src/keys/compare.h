// Three-way comparison of key objects. Results: -1 less, 0 equal, 1 greater,
// -2 error with an exception set; the fast comparison may also answer 2,
// undecided, and the caller then asks the general one. The stored key is
// always the left operand.
#pragma once
#include <Python.h>
#include <cmath>
#include <cstring>

#include "compat.h"

constexpr int BTREE_CMP_ERROR = -2;
constexpr int BTREE_CMP_UNDECIDED = 2;

int btree_key_cmp(PyObject *left, PyObject *right);

// Calls `type`'s own comparison slot: less, then equal. Undecided for any
// answer other than the two booleans.
int btree_key_cmp_slot(PyObject *left, PyObject *right, PyTypeObject *type);

// Code point order of two exact strings in their final representation (all
// strings from 3.12 on; readied ones before): runs no Python code and cannot
// fail.
inline int btree_str_cmp(PyObject *left, PyObject *right)
{
    if (left == right)
        return 0;
    Py_ssize_t la = PyUnicode_GET_LENGTH(left), lb = PyUnicode_GET_LENGTH(right);
    // One byte per code point on both sides: byte order is code point order.
    if (PyUnicode_KIND(left) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(right) == PyUnicode_1BYTE_KIND) {
        int c = memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right), static_cast<size_t>(la < lb ? la : lb));
        if (c)
            return c < 0 ? -1 : 1;
        return (la > lb) - (la < lb);
    }
    int c = PyUnicode_Compare(left, right);
    return (c > 0) - (c < 0);
}

// Shortcut for trees whose keys share the exact type `type`, which is the
// right key's exact type and has a comparison slot.
inline int btree_key_cmp_fast(PyObject *left, PyObject *right, PyTypeObject *type)
{
    if (type == &PyBool_Type) {
        if (left == right)
            return 0;
        return left == Py_False ? -1 : 1;
    }
    if (type == &PyLong_Type) {
        if (PyLong_CheckExact(left) && PyLong_CheckExact(right)) {
            long long a, b;
            if (btree_long_is_compact(left) && btree_long_is_compact(right)) {
                a = btree_long_compact_value(left);
                b = btree_long_compact_value(right);
            } else {
                int oa = 0, ob = 0;
                a = PyLong_AsLongLongAndOverflow(left, &oa);
                b = PyLong_AsLongLongAndOverflow(right, &ob);
                if (oa || ob)
                    return PyErr_Occurred() ? BTREE_CMP_ERROR : BTREE_CMP_UNDECIDED;
            }
            return (a > b) - (a < b);
        }
    } else if (type == &PyFloat_Type) {
        if (PyFloat_CheckExact(left) && PyFloat_CheckExact(right)) {
            double a = PyFloat_AS_DOUBLE(left), b = PyFloat_AS_DOUBLE(right);
            if (std::isnan(a) || std::isnan(b)) {
                PyErr_SetString(PyExc_ValueError, "NaN keys are not supported");
                return BTREE_CMP_ERROR;
            }
            return (a > b) - (a < b);
        }
    } else if (type == &PyUnicode_Type) {
        if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
#if PY_VERSION_HEX >= 0x030C0000
            // Every string is in its final representation from 3.12 on.
            return btree_str_cmp(left, right);
#else
            int c = PyUnicode_Compare(left, right);
            if (c < 0)
                return PyErr_Occurred() ? BTREE_CMP_ERROR : -1;
            return c > 0 ? 1 : 0;
#endif
        }
    } else if (type == &PyBytes_Type) {
        if (PyBytes_CheckExact(left) && PyBytes_CheckExact(right)) {
            Py_ssize_t la = PyBytes_GET_SIZE(left), lb = PyBytes_GET_SIZE(right);
            Py_ssize_t m = la < lb ? la : lb;
            if (m > 0) {
                int c = memcmp(PyBytes_AS_STRING(left), PyBytes_AS_STRING(right), static_cast<size_t>(m));
                if (c)
                    return c < 0 ? -1 : 1;
            }
            return (la > lb) - (la < lb);
        }
    }
    return btree_key_cmp_slot(left, right, type);
}

// Two keys of no known common type: the fast comparison when both have one
// exact type, then the general one.
inline int btree_key_order(PyObject *left, PyObject *right)
{
    if (left == right)
        return 0;
    PyTypeObject *type = Py_TYPE(left);
    if (type == Py_TYPE(right) && type->tp_richcompare) {
        int c = btree_key_cmp_fast(left, right, type);
        if (c != BTREE_CMP_UNDECIDED)
            return c;
    }
    return btree_key_cmp(left, right);
}

// The comparison used by a search over one node: the fast comparison while it
// decides, then the general one for the rest of the node once it cannot.
struct BTreeObjectCmp {
    PyObject *key;
    PyTypeObject *type;
    bool use_fast;
    bool fast;

    BTreeObjectCmp(PyObject *k, PyTypeObject *t, bool use) : key(k), type(t), use_fast(use), fast(use) {}

    void begin_node() { fast = use_fast; }

    int operator()(PyObject *stored)
    {
        if (fast) {
            int c = btree_key_cmp_fast(stored, key, type);
            if (c != BTREE_CMP_UNDECIDED)
                return c;
            fast = false;
        }
        return btree_key_cmp(stored, key);
    }
};
