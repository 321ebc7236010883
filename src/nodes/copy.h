// Structural copy of a tree: every node duplicated, keys and values shared.
#pragma once
#include "btree/tree.h"

// A new tree with the same items, node structure, key kind and key type;
// `version` 0 and an empty path cache. NULL with an exception on failure.
BTreeObject *btree_copy_tree(BTreeObject *source);
