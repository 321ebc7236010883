// The tree operations shared by the Python methods and the capsule entries.
#pragma once
#include <Python.h>

#include "btree/tree.h"

PyObject *btree_search_item(BTreeObject *tree, PyObject *key);
int btree_insert_item(BTreeObject *tree, PyObject *key, PyObject *value);

// Adds `delta` to the value of `key`, or stores `start + delta` for a missing
// key; returns the value now stored (new reference) or NULL.
PyObject *btree_increment(BTreeObject *tree, PyObject *key, PyObject *delta, PyObject *start);

// Returns a tree that holds no item to the empty state: no root, key kind
// NONE, no key type.
void btree_reset_empty(BTreeObject *tree);

// Splits the full child `children[index]` of the non-full internal `parent`;
// primitives travel with their keys when `copy_prims` is nonzero. 0, or -1
// with MemoryError before anything has changed.
int btree_split_child(BTreeNode *parent, int index, int copy_prims);

// Makes sure the root has room for one more key: a missing root becomes an
// empty leaf and a full root is split under a new internal root. `*split` is
// set when the tree grew. 0, or -1 with MemoryError and the tree unchanged.
int btree_prepare_root(BTreeObject *tree, int *split);

class BTreeReleaseList;

// Ends a successful mutation: the path cache is dropped and `version` moves on.
void btree_mutated(BTreeObject *tree, BTreeReleaseList &pending);

// Marks a tree as changed at most once per operation: the first change of the
// node structure or of the items drops the path cache and moves `version` on
// at once, before any more Python code can run, so that an iterator stepped
// from a comparison or a finaliser refuses to continue instead of reading a
// moved or freed node.
class BTreeChange {
public:
    BTreeChange(BTreeObject *tree, BTreeReleaseList &pending) : tree_(tree), pending_(pending) {}
    void mark()
    {
        if (!marked_) {
            marked_ = true;
            btree_mutated(tree_, pending_);
        }
    }
    bool marked() const { return marked_; }

private:
    BTreeObject *tree_;
    BTreeReleaseList &pending_;
    bool marked_ = false;
};

// Tops up the child `children[idx]` of `parent` (which has at least one key)
// by borrowing one entry from a sibling with more than the minimum, or by
// merging with a sibling. The child's entries then sit in `children[idx]`, or
// in `children[idx - 1]` when idx now exceeds the parent's key count.
// Separators that leave the tree go to `pending`.
void btree_fill(BTreeNode *parent, int idx, int copy_prims, BTreeReleaseList &pending);

// Joins `children[idx + 1]` into `children[idx]` and frees the right node.
void btree_merge(BTreeNode *parent, int idx, int copy_prims, BTreeReleaseList &pending);

// Removal of one item by key, shared by the method, the capsule and pop by
// index. 0, or -1 with an exception (KeyError carrying the key when absent).
int btree_delete_item(BTreeObject *tree, PyObject *key);

// Number of keys less than (or, with `or_equal`, not greater than) `key`,
// or -1 with an exception; takes the guard.
Py_ssize_t btree_rank(BTreeObject *tree, PyObject *key, int or_equal);

// The keys within the bounds (None: unbounded) as a new list, or NULL with an
// exception; the caller holds the guard.
PyObject *btree_collect_range(BTreeObject *tree, PyObject *min, PyObject *max, int inclusive_min, int inclusive_max);

// Reads an `inclusive` argument: None keeps both bounds inclusive.
int btree_parse_inclusive(PyObject *inclusive, int *inclusive_min, int *inclusive_max);

// The key, the value or the (key, value) tuple at a position (negative
// positions count from the end), or NULL with IndexError "index out of range".
PyObject *btree_item_at(BTreeObject *tree, Py_ssize_t index, int kind);

// Removes the item at a position and returns it as a (key, value) tuple.
PyObject *btree_pop_item_at(BTreeObject *tree, Py_ssize_t index);
