// The path cache of the last successful lookup, and the change marker that
// empties it whenever the tree changes.
#pragma once
#include <Python.h>

#include "hints.h"
#include "nodes/release.h"
#include "nodes/tree.h"
#include "ops/path.h"

// Empties the cache; the cached key goes to `pending`, released once the tree
// is consistent again. The path buffer stays with the tree.
BTREE_ALWAYS_INLINE inline void btree_cache_drop(BTreeCore *tree, BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = nullptr;
    tree->path_len = 0;
    tree->cache_version = 0;
}

// Grows the path buffer to hold at least `need` nodes (MemoryError on failure).
int btree_path_reserve(BTreeCore *tree, Py_ssize_t need);

// A path whose storage is the cache's buffer, reserved for the tree's height:
// a lookup descends into it, and a hit keeps it without a copy.
inline BTreePath btree_cache_buffer(BTreeCore *tree)
{
    return BTreePath{tree->path, tree->path_at, 0, 0};
}

// Fills the cache: `path`, taken in the cache's buffer, leads to the item of
// a key equal to `key`. The old cached key goes to `pending`.
BTREE_ALWAYS_INLINE inline void btree_cache_fill(BTreeCore *tree, PyObject *key, const BTreePath &path,
                                                    BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = Py_NewRef(key);
    tree->path_len = path.depth + 1;
    tree->cache_version = tree->version;
}

// The path the cache holds for this very key object, when the tree has not
// changed since: no comparison finds it again. Its slot held a key equal to
// `key` at the lookup; the caller confirms that the key still is.
inline bool btree_cache_path(BTreeCore *tree, PyObject *key, BTreePath *path)
{
    if (tree->cache_key != key || tree->cache_version != tree->version || tree->path_len < 1)
        return false;
    *path = BTreePath{tree->path, tree->path_at, static_cast<int>(tree->path_len - 1), tree->shape_version};
    return true;
}

// Marks a tree as changed at most once per operation: the first change of the
// node structure or of the items empties the path cache and moves `version`
// on at once, before any more Python code can run, so that an iterator
// stepped from a comparison or a finaliser refuses to continue instead of
// reading a moved or freed node. `shape` is false for a change that only
// stores a value over another under the same key: `shape_version` stays.
class BTreeChange {
public:
    BTreeChange(BTreeCore *tree, BTreeReleaseList &pending) : tree_(tree), pending_(pending) {}
    BTREE_ALWAYS_INLINE void mark(bool shape = true)
    {
        if (!marked_) {
            marked_ = true;
            btree_cache_drop(tree_, pending_);
            btree_set_version(tree_, tree_->version + 1);
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
