// Putting (key, value) pairs in the order the bulk build takes: ascending
// keys, each once.
#pragma once
#include <Python.h>

#include "bulk/pairs.h"

// Orders the pairs by key. Of equal keys the first key object stays, with the
// value of the last pair, as a dict built from pairs keeps them. With
// `trusted` the keys must already ascend strictly, which one pass checks:
// ValueError at the first pair out of order or repeated. Keys that share a
// primitive kind are ordered by their primitives without reading the key
// objects (strings by whole string only where prefixes tie); other keys by
// the core comparison, which stops at the first comparison that fails. The
// references of the dropped pairs are released. With `keep_equal` every pair
// stays, equal keys in their input order (and `trusted` asks only that keys
// ascend). 0, or -1 with an exception and every slot still holding its
// reference.
int btree_order_pairs(BTreePairs &pairs, bool trusted, bool keep_equal = false);
