// Key kinds: a tree whose keys are all 64-bit integers (booleans included) or
// all floats keeps each key's machine value beside the key object; a tree of
// exact strings keeps each key's first bytes, which order most keys without
// reading the key object.
#pragma once
#include <Python.h>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "compat.h"
#include "nodes/node.h"

enum : int32_t {
    KEY_KIND_NONE = -1,
    KEY_KIND_OBJECT = 0,
    KEY_KIND_INT64 = 1,
    KEY_KIND_FLOAT64 = 2,
    KEY_KIND_STR = 3,
};

// The first eight bytes of the string's UTF-8 form, zero-padded, as a
// big-endian number. UTF-8 byte order is code point order and a string sorts
// before its extensions, so prefixes that differ order their strings; equal
// prefixes say nothing. Surrogates encode by the same rule.
inline uint64_t btree_str_prefix(PyObject *s)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) {
        unsigned char bytes[8] = {};
        memcpy(bytes, data, static_cast<size_t>(len < 8 ? len : 8));
        uint64_t v;
        memcpy(&v, bytes, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    }
    int kind = PyUnicode_KIND(s);
    uint64_t v = 0;
    int shift = 56;
    for (Py_ssize_t i = 0; i < len && shift >= 0; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        unsigned char enc[4];
        int m;
        if (c < 0x80) {
            enc[0] = static_cast<unsigned char>(c);
            m = 1;
        } else if (c < 0x800) {
            enc[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            enc[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            m = 2;
        } else if (c < 0x10000) {
            enc[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            enc[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            enc[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            m = 3;
        } else {
            enc[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            enc[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            enc[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            enc[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            m = 4;
        }
        for (int j = 0; j < m && shift >= 0; j++, shift -= 8)
            v |= static_cast<uint64_t>(enc[j]) << shift;
    }
    return v;
}

// The NaN key check made before anything else: 0, or -1 with ValueError (or
// the conversion's error for a float subclass).
inline int btree_nan_check(PyObject *key)
{
    // Ints, strings, bytes and tuples (and their subclasses) cannot be
    // floats; their type flags answer without walking the type's bases.
    constexpr unsigned long never_float =
        Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS;
    if (PyType_HasFeature(Py_TYPE(key), never_float) || !PyFloat_Check(key))
        return 0;
    double d = PyFloat_AsDouble(key);
    if (d == -1.0 && PyErr_Occurred())
        return -1;
    if (std::isnan(d)) {
        PyErr_SetString(PyExc_ValueError, "NaN keys are not supported");
        return -1;
    }
    return 0;
}

// The class of one key by its exact type: KEY_KIND_INT64, KEY_KIND_FLOAT64 or
// KEY_KIND_STR with the primitive stored, KEY_KIND_OBJECT when it has none,
// -1 with an exception set (a NaN float, or an error left by an overflowing
// conversion).
inline int btree_key_class(PyObject *key, BTreePrim *prim)
{
    PyTypeObject *type = Py_TYPE(key);
    if (type == &PyLong_Type) {
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(key))) {
            prim->i = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(key));
            return KEY_KIND_INT64;
        }
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow)
            return PyErr_Occurred() ? -1 : KEY_KIND_OBJECT;
        if (v == -1 && PyErr_Occurred())
            return -1;
        prim->i = v;
        return KEY_KIND_INT64;
    }
    if (type == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(key);
        if (std::isnan(d)) {
            PyErr_SetString(PyExc_ValueError, "NaN keys are not supported");
            return -1;
        }
        prim->f = d;
        return KEY_KIND_FLOAT64;
    }
    if (type == &PyUnicode_Type) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(key) < 0)
            return -1;
#endif
        prim->u = btree_str_prefix(key);
        return KEY_KIND_STR;
    }
    if (type == &PyBool_Type) {
        prim->i = key == Py_True;
        return KEY_KIND_INT64;
    }
    return KEY_KIND_OBJECT;
}

// How a lookup searches a tree of kind `tree_kind` for `key`: the tree's
// kind when the key has a primitive of it (with `*prim` set), KEY_KIND_OBJECT
// on key objects, or -1 with an exception set. Never changes the tree.
inline int btree_search_mode(int32_t tree_kind, PyObject *key, BTreePrim *prim)
{
    if (tree_kind <= KEY_KIND_OBJECT)
        return KEY_KIND_OBJECT;
    int cls = btree_key_class(key, prim);
    if (cls < 0)
        return -1;
    return cls == tree_kind ? cls : KEY_KIND_OBJECT;
}

struct BTreeObject;

// The kind a writer stores `key` with, after moving the tree's `key_type` and
// `key_kind` as a new key demands (set from an empty tree, demoted to general
// objects by a key of another class). Sets `*use_fast`. Returns the kind in
// force (with `*prim` set when the kind keeps primitives) or -1 with an exception set.
int btree_writer_kind(BTreeObject *tree, PyObject *key, BTreePrim *prim, int *use_fast);

// Whether the per-type fast comparison may be used for `key` in a tree whose
// keys all have type `key_type` (NULL when they do not share one).
inline int btree_use_fast(PyTypeObject *key_type, PyObject *key)
{
    return Py_TYPE(key) == key_type && key_type->tp_richcompare != nullptr;
}
