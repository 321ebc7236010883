// A place in a tree: the nodes from the root down to a leaf, the child taken
// at each internal node and a position in the leaf. Every descent makes one
// (by key, by position, or from the path cache), and the operations that
// read, step, insert or remove there consume it, so that no operation walks
// down twice.
#pragma once
#include <Python.h>
#include <cstdint>

#include "nodes/node.h"
#include "nodes/release.h"
#include "nodes/tree.h"

class BTreeChange;

// A position between two items: slot s of the leaf is the place before its
// item s, and slot n, the leaf's end, the place before the next leaf's first
// item. The path stays valid while the tree's shape_version is the one it was
// taken at; only the operation that took it (under the guard) changes the
// tree along it.
struct BTreePath {
    BTreeNode **nodes;       // nodes[0] the root, nodes[depth] the leaf
    int *at;                 // at[d] the child taken at nodes[d]; at[depth] the slot in the leaf
    int depth;               // internal nodes above the leaf
    uint64_t shape_version;  // the tree's shape_version when the path was taken

    BTreeNode *leaf() const { return nodes[depth]; }
    int slot() const { return at[depth]; }
};

// A path whose storage is its own, for one operation.
struct BTreeLocalPath : BTreePath {
    // The descent that fills it sets its depth and version.
    BTreeLocalPath()
    {
        nodes = node_store;
        at = at_store;
    }
    BTreeLocalPath(const BTreeLocalPath &) = delete;
    BTreeLocalPath &operator=(const BTreeLocalPath &) = delete;

    // One level spare, for a root split by an insertion at the path.
    BTreeNode *node_store[BTREE_MAX_DEPTH + 1];
    int at_store[BTREE_MAX_DEPTH + 1];
};

// Descends by position to the item at `index` (0 <= index < size) of a
// non-empty tree, comparing nothing.
void btree_descend_at(const BTreeCore *tree, Py_ssize_t index, BTreePath &path);

// Moves the path onto an item: a path at a leaf's end moves to the next
// leaf's first item. False, and the path unchanged, when no item follows.
bool btree_path_settle(BTreePath &path);

// Moves the path to the place before the previous item, so that it is on that
// item. False, and the path unchanged, when the path is before the first item.
bool btree_path_prev(BTreePath &path);

// Moves a place at the start of a leaf other than the first to the end of
// the leaf before: the same place between two items, where a new item
// becomes no leaf's first key, which a separator would name.
void btree_path_unsettle(BTreePath &path);

// Number of items before the path's place.
Py_ssize_t btree_path_rank(const BTreeCore *tree, const BTreePath &path);

// Makes room in the path's leaf for one more item: a full leaf is split, and
// each full node above it, up from the leaf along the path, the root too; the
// path follows its place into the halves, and `*split` is set once a node is
// split (the caller marks the change, which moves the tree's shape_version
// past the path's: the path then serves the insertion it was split for
// only). 0, or -1 with MemoryError (the splits done stay; the tree is
// consistent).
int btree_split_path(BTreeCore *tree, BTreePath &path, bool *split);

// Removes the item the path is on. Every node on the way down is topped up
// first, so that the leaf can lose an item without any node falling below the
// fewest keys; the item is then found where the top-ups moved it. The
// removed key and value go to `pending`; with
// `removed`, the value (the key in a tree that keeps no values) is also
// handed over (a new reference). Separators that leave the tree go to
// `pending`.
void btree_remove_at(BTreeCore *tree, BTreePath &path, BTreeChange &change, BTreeReleaseList &pending,
                     PyObject **removed);
