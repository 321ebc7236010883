// A position in the leaf chain of one tree, for walks that yield items one at
// a time (iterators, merges). It stays valid while the tree's version is the
// one it started at; a walk checks that before every step.
#pragma once
#include <Python.h>
#include <cstdint>

#include "hints.h"
#include "nodes/tree.h"

struct BTreeCursor {
    BTreeNode *leaf;   // leaf of the next item; NULL once the walk is over
    int pos;           // slot of the next item in `leaf`
    uint64_t version;  // the tree's version when the walk started
};

inline BTreeCursor btree_cursor_start(const BTreeCore *tree)
{
    return {tree->root ? btree_leftmost_leaf(tree->root) : nullptr, 0, tree->version};
}

// Whether the tree is unchanged since the walk started; RuntimeError with
// the tree's `mutated` text otherwise.
inline bool btree_cursor_valid(const BTreeCursor &cursor, const BTreeCore *tree)
{
    if (cursor.version == tree->version)
        return true;
    PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
    return false;
}

// Items a forward walk asks for ahead of the one it hands out: taking an item
// writes its objects' reference counts, a cache miss each when they lie
// scattered, and asking early lets those misses overlap.
constexpr int BTREE_WALK_AHEAD = 12;

// Asks for the key object, and with `values` the value, BTREE_WALK_AHEAD
// items after slot `pos` of `leaf`, in the next leaf when this one ends first.
inline void btree_prefetch_ahead(const BTreeNode *leaf, Py_ssize_t pos, bool values)
{
    Py_ssize_t at = pos + BTREE_WALK_AHEAD;
    if (at >= leaf->n) {
        at -= leaf->n;
        leaf = leaf->leaf.next;
        if (!leaf || at >= leaf->n)
            return;
    }
    BTREE_PREFETCH_WRITE(leaf->keys[at]);
    if (values)
        BTREE_PREFETCH_WRITE(leaf->leaf.values[at]);
}

// The leaf and slot of the next item, moving past it; NULL at the end. Leaves
// without items are passed over.
inline BTreeNode *btree_cursor_next(BTreeCursor &cursor, int *slot, bool values = false)
{
    BTreeNode *leaf = cursor.leaf;
    int pos = cursor.pos;
    while (leaf && pos >= leaf->n) {
        leaf = leaf->leaf.next;
        pos = 0;
    }
    cursor.leaf = leaf;
    cursor.pos = leaf ? pos + 1 : 0;
    *slot = pos;
    if (leaf)
        btree_prefetch_ahead(leaf, pos, values);
    return leaf;
}
