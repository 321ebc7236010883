// The tree operations shared by the Python methods and the capsule entries.
#pragma once
#include <Python.h>

#include "btree/tree.h"

PyObject *btree_search_item(BTreeObject *tree, PyObject *key);
int btree_insert_item(BTreeObject *tree, PyObject *key, PyObject *value);

// Splits the full child `children[index]` of the non-full internal `parent`;
// primitives travel with their keys when `copy_prims` is nonzero. 0, or -1
// with MemoryError before anything has changed.
int btree_split_child(BTreeNode *parent, int index, int copy_prims);

// Makes sure the root has room for one more key: a missing root becomes an
// empty leaf and a full root is split under a new internal root. `*split` is
// set when the tree grew. 0, or -1 with MemoryError and the tree unchanged.
int btree_prepare_root(BTreeObject *tree, int *split);

// Ends a successful mutation: the path cache is dropped and `version` moves on.
void btree_mutated(BTreeObject *tree, class BTreeReleaseList &pending);
