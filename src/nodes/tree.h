// The record of one tree: its root node and the bookkeeping every operation
// shares. A Python type embeds it in its object record; the core works on it
// alone.
#pragma once
#include <Python.h>
#include <pythread.h>

#include <atomic>
#include <cstdint>

#include "hints.h"
#include "nodes/node.h"

// Invariants between two calls, besides those of the nodes:
// - Empty: root NULL, size 0, key_kind None and key_type NULL hold together;
//   the next insertion chooses the kind afresh.
// - size equals the number of items in the leaves.
// - height is the depth of every leaf, so that a descent knows which nodes'
//   children are leaves without reading a child.
// - key_kind: every key and separator has a primitive of the kind when it
//   keeps primitives; a key of another class demotes the tree to Object for
//   good, until the tree is empty again.
// - key_type, when set, is the exact type of every key and separator.
// - Path cache: when cache_key is set and cache_version equals version,
//   path[0..path_len-1] runs from the root (path[0], path_len >= 1) down to
//   the leaf that holds a key equal to cache_key, each node a child of the
//   one before; path_at[d] is the child path[d] went to, and for the leaf the
//   slot of the key. Readers still confirm every link and the slot before
//   they use them, and recognise the cached key by identity only. Every
//   change of the items or of the nodes moves version on and empties the
//   cache.
// - shape_version moves on with version, except when the only change is a
//   value stored over another under a key already present: walks that may
//   see values replaced (BTreeMap's) compare it instead of version.
// - The guard is held, by the thread in `owner`, exactly while an operation
//   that compares keys runs; `wake` is set when `waiters` or `signalled` is.
//   On free-threaded builds `lock` and `readers` take its place: every
//   operation and look holds the lock, shared or alone.
// - size and version are written atomically (relaxed), so that len() and
//   the checks for a change may read them without entering the tree while
//   another thread changes it.
// - texts is set from initialisation on; keys_only and equal_keys too, and
//   they never change.
// - pair_values: equal_keys is set and keys_only is not; an item's value is
//   an exact tuple of two, whose first member, compared with ==, tells the
//   items of a run apart.
// - equal_keys: the path cache is never filled (a key object names no one
//   item when equal keys repeat).

// What the core reports in the words of the Python surface that owns a tree.
struct BTreeTexts {
    const char *reentrant;  // a call refused because this thread's operation on the tree is running
    const char *mutated;    // a walk stopped because the tree changed under it
};

struct BTreeCore {
    BTreeNode *root;          // NULL when the tree holds no item
    Py_ssize_t size;          // items in the tree: len()
    int height;               // levels of internal nodes above the leaves; 0 when the root is a leaf
    PyTypeObject *key_type;   // the exact type of every key, or NULL; borrowed, the keys keep it alive
    BTreeKeyKind key_kind;    // what the nodes' primitive slots hold
#ifdef Py_GIL_DISABLED
    uint32_t lock;                // the lock's writer and sleeper bits; read and written atomically only
    struct BTreeReaders *readers; // readers inside, counted per slot; made at the first read, NULL before
#else
    const void *owner;        // the guard: the thread running an operation that compares keys, or NULL
    int waiters;              // other threads waiting for the guard
    bool signalled;           // `wake` is released for a waiter that has not yet taken it
    PyThread_type_lock wake;  // made at the first wait; released to wake a waiter
#endif
    PyObject *cache_key;      // key object of the last successful lookup (strong), or NULL
    BTreeNode **path;         // the path of that lookup; a buffer that only grows
    int *path_at;             // where each node of the path went; as long as `path`
    Py_ssize_t path_len;      // nodes of the cached path, 0 when the cache is empty
    Py_ssize_t path_cap;      // capacity of `path` and `path_at` in nodes
    uint64_t version;         // moves on with every change of items or nodes; iterators compare it
    uint64_t shape_version;   // moves on when keys or nodes change, not when a value is replaced
    uint64_t cache_version;   // `version` when the cache was filled, 0 when it is empty
    const BTreeTexts *texts;  // the messages of the surface, static
    bool keys_only;           // the leaves keep no values (a sorted list or set of elements)
    bool equal_keys;          // equal keys may repeat, each run in the order it was added
    bool pair_values;         // each value is a (key, value) tuple, a keyed map's item under key(key)
};

// The state of a new, empty tree that reports errors with `texts`, with
// leaves that keep no value when `keys_only`, and that keeps equal keys side
// by side when `equal_keys`.
inline void btree_init(BTreeCore *tree, const BTreeTexts *texts, bool keys_only = false, bool equal_keys = false)
{
    *tree = BTreeCore{};
    tree->key_kind = BTreeKeyKind::None;
    tree->texts = texts;
    tree->keys_only = keys_only;
    tree->equal_keys = equal_keys;
}

// The number of items, read without entering the tree. Under the
// interpreter lock plain reads and writes are atomic enough; where threads
// run at once they are atomic accesses.
#ifdef Py_GIL_DISABLED
template <class T>
inline T btree_load_shared(const T &field)
{
    return BTreeAtomicRef<T>(const_cast<T &>(field)).load(std::memory_order_relaxed);
}

template <class T>
inline void btree_store_shared(T &field, T value)
{
    BTreeAtomicRef<T>(field).store(value, std::memory_order_relaxed);
}
#else
template <class T>
inline T btree_load_shared(const T &field)
{
    return field;
}

template <class T>
inline void btree_store_shared(T &field, T value)
{
    field = value;
}
#endif

inline Py_ssize_t btree_size(const BTreeCore *tree) { return btree_load_shared(tree->size); }

// Sets the number of items; only an operation that holds the tree calls it.
inline void btree_set_size(BTreeCore *tree, Py_ssize_t size) { btree_store_shared(tree->size, size); }

// The change counter, read without entering the tree.
inline uint64_t btree_version(const BTreeCore *tree) { return btree_load_shared(tree->version); }

inline void btree_set_version(BTreeCore *tree, uint64_t version) { btree_store_shared(tree->version, version); }

// Takes the nodes out of the record, which is left empty: finalisers run
// while the nodes are released then find nothing of them.
inline BTreeNode *btree_detach(BTreeCore *tree)
{
    BTreeNode *root = tree->root;
    tree->root = nullptr;
    btree_set_size(tree, 0);
    tree->height = 0;
    tree->key_type = nullptr;
    tree->key_kind = BTreeKeyKind::None;
    return root;
}

// Garbage-collector traversal: every key and value, and the cached key.
int btree_traverse_tree(const BTreeCore *tree, visitproc visit, void *arg);
