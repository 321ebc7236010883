#include "btree/capi.h"

#include <cstring>

#include "btree/iter.h"
#include "btree/object.h"
#include "btree_capi.h"
#include "bulk/build.h"
#include "bulk/merge.h"
#include "ops/ops.h"

namespace {

// The core's item kind of a PyBTree_ITER_* kind: any other kind yields tuples.
BTreeItemKind item_kind(int kind)
{
    switch (kind) {
    case PyBTree_ITER_KEYS:
        return BTreeItemKind::Keys;
    case PyBTree_ITER_VALUES:
        return BTreeItemKind::Values;
    default:
        return BTreeItemKind::Items;
    }
}

// A new tree object filled by `fill(core)`, or NULL when either fails.
template <class Fill>
PyObject *new_tree_filled(Fill &&fill)
{
    PyObject *tree = btree_new_object();
    if (tree && fill(btree_core(tree)) < 0)
        Py_CLEAR(tree);
    return tree;
}

int PyBTree_Insert(PyObject *tree, PyObject *key, PyObject *value)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_insert_item(t, key, value) : -1;
}

PyObject *PyBTree_Search(PyObject *tree, PyObject *key)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_search_item(t, key) : nullptr;
}

// A wrong pointer from a client must not be read as a tree: the check is one
// type comparison.
PyObject *PyBTree_IterNew(PyObject *tree, int kind)
{
    return btree_cast(tree) ? btree_iter_new(tree, item_kind(kind)) : nullptr;
}

PyObject *PyBTree_IterNext(PyObject *iter)
{
    if (!Py_IS_TYPE(iter, &BTreeIterType)) {
        PyErr_SetString(PyExc_TypeError, "expected a btree iterator");
        return nullptr;
    }
    PyObject *item = BTreeIter_iternext(iter);
    if (!item && PyErr_ExceptionMatches(PyExc_StopIteration))
        PyErr_Clear();
    return item;
}

int PyBTree_Delete(PyObject *tree, PyObject *key)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_delete_item(t, key) : -1;
}

Py_ssize_t PyBTree_BisectLeft(PyObject *tree, PyObject *key)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_rank(t, key, false) : -1;
}

Py_ssize_t PyBTree_BisectRight(PyObject *tree, PyObject *key)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_rank(t, key, true) : -1;
}

PyObject *PyBTree_IRange(PyObject *tree, PyObject *min, PyObject *max, PyObject *inclusive)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_irange(t, min, max, inclusive) : nullptr;
}

PyObject *PyBTree_GetItemByIndex(PyObject *tree, Py_ssize_t index, int kind)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_item_at(t, index, item_kind(kind)) : nullptr;
}

PyObject *PyBTree_PopItemByIndex(PyObject *tree, Py_ssize_t index)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_pop_item_at(t, index) : nullptr;
}

PyObject *set_merge(PyObject *left, PyObject *right, BTreeSetOp op)
{
    if (!Py_IS_TYPE(left, &BTreeType) || !Py_IS_TYPE(right, &BTreeType)) {
        PyErr_SetString(PyExc_TypeError, "expected BTree objects");
        return nullptr;
    }
    return new_tree_filled([&](BTreeCore *dst) { return btree_set_merge(dst, btree_core(left), btree_core(right), op, BTreeMergeEntry::Look); });
}

PyObject *PyBTree_MergeUnion(PyObject *left, PyObject *right)
{
    return set_merge(left, right, BTreeSetOp::Union);
}

PyObject *PyBTree_MergeIntersection(PyObject *left, PyObject *right)
{
    return set_merge(left, right, BTreeSetOp::Intersection);
}

PyObject *PyBTree_MergeDifference(PyObject *left, PyObject *right)
{
    return set_merge(left, right, BTreeSetOp::Difference);
}

PyObject *PyBTree_Copy(PyObject *tree)
{
    BTreeCore *t = btree_cast(tree);
    if (!t)
        return nullptr;
    return new_tree_filled([&](BTreeCore *dst) { return btree_copy(dst, t); });
}

PyObject *PyBTree_Increment(PyObject *tree, PyObject *key, PyObject *delta, PyObject *start)
{
    BTreeCore *t = btree_cast(tree);
    return t ? btree_increment(t, key, delta, start) : nullptr;
}

PyObject *PyBTree_BuildFromSortedPairs(PyObject **keys, PyObject **values, Py_ssize_t n)
{
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must be >= 0");
        return nullptr;
    }
    return new_tree_filled([&](BTreeCore *dst) { return btree_build_sorted(dst, keys, values, n); });
}

// The entries with the exact signatures the public header declares.
const PyBTree_CAPI api_entries = {
    PyBTree_Insert,
    PyBTree_Delete,
    PyBTree_Search,
    PyBTree_BisectLeft,
    PyBTree_BisectRight,
    PyBTree_IRange,
    PyBTree_GetItemByIndex,
    PyBTree_IterNew,
    PyBTree_IterNext,
    PyBTree_MergeUnion,
    PyBTree_MergeIntersection,
    PyBTree_MergeDifference,
    PyBTree_Copy,
    PyBTree_Increment,
    PyBTree_BuildFromSortedPairs,
    PyBTree_PopItemByIndex,
};

void *api[PyBTree_API_POINTERS];

}  // namespace

static_assert(sizeof(PyBTree_CAPI) == sizeof(api), "the table holds one pointer per slot");

void **btree_capi_table()
{
    memcpy(api, &api_entries, sizeof(api));
    return api;
}
