// Union, intersection and difference of the key sets of two trees.
#pragma once
#include "nodes/tree.h"

enum class BTreeSetOp { Union, Intersection, Difference };

// Fills the empty tree `dst` with the merged keys, every value None; on equal
// keys the left tree's key object is kept. Refused while either tree's guard
// is held. 0, or -1 with an exception and `dst` empty.
int btree_set_merge(BTreeCore *dst, BTreeCore *left, BTreeCore *right, BTreeSetOp op);
