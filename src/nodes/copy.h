// Structural copy of a tree: every node duplicated, keys and values shared.
// It reads `src` as it finds it: operations copy through btree_copy
// (ops/ops.h), which enters the source first.
#pragma once
#include "nodes/tree.h"

// Fills the empty tree `dst` with the items, node structure, key kind and key
// type of `src`; the copy's version stays and its path cache stays empty.
// 0, or -1 with MemoryError and `dst` still empty.
int btree_copy_into(BTreeCore *dst, const BTreeCore *src);
