// The methods that take a whole map: copies, pickling, size, merges with
// another map, union with any mapping, equality and repr.
#include "btreemap/fill.h"
#include "btreemap/iter.h"
#include "btreemap/keyed.h"
#include "btreemap/methods.h"
#include "btreemap/positions.h"
#include "btreemap/object.h"
#include "bulk/merge.h"
#include "compat.h"
#include "nodes/cursor.h"
#include "nodes/ref.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// The items in key order as a new list of (key, value) tuples.
PyObject *item_list(PyObject *self)
{
    return btreemap_item_list(self, BTreeItemKind::Items);
}

// An iterator over the items as they are at the call: the walks below run
// Python code between items, while other threads may change the map.
PyObject *item_snapshot(PyObject *self)
{
    BTreeRef items(item_list(self));
    return items ? PyObject_GetIter(items.get()) : nullptr;
}

// A new, empty map of the type of `self`, with its key function.
PyObject *same_type(PyObject *self)
{
    return btreemap_alloc_like(self);
}

PyObject *key_function(PyObject *map)
{
    return reinterpret_cast<BTreeMapObject *>(map)->key;
}

// A map merge one item at a time, for keyed maps, whose runs of equal key(k)
// no linear merge can pair up: the items of `self` kept by `op` (those in
// `other` or not), then for a union the items of `other` that `self` lacks.
PyObject *merged_by_lookups(PyObject *self, PyObject *other, BTreeSetOp op)
{
    BTreeRef result(same_type(self));
    BTreeRef items(result ? item_list(self) : nullptr);
    if (!items)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        int in_other = op == BTreeSetOp::Union ? 1 : PySequence_Contains(other, PyTuple_GET_ITEM(item, 0));
        if (in_other < 0)
            return nullptr;
        if (in_other == (op != BTreeSetOp::Difference) &&
            btreemap_store(result.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0)
            return nullptr;
    }
    if (op == BTreeSetOp::Union) {
        BTreeRef theirs(item_list(other));
        if (!theirs)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(theirs.get()); i++) {
            PyObject *item = PyList_GET_ITEM(theirs.get(), i);
            int present = PySequence_Contains(result.get(), PyTuple_GET_ITEM(item, 0));
            if (present < 0 || (!present && btreemap_store(result.get(), PyTuple_GET_ITEM(item, 0),
                                                           PyTuple_GET_ITEM(item, 1)) < 0))
                return nullptr;
        }
    }
    return result.release();
}

PyObject *merged(PyObject *self, PyObject *other, BTreeSetOp op)
{
    if (!btreemap_check(other)) {
        PyErr_Format(PyExc_TypeError, "expected a BTreeMap, got %.100s", Py_TYPE(other)->tp_name);
        return nullptr;
    }
    if (btreemap_keyed(self) || btreemap_keyed(other))
        return merged_by_lookups(self, other, op);
    PyObject *result = same_type(self);
    if (result && btree_set_merge(btreemap_core(result), btreemap_core(self), btreemap_core(other), op, BTreeMergeEntry::Hold, true) < 0)
        Py_CLEAR(result);
    return result;
}

bool is_mapping(PyObject *op)
{
    if (PyDict_Check(op) || btreemap_check(op))
        return true;
    PyObject *abc = btreemap_abc("Mapping");
    int r = abc ? PyObject_IsInstance(op, abc) : -1;
    Py_XDECREF(abc);
    if (r < 0)
        PyErr_Clear();
    return r > 0;
}

// Whether two maps of equal sizes hold equal items: their keys, in the same
// order, are equal position by position, so one walk of both compares them
// with == only, and keys of types that cannot be ordered together make the
// maps unequal, as in dict. 1, 0 or -1.
int same_items(PyObject *self, PyObject *other)
{
    BTreeRef mine(item_snapshot(self));
    BTreeRef theirs(mine ? item_snapshot(other) : nullptr);
    if (!theirs)
        return -1;
    int equal = 1;
    while (equal == 1) {
        BTreeRef a(PyIter_Next(mine.get()));
        BTreeRef b(PyErr_Occurred() ? nullptr : PyIter_Next(theirs.get()));
        if (!a || !b) {
            // Snapshots taken after the sizes were compared may differ in
            // length: the shorter one ends first.
            equal = !a && !b;
            break;
        }
        equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(a.get(), 0), PyTuple_GET_ITEM(b.get(), 0), Py_EQ);
        if (equal == 1)
            equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(a.get(), 1), PyTuple_GET_ITEM(b.get(), 1), Py_EQ);
    }
    return PyErr_Occurred() ? -1 : equal;
}

// Whether every item of `self` is in the mapping `other` with an equal
// value; the sizes are already equal. 1, 0 or -1.
int items_in(PyObject *self, PyObject *other)
{
    // Keys of equal key(k) may stand in another order in another map.
    if (btreemap_check(other) && !btreemap_keyed(self) && !btreemap_keyed(other))
        return same_items(self, other);
    PyObject *it = item_snapshot(self);
    if (!it)
        return -1;
    int equal = 1;
    PyObject *item;
    while (equal == 1 && (item = PyIter_Next(it))) {
        PyObject *key = PyTuple_GET_ITEM(item, 0);
        PyObject *theirs = nullptr;
        if (PyDict_Check(other)) {
            theirs = PyDict_GetItemWithError(other, key);
            Py_XINCREF(theirs);
            if (!theirs && PyErr_Occurred())
                equal = -1;
        } else {
            theirs = PyObject_GetItem(other, key);
            if (!theirs && PyErr_ExceptionMatches(PyExc_KeyError))
                PyErr_Clear();
            else if (!theirs)
                equal = -1;
        }
        if (equal == 1)
            equal = theirs ? PyObject_RichCompareBool(PyTuple_GET_ITEM(item, 1), theirs, Py_EQ) : 0;
        Py_XDECREF(theirs);
        Py_DECREF(item);
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? -1 : equal;
}

}  // namespace

PyObject *BTreeMap_copy(PyObject *self, PyObject *)
{
    PyObject *copy = same_type(self);
    if (copy && btree_copy(btreemap_core(copy), btreemap_core(self)) < 0)
        Py_CLEAR(copy);
    return copy;
}

PyObject *BTreeMap_deepcopy(PyObject *self, PyObject *memo)
{
    PyObject *copy = same_type(self);
    if (!copy)
        return nullptr;
    // Registered before the items are copied, so that a map inside itself
    // becomes the copy inside the copy.
    PyObject *id = PyLong_FromVoidPtr(self);
    int rc = id ? PyObject_SetItem(memo, id, copy) : -1;
    Py_XDECREF(id);
    PyObject *items = rc < 0 ? nullptr : item_list(self);
    PyObject *copy_module = items ? PyImport_ImportModule("copy") : nullptr;
    PyObject *copied = copy_module ? PyObject_CallMethod(copy_module, "deepcopy", "OO", items, memo) : nullptr;
    Py_XDECREF(copy_module);
    Py_XDECREF(items);
    if (!copied || btreemap_fill_sorted(copy, copied) < 0)
        Py_CLEAR(copy);
    Py_XDECREF(copied);
    return copy;
}

PyObject *BTreeMap_reduce(PyObject *self, PyObject *)
{
    // Two flat lists pickle smaller and faster than a tuple per item.
    BTreeCore *tree = btreemap_core(self);
    BTreeRef keys, values;
    bool pairs = tree->pair_values;
    // Allocating a list may run a collection whose finalisers change the map,
    // and other threads may meanwhile: the lists are made again until they
    // have its size once it is entered.
    for (;;) {
        BTreeLook look(tree);
        if (!look)
            return nullptr;
        Py_ssize_t n = tree->size;
        if (values && PyList_GET_SIZE(values.get()) == n) {
            // Taking references runs no Python code: the tree stays as it is.
            BTreeCursor cursor = btree_cursor_start(tree);
            int slot;
            for (Py_ssize_t i = 0; BTreeNode *leaf = btree_cursor_next(cursor, &slot); i++) {
                PyObject *value = leaf->leaf.values[slot];
                PyList_SET_ITEM(keys.get(), i, Py_NewRef(pairs ? PyTuple_GET_ITEM(value, 0) : leaf->keys[slot]));
                PyList_SET_ITEM(values.get(), i, Py_NewRef(pairs ? PyTuple_GET_ITEM(value, 1) : value));
            }
            break;
        }
        keys = BTreeRef(PyList_New(n));
        values = BTreeRef(keys ? PyList_New(n) : nullptr);
        if (!values)
            return nullptr;
    }
    PyObject *rebuild = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(self)), "_fromsortedlists");
    if (!rebuild)
        return nullptr;
    if (pairs)
        return Py_BuildValue("(N(NNO))", rebuild, keys.release(), values.release(), key_function(self));
    return Py_BuildValue("(N(NN))", rebuild, keys.release(), values.release());
}

PyObject *BTreeMap_sizeof(PyObject *self, PyObject *)
{
    BTreeCore *tree = btreemap_core(self);
    BTreeLook look(tree);
    if (!look)
        return nullptr;
    size_t bytes = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) +
                   btree_tree_bytes(tree) +
                   static_cast<size_t>(tree->path_cap) * (sizeof(BTreeNode *) + sizeof(int));
    return PyLong_FromSize_t(bytes);
}

PyObject *BTreeMap_union(PyObject *self, PyObject *other)
{
    return merged(self, other, BTreeSetOp::Union);
}

PyObject *BTreeMap_intersection(PyObject *self, PyObject *other)
{
    return merged(self, other, BTreeSetOp::Intersection);
}

PyObject *BTreeMap_difference(PyObject *self, PyObject *other)
{
    return merged(self, other, BTreeSetOp::Difference);
}

PyObject *BTreeMap_or(PyObject *left, PyObject *right)
{
    if (!is_mapping(left) || !is_mapping(right))
        Py_RETURN_NOTIMPLEMENTED;
    // The result takes the type of the map operand, the left one when both are.
    PyObject *map = btreemap_check(left) ? left : right;
    PyObject *result = same_type(map);
    if (result && (btreemap_update(result, left, nullptr) < 0 || btreemap_update(result, right, nullptr) < 0))
        Py_CLEAR(result);
    return result;
}

PyObject *BTreeMap_inplace_or(PyObject *self, PyObject *other)
{
    if (btreemap_update(self, other, nullptr) < 0)
        return nullptr;
    return Py_NewRef(self);
}

PyObject *BTreeMap_richcompare(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !is_mapping(other))
        Py_RETURN_NOTIMPLEMENTED;
    Py_ssize_t theirs = PyObject_Size(other);
    if (theirs < 0)
        return nullptr;
    int equal = theirs == btree_size(btreemap_core(self)) ? items_in(self, other) : 0;
    if (equal < 0)
        return nullptr;
    return PyBool_FromLong((op == Py_EQ) == (equal == 1));
}

PyObject *BTreeMap_repr(PyObject *self)
{
    const char *name = btree_type_name(Py_TYPE(self));
    PyObject *key = key_function(self);
    int entered = Py_ReprEnter(self);
    if (entered != 0)
        return entered > 0 ? PyUnicode_FromFormat("%s(...)", name) : nullptr;
    // Written out as a dict's repr is, in key order: the keys need no hash;
    // the key function first, as SortedDict writes it.
    PyObject *parts = PyList_New(0);
    PyObject *it = parts ? item_snapshot(self) : nullptr;
    PyObject *item;
    while (it && (item = PyIter_Next(it))) {
        PyObject *part = PyUnicode_FromFormat("%R: %R", PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
        Py_DECREF(item);
        if (!part || PyList_Append(parts, part) < 0) {
            Py_XDECREF(part);
            break;
        }
        Py_DECREF(part);
    }
    Py_XDECREF(it);
    PyObject *result = nullptr;
    if (parts && !PyErr_Occurred()) {
        PyObject *sep = PyUnicode_FromString(", ");
        PyObject *body = sep ? PyUnicode_Join(sep, parts) : nullptr;
        if (body)
            result = key ? PyUnicode_FromFormat("%s(%R, {%U})", name, key, body)
                         : PyUnicode_FromFormat("%s({%U})", name, body);
        Py_XDECREF(body);
        Py_XDECREF(sep);
    }
    Py_XDECREF(parts);
    Py_ReprLeave(self);
    return result;
}
