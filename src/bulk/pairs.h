// Keys and values gathered for a bulk build, classified as they come: while
// every key has a primitive of one kind, ordering and building need not read
// the key objects again.
#pragma once
#include <Python.h>

#include "hints.h"
#include "keys/kind.h"
#include "nodes/memory.h"
#include "nodes/tree.h"

// Each slot below `count` holds a reference of its own to its key and value.
// `prims[i]` is the primitive of keys[i] while `kind` keeps primitives;
// `key_type` is the exact type of every key appended, or NULL.
class BTreePairs {
public:
    BTreePairs() = default;
    // Pairs for a tree that keeps no values hold keys alone: `values` stays
    // NULL, and so must every value appended.
    explicit BTreePairs(bool keys_only) : keys_only_(keys_only) {}
    BTreePairs(const BTreePairs &) = delete;
    BTreePairs &operator=(const BTreePairs &) = delete;
    ~BTreePairs();

    // Room for n pairs in all, so that appending them does not grow the
    // arrays. 0 or -1.
    int reserve(Py_ssize_t n);

    // Takes over both references (a NULL value for a tree that keeps none);
    // releases them on failure (no memory, or a NaN key, which nothing could
    // order). 0 or -1.
    BTREE_ALWAYS_INLINE int append(PyObject *key, PyObject *value)
    {
        if (count == capacity && reserve(capacity ? capacity * 2 : 64) < 0) {
            Py_DECREF(key);
            Py_XDECREF(value);
            return -1;
        }
        PyTypeObject *type = Py_TYPE(key);
        if (count == 0)
            key_type = type;
        else if (key_type != type)
            key_type = nullptr;
        if (kind != BTreeKeyKind::Object) {
            std::optional<BTreeKeyKind> cls = btree_key_class(key, &prims[count]);
            if (!cls) {
                Py_DECREF(key);
                Py_XDECREF(value);
                return -1;
            }
            if (kind == BTreeKeyKind::None)
                kind = *cls;
            else if (*cls != kind)
                kind = BTreeKeyKind::Object;
        }
        keys[count] = key;
        if (values)
            values[count] = value;
        count++;
        return 0;
    }

    PyObject **keys = nullptr;
    PyObject **values = nullptr;
    BTreePrim *prims = nullptr;
    Py_ssize_t count = 0;
    BTreeKeyKind kind = BTreeKeyKind::None;
    PyTypeObject *key_type = nullptr;

private:
    Py_ssize_t capacity = 0;
    bool keys_only_ = false;
};

// Builds the pairs, in ascending key order, into the empty tree `dst`, from
// their primitives when they have them. The slots taken over are set to
// NULL, as btree_build_sorted does. 0 or -1.
int btree_build_pairs(BTreeCore *dst, BTreePairs &pairs);
