// Union, intersection and difference of the key sets of two trees.
#pragma once
#include "nodes/tree.h"

enum class BTreeSetOp { Union, Intersection, Difference };

// Fills the empty tree `dst` with the merged keys; on equal keys the left
// tree's key object is kept. Without `with_values` every value is None; with
// it a key of the left tree keeps its value there, a key only in the right
// tree its value there. Refused while either tree's guard is held. 0, or -1
// with an exception and `dst` empty.
int btree_set_merge(BTreeCore *dst, BTreeCore *left, BTreeCore *right, BTreeSetOp op, bool with_values = false);
