// Key kinds: a tree whose keys are all 64-bit integers (booleans included) or
// all floats keeps each key's machine value beside the key object; a tree of
// exact strings keeps each key's first bytes, which order most keys without
// reading the key object.
#pragma once
#include <Python.h>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "compat.h"
#include "nodes/tree.h"

// The prefix of a string that is not ASCII, encoded code point by code point.
[[gnu::noinline]] inline uint64_t btree_wide_str_prefix(PyObject *s)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
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

// The first eight bytes of the string's UTF-8 form, zero-padded, as a
// big-endian number. UTF-8 byte order is code point order and a string sorts
// before its extensions, so prefixes that differ order their strings; equal
// prefixes say nothing. Surrogates encode by the same rule.
inline uint64_t btree_str_prefix(PyObject *s)
{
    if (!PyUnicode_IS_ASCII(s))
        return btree_wide_str_prefix(s);
    // An ASCII string is its own UTF-8 form; one load reads a long one.
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    uint64_t v = 0;
    if (len >= 8)
        memcpy(&v, data, 8);
    else
        memcpy(&v, data, static_cast<size_t>(len));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Keys a walk over many keys asks for ahead of the one it classifies:
// classifying a key reads its object, a cache miss each when the objects lie
// scattered, and asking early lets those misses overlap.
constexpr Py_ssize_t BTREE_KEYS_AHEAD = 16;

// Asks for what classifying `key` reads: its header and, for a string, the
// first characters, which may lie on the next cache line.
inline void btree_prefetch_key(const PyObject *key)
{
    __builtin_prefetch(key, 1);
    __builtin_prefetch(reinterpret_cast<const char *>(key) + 56);
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

// The value of an exact int of two or three 30-bit digits that fits in 64
// bits, read from its digits without a call; false for any other int, which
// the C API then converts.
inline bool btree_long_digits_value(PyObject *key, int64_t *value)
{
#if PyLong_SHIFT == 30
    const PyLongObject *op = reinterpret_cast<const PyLongObject *>(key);
#if PY_VERSION_HEX >= 0x030C0000
    uintptr_t tag = op->long_value.lv_tag;
    uintptr_t ndigits = tag >> _PyLong_NON_SIZE_BITS;
    bool negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit *d = op->long_value.ob_digit;
#else
    Py_ssize_t size = Py_SIZE(op);
    uintptr_t ndigits = static_cast<uintptr_t>(size < 0 ? -size : size);
    bool negative = size < 0;
    const digit *d = op->ob_digit;
#endif
    if (ndigits < 2 || ndigits > 3 || (ndigits == 3 && d[2] >= 16))
        return false;
    uint64_t magnitude = d[0] | static_cast<uint64_t>(d[1]) << 30;
    if (ndigits == 3)
        magnitude |= static_cast<uint64_t>(d[2]) << 60;
    if (magnitude > (negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX}))
        return false;
    *value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
#else
    (void)key;
    (void)value;
    return false;
#endif
}

// The class of one key by its exact type: Int64, Float64 or Str with the
// primitive stored, Object when it has none, nothing with an exception set (a
// NaN float, or an error left by an overflowing conversion).
[[gnu::always_inline]] inline std::optional<BTreeKeyKind> btree_key_class(PyObject *key, BTreePrim *prim)
{
    PyTypeObject *type = Py_TYPE(key);
    if (type == &PyLong_Type) {
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(key))) {
            prim->i = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(key));
            return BTreeKeyKind::Int64;
        }
        if (btree_long_digits_value(key, &prim->i))
            return BTreeKeyKind::Int64;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow)
            return PyErr_Occurred() ? std::nullopt : std::optional(BTreeKeyKind::Object);
        if (v == -1 && PyErr_Occurred())
            return std::nullopt;
        prim->i = v;
        return BTreeKeyKind::Int64;
    }
    if (type == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(key);
        if (std::isnan(d)) {
            PyErr_SetString(PyExc_ValueError, "NaN keys are not supported");
            return std::nullopt;
        }
        prim->f = d;
        return BTreeKeyKind::Float64;
    }
    if (type == &PyUnicode_Type) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(key) < 0)
            return std::nullopt;
#endif
        prim->u = btree_str_prefix(key);
        return BTreeKeyKind::Str;
    }
    if (type == &PyBool_Type) {
        prim->i = key == Py_True;
        return BTreeKeyKind::Int64;
    }
    return BTreeKeyKind::Object;
}

// Whether the per-type fast comparison may be used for `key` in a tree whose
// keys all have type `key_type` (NULL when they do not share one): a type's
// comparison slot must never see a foreign object.
inline bool btree_use_fast(PyTypeObject *key_type, PyObject *key)
{
    return Py_TYPE(key) == key_type && key_type->tp_richcompare != nullptr;
}

// How a reader searches `tree` for `key`: the tree's kind when the key has a
// primitive of it (with `*prim` set), Object on key objects, nothing with an
// exception set. Never changes the tree.
[[gnu::always_inline]] inline std::optional<BTreeKeyKind> btree_reader_kind(const BTreeCore *tree, PyObject *key, BTreePrim *prim,
                                                     bool *use_fast)
{
    *use_fast = btree_use_fast(tree->key_type, key);
    if (!btree_kind_keeps_prims(tree->key_kind))
        return BTreeKeyKind::Object;
    std::optional<BTreeKeyKind> cls = btree_key_class(key, prim);
    if (!cls)
        return std::nullopt;
    return *cls == tree->key_kind ? *cls : BTreeKeyKind::Object;
}

// The kind a writer stores `key` with, after moving the tree's key_type and
// key_kind as a new key demands (set from an empty tree, demoted to Object by
// a key of another class). The kind in force (with `*prim` set when it keeps
// primitives), or nothing with an exception set.
inline std::optional<BTreeKeyKind> btree_writer_kind(BTreeCore *tree, PyObject *key, BTreePrim *prim, bool *use_fast)
{
    PyTypeObject *type = Py_TYPE(key);
    if (tree->size == 0)
        tree->key_type = type;
    else if (tree->key_type && tree->key_type != type)
        tree->key_type = nullptr;
    *use_fast = btree_use_fast(tree->key_type, key);

    if (tree->key_kind == BTreeKeyKind::Object)
        return BTreeKeyKind::Object;
    std::optional<BTreeKeyKind> cls = btree_key_class(key, prim);
    if (!cls)
        return std::nullopt;
    if (tree->key_kind == BTreeKeyKind::None)
        tree->key_kind = *cls;
    else if (*cls != tree->key_kind)
        tree->key_kind = BTreeKeyKind::Object;  // demotion is one-way until the tree is empty
    return tree->key_kind;
}
