#include "btreemap/positions.h"

#include "btreemap/iter.h"
#include "nodes/ref.h"
#include "nodes/span.h"
#include "btreemap/object.h"
#include "btreemap/seq.h"
#include "ops/entry.h"

namespace {

// Fills `list` with `count` items of `span`, one in `stride`; 0 when the tree
// changed before the last one was made.
int take_items(BTreeCore *tree, PyObject *list, BTreeItemKind kind, BTreeSpan &span, Py_ssize_t stride,
               Py_ssize_t count)
{
    for (Py_ssize_t i = 0, taken = 0; taken < count; i++) {
        if (!btree_span_valid(span, tree))
            return 0;
        int slot;
        BTreeNode *leaf = btree_span_next(span, tree, &slot, kind != BTreeItemKind::Keys);
        if (i % stride)
            continue;
        PyObject *item = btree_slot_item(leaf, slot, kind);
        if (!item)
            return -1;
        PyList_SET_ITEM(list, taken++, item);
    }
    return 1;
}

// How often a read of many items starts again when the tree changed under it.
constexpr int ITEMS_ATTEMPTS = 8;

// The items at the positions of a slice, taken in one look: no change of
// another thread comes between two of them. Under the interpreter lock,
// making an item may run a collection, whose finalisers may change the tree
// or let another thread do so (3.10 and 3.11 collect at any allocation): the
// read then starts again on the changed tree, as if it had come after.
PyObject *items_at(PyObject *map, BTreeItemKind kind, Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step)
{
    BTreeCore *tree = btreemap_core(map);
    kind = btreemap_kind(map, kind);
    for (int attempt = 0; attempt < ITEMS_ATTEMPTS; attempt++) {
        BTreeLook look(tree);
        if (!look)
            return nullptr;
        Py_ssize_t first = start, last = stop;
        Py_ssize_t count = PySlice_AdjustIndices(btree_size(tree), &first, &last, step);
        // The walk is fixed before the list is made: a change that the
        // allocation lets in shows as a walk gone stale.
        BTreeSpan span = step < 0 ? btree_span_start(tree, last + 1, first + 1, true)
                                  : btree_span_start(tree, first, last, false);
        BTreeRef list(PyList_New(count));
        if (!list)
            return nullptr;
        int taken = take_items(tree, list.get(), kind, span, step < 0 ? -step : step, count);
        if (taken < 0)
            return nullptr;
        if (taken > 0)
            return list.release();
    }
    PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
    return nullptr;
}

}  // namespace

PyObject *btreemap_slice(PyObject *map, BTreeItemKind kind, PyObject *slice)
{
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0)
        return nullptr;
    return items_at(map, kind, start, stop, step);
}

PyObject *btreemap_item_list(PyObject *map, BTreeItemKind kind)
{
    return items_at(map, kind, 0, PY_SSIZE_T_MAX, 1);
}

// A run (step 1 or -1) goes in one operation; other steps remove one position
// at a time, highest first, as a list does, and stop when anything else
// changed the tree in between (a finaliser of a removed item may).
int btreemap_delete_positions(PyObject *map, PyObject *index)
{
    BTreeCore *tree = btreemap_core(map);
    if (!PySlice_Check(index)) {
        Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred())
            return -1;
        return btree_delete_at(tree, i);
    }
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(index, &start, &stop, &step) < 0)
        return -1;
    if (step == 1 || step == -1)
        return btree_remove_slice(tree, start, stop, step) < 0 ? -1 : 0;
    Py_ssize_t size = btree_looked_size(tree);
    if (size < 0)
        return -1;
    Py_ssize_t count = PySlice_AdjustIndices(size, &start, &stop, step);
    if (count == 0)
        return 0;
    Py_ssize_t highest = step > 0 ? start + (count - 1) * step : start;
    Py_ssize_t stride = step > 0 ? step : -step;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Each removal moves the version on by one; more means that the
        // finaliser of a removed item changed the tree.
        uint64_t version = btree_version(tree);
        if (btree_delete_at(tree, highest - i * stride) < 0)
            return -1;
        if (btree_version(tree) != version + 1 && i + 1 < count) {
            PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
            return -1;
        }
    }
    return 0;
}

PyObject *btreemap_list_of(PyObject *iterable)
{
    if (btreeseq_check(iterable))
        return btreemap_item_list(iterable, btreeseq_elements(iterable));
    if (btreemap_check(iterable))
        return btreemap_item_list(iterable, BTreeItemKind::Keys);
    return PySequence_List(iterable);
}

PyObject *btreemap_iter_of(PyObject *iterable)
{
    if (!btreeseq_check(iterable) && !btreemap_check(iterable))
        return PyObject_GetIter(iterable);
    BTreeRef list(btreemap_list_of(iterable));
    return list ? PyObject_GetIter(list.get()) : nullptr;
}
