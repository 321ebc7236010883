// The record of a btree.BTree instance and the helpers every entry shares:
// the type check, the reentrancy guard and the modification counter.
#pragma once
#include <Python.h>
#include <cstdint>

#include "nodes/node.h"

struct BTreeObject {
    PyObject_HEAD
    BTreeNode *root;
    Py_ssize_t size;
    PyTypeObject *key_type;  // borrowed: the stored keys keep it alive
    int32_t key_kind;
    int32_t busy;
    PyObject *weakreflist;
    PyObject *cache_key;
    BTreeNode **path;
    Py_ssize_t path_len;
    Py_ssize_t path_cap;
    uint64_t version;
    uint64_t cache_version;
};

extern PyTypeObject BTreeType;
extern PyTypeObject BTreeIterType;

inline bool btree_check(PyObject *op)
{
    return Py_IS_TYPE(op, &BTreeType) || PyType_IsSubtype(Py_TYPE(op), &BTreeType);
}

// Type check of the capsule entries: TypeError "expected btree.BTree".
inline BTreeObject *btree_cast(PyObject *op)
{
    if (!btree_check(op)) {
        PyErr_SetString(PyExc_TypeError, "expected btree.BTree");
        return nullptr;
    }
    return reinterpret_cast<BTreeObject *>(op);
}

// The guard's test: a set guard refuses the entry.
inline int btree_guard_test(BTreeObject *tree)
{
    if (tree->busy) {
        PyErr_SetString(PyExc_RuntimeError, "BTree reentrant access during comparison");
        return -1;
    }
    return 0;
}

// Holds the guard for one operation; every exit path resets it.
class BTreeBusy {
public:
    explicit BTreeBusy(BTreeObject *tree) : tree_(tree) { tree_->busy = 1; }
    ~BTreeBusy() { tree_->busy = 0; }
    BTreeBusy(const BTreeBusy &) = delete;
    BTreeBusy &operator=(const BTreeBusy &) = delete;

private:
    BTreeObject *tree_;
};

// KeyError whose single argument is the key, also when the key is a tuple
// (which PyErr_SetObject would unpack into several arguments).
inline void btree_set_key_error(PyObject *key)
{
    PyObject *args = PyTuple_Pack(1, key);
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
}

// A new, empty tree initialised as the constructor does; NULL on failure.
BTreeObject *btree_new_tree();

// Drops the path cache; the path buffer stays with the tree.
void btree_cache_clear(BTreeObject *tree);

// The same, handing the cached key to `pending` for release once the tree is
// consistent again.
class BTreeReleaseList;
void btree_cache_drop(BTreeObject *tree, BTreeReleaseList &pending);

// Grows the path buffer to hold at least `need` nodes (MemoryError on failure).
int btree_path_reserve(BTreeObject *tree, Py_ssize_t need);
