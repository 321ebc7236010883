// Putting (key, value) pairs in the order the bulk build takes: ascending
// keys, each once.
#pragma once
#include <Python.h>

// Orders the n pairs keys[i], values[i] (each slot a reference of its own)
// by key with the core comparison. Of equal keys the first key object stays,
// with the value of the last pair, as a dict built from pairs keeps them.
// With `trusted` the keys must already ascend strictly, which one pass checks:
// ValueError at the first pair out of order or repeated. `*n` becomes the
// number of pairs kept, in the slots before it; the references of the
// dropped pairs are released. 0, or -1 with an exception and every slot
// still holding its reference for the caller to release.
int btree_order_pairs(PyObject **keys, PyObject **values, Py_ssize_t *n, bool trusted);
