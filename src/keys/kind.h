// Key kinds: a tree whose keys are all 64-bit integers (booleans included) or
// all floats keeps each key's machine value beside the key object; a tree of
// exact strings keeps each key's first bytes, which order most keys without
// reading the key object. Each kind is a record of keys/records.h; here keys
// are classified and a tree's kind follows the keys written to it.
#pragma once
#include <Python.h>
#include <cmath>
#include <optional>

#include "hints.h"
#include "keys/records.h"
#include "nodes/tree.h"

// Keys a walk over many keys asks for ahead of the one it classifies:
// classifying a key reads its object, a cache miss each when the objects lie
// scattered, and asking early lets those misses overlap.
constexpr Py_ssize_t BTREE_KEYS_AHEAD = 16;

// Asks for what classifying `key` reads: its header and, for a string, the
// first characters, which may lie on the next cache line.
inline void btree_prefetch_key(const PyObject *key)
{
    BTREE_PREFETCH_WRITE(key);
    BTREE_PREFETCH(reinterpret_cast<const char *>(key) + 56);
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

// The class of one key by its exact type: the kind of the first record that
// claims it, with the primitive stored, or Object when none does; nothing
// with an exception set (a NaN float, or an error left by an overflowing
// conversion).
BTREE_ALWAYS_INLINE inline std::optional<BTreeKeyKind> btree_key_class(PyObject *key, BTreePrim *prim)
{
    return BTreeKindList::classify(key, prim);
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
BTREE_ALWAYS_INLINE inline std::optional<BTreeKeyKind> btree_reader_kind(const BTreeCore *tree, PyObject *key, BTreePrim *prim,
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
BTREE_ALWAYS_INLINE inline std::optional<BTreeKeyKind> btree_writer_kind(BTreeCore *tree, PyObject *key, BTreePrim *prim, bool *use_fast)
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
