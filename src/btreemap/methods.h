// The methods of BTreeMap defined outside the type's own file, one file per
// concern, gathered into the type's method table.
#pragma once
#include <Python.h>

#include "ops/ops.h"

// Order: order.cpp.
PyObject *BTreeMap_bisect_left(PyObject *self, PyObject *key);
PyObject *BTreeMap_bisect_right(PyObject *self, PyObject *key);
PyObject *BTreeMap_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *BTreeMap_peekitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *BTreeMap_popitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *BTreeMap_irange(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *BTreeMap_remove_range(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *BTreeMap_islice(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *BTreeMap_floor_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *BTreeMap_ceiling_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *BTreeMap_lower_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *BTreeMap_higher_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
// The position of `key` in key order, counted only from `start` to `stop`
// (NULL or None: the ends), which are read as list.index reads them;
// ValueError "... is not in the <where>" when absent or outside them.
PyObject *btreemap_index_between(PyObject *self, PyObject *key, PyObject *start, PyObject *stop, const char *where);

// The ranges of maps and sequences alike, yielding `kind`: a bound given as
// a key (key(bound) in a keyed map; None no bound, kept), the lazy iterator
// between two tree keys (None: no bound), irange() and islice().
PyObject *btreemap_bound_key(PyObject *self, PyObject *bound);
PyObject *btreemap_range_iter(PyObject *self, PyObject *min, PyObject *max, PyObject *inclusive, PyObject *reverse,
                              BTreeItemKind kind);
PyObject *btreemap_irange(PyObject *self, PyObject *args, PyObject *kwargs, BTreeItemKind kind);
// The calls on tree keys as they are (the results of a key function), for
// keyed maps and the sequences: the rank of a key, before or after its
// equals, and irange_key().
PyObject *btreemap_bisect_key_left(PyObject *self, PyObject *key);
PyObject *btreemap_bisect_key_right(PyObject *self, PyObject *key);
PyObject *btreemap_irange_key(PyObject *self, PyObject *args, PyObject *kwargs, BTreeItemKind kind);
PyObject *btreemap_islice(PyObject *self, PyObject *args, PyObject *kwargs, BTreeItemKind kind);
// Whole maps: whole.cpp.
PyObject *BTreeMap_copy(PyObject *self, PyObject *);
PyObject *BTreeMap_deepcopy(PyObject *self, PyObject *memo);
PyObject *BTreeMap_reduce(PyObject *self, PyObject *);
PyObject *BTreeMap_sizeof(PyObject *self, PyObject *);
PyObject *BTreeMap_union(PyObject *self, PyObject *other);
PyObject *BTreeMap_intersection(PyObject *self, PyObject *other);
PyObject *BTreeMap_difference(PyObject *self, PyObject *other);
PyObject *BTreeMap_or(PyObject *left, PyObject *right);
PyObject *BTreeMap_inplace_or(PyObject *self, PyObject *other);
PyObject *BTreeMap_richcompare(PyObject *self, PyObject *other, int op);
PyObject *BTreeMap_repr(PyObject *self);

// Views: views.cpp.
PyObject *BTreeMap_keys(PyObject *self, PyObject *);
PyObject *BTreeMap_values(PyObject *self, PyObject *);
PyObject *BTreeMap_items(PyObject *self, PyObject *);

// The collections.abc ABC of `name`, a new reference, or NULL.
PyObject *btreemap_abc(const char *name);

// Registers `type` as a virtual subclass of the collections.abc ABC `name`.
// 0 or -1.
int btreemap_register_abc(PyTypeObject *type, const char *name);
