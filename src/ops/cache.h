// The path cache of the last successful lookup, and the change marker that
// empties it whenever the tree changes.
#pragma once
#include <Python.h>

#include "nodes/release.h"
#include "nodes/tree.h"

// Empties the cache; the cached key goes to `pending`, released once the tree
// is consistent again. The path buffer stays with the tree.
[[gnu::always_inline]] inline void btree_cache_drop(BTreeCore *tree, BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = nullptr;
    tree->path_len = 0;
    tree->cache_version = 0;
}

// Fills the cache: `path[0..path_len-1]` already holds the path to the leaf
// that holds `key`. The old cached key goes to `pending`.
[[gnu::always_inline]] inline void btree_cache_fill(BTreeCore *tree, PyObject *key, Py_ssize_t path_len, BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = Py_NewRef(key);
    tree->path_len = path_len;
    tree->cache_version = tree->version;
}

// Grows the path buffer to hold at least `need` nodes (MemoryError on failure).
int btree_path_reserve(BTreeCore *tree, Py_ssize_t need);

// Marks a tree as changed at most once per operation: the first change of the
// node structure or of the items empties the path cache and moves `version`
// on at once, before any more Python code can run, so that an iterator
// stepped from a comparison or a finaliser refuses to continue instead of
// reading a moved or freed node. `shape` is false for a change that only
// stores a value over another under the same key: `shape_version` stays.
class BTreeChange {
public:
    BTreeChange(BTreeCore *tree, BTreeReleaseList &pending) : tree_(tree), pending_(pending) {}
    [[gnu::always_inline]] void mark(bool shape = true)
    {
        if (!marked_) {
            marked_ = true;
            btree_cache_drop(tree_, pending_);
            tree_->version++;
        }
        if (shape && !shape_marked_) {
            shape_marked_ = true;
            tree_->shape_version++;
        }
    }
    bool marked() const { return marked_; }

private:
    BTreeCore *tree_;
    BTreeReleaseList &pending_;
    bool marked_ = false;
    bool shape_marked_ = false;
};
