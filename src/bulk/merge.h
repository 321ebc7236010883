// Union, intersection, difference and symmetric difference of the key sets
// of two trees, or of their sets of (key, value) pairs.
#pragma once
#include "nodes/tree.h"

enum class BTreeSetOp { Union, Intersection, Difference, SymmetricDifference };

// What a tree's elements are in a merge: its keys, or its (key, value) pairs.
enum class BTreeElements { Keys, Pairs };

// How a merge enters its two trees. With `Look`, under the interpreter lock
// it holds neither while its comparisons run Python code: a change made
// meanwhile, by them or by another thread, stops the merge with RuntimeError,
// the tree's `mutated` text. With `Hold` it holds both throughout: another
// thread's call waits, and one from its comparisons is refused with the
// `reentrant` text. Where threads run at once a merge always holds both.
enum class BTreeMergeEntry { Look, Hold };

// Fills the empty tree `dst` with the merged keys; on equal keys the left
// tree's key object is kept. Without `with_values` every value is None; with
// it a key of the left tree keeps its value there, a key only in the right
// tree its value there. Both trees are entered as `entry` says. 0, or -1 with
// an exception and `dst` empty.
int btree_set_merge(BTreeCore *dst, BTreeCore *left, BTreeCore *right, BTreeSetOp op, BTreeMergeEntry entry,
                    bool with_values = false);

// Fills the empty tree `dst` with the merged elements of the two trees as its
// keys, every value None; a pair becomes a (key, value) tuple. Two pairs are
// one element when their keys are equal and their values compare equal;
// pairs of one key with different values are ordered by value (`<`) only
// for a union or a symmetric difference (which, when one side is read by
// keys and may hold several pairs of one key, may order two of which it
// keeps one). An element of a side read by keys that is a tuple of two is a
// pair there; any other compares with a pair as an object. Both trees are
// held throughout (`Hold`). 0, or -1 with an exception and `dst` empty.
int btree_set_merge_elements(BTreeCore *dst, BTreeCore *left, BTreeElements left_as, BTreeCore *right,
                             BTreeElements right_as, BTreeSetOp op);
