// Insertion at a path, inlined into the writes: a leaf with room takes the
// item at once, and only a full one calls out to split along the path.
#pragma once
#include <Python.h>

#include "hints.h"
#include "nodes/slots.h"
#include "ops/cache.h"
#include "ops/path.h"

// Stores a new item at the path's place: `key` (a new reference is taken) with
// its primitive when the tree keeps `Prims`, and `value`, whose reference the
// tree takes over (a tree that keeps no `Values` takes none: `value` is
// NULL); a full leaf is first split as btree_split_path does, unless
// the descent made `Room` on its way. The caller marks the change of the new
// item (before any Python code runs). 0, or -1 with MemoryError (the value
// then goes to `pending`).
template <bool Prims, bool Room, bool Values = true>
BTREE_ALWAYS_INLINE inline int btree_insert_at(BTreeCore *tree, BTreePath &path, PyObject *key, BTreePrim prim,
                                                  PyObject *value, BTreeChange &change, BTreeReleaseList &pending)
{
    BTREE_ASSERT(path.shape_version == tree->shape_version);
    if constexpr (!Room) {
        if (path.leaf()->n == BTREE_MAX_KEYS) {
            bool split = false;
            int rc = btree_split_path(tree, path, &split);
            if (split)
                change.mark();
            if (rc < 0) {
                if (value)
                    pending.add(value);
                return -1;
            }
        }
    }
    BTreeNode *leaf = path.leaf();
    int slot = path.slot(), n = leaf->n;
    BTREE_ASSERT(!value == !Values && leaf->keys_only == !Values);
    btree_shift_right(leaf->keys, slot, n);
    if constexpr (Prims) {
        btree_shift_right(leaf->leaf.prims, slot, n);
        leaf->leaf.prims[slot] = prim;
    }
    leaf->keys[slot] = Py_NewRef(key);
    if constexpr (Values) {
        btree_shift_right(leaf->leaf.values, slot, n);
        leaf->leaf.values[slot] = value;
    }
    leaf->n = n + 1;
    BTreeNode *const *nodes = path.nodes;
    const int *at = path.at;
    for (int d = 0, depth = path.depth; d < depth; d++)
        nodes[d]->inner.sizes[at[d]]++;
    btree_set_size(tree, tree->size + 1);
    return 0;
}
