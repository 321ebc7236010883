#include "btree/capi.h"

#include "btree/iter.h"
#include "btree_capi.h"
#include "bulk/build.h"
#include "bulk/merge.h"
#include "keys/kind.h"
#include "nodes/copy.h"
#include "ops/ops.h"

namespace {

int PyBTree_Insert(PyObject *tree, PyObject *key, PyObject *value)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_insert_item(t, key, value) : -1;
}

PyObject *PyBTree_Search(PyObject *tree, PyObject *key)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_search_item(t, key) : nullptr;
}

// A wrong pointer from a client must not be read as a tree: the check is one
// type comparison.
PyObject *PyBTree_IterNew(PyObject *tree, int kind)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_iter_new(t, kind) : nullptr;
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
    BTreeObject *t = btree_cast(tree);
    return t ? btree_delete_item(t, key) : -1;
}

Py_ssize_t PyBTree_BisectLeft(PyObject *tree, PyObject *key)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_rank(t, key, 0) : -1;
}

Py_ssize_t PyBTree_BisectRight(PyObject *tree, PyObject *key)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_rank(t, key, 1) : -1;
}

PyObject *PyBTree_IRange(PyObject *tree, PyObject *min, PyObject *max, PyObject *inclusive)
{
    BTreeObject *t = btree_cast(tree);
    if (!t)
        return nullptr;
    // A missing bound is no bound.
    if (!min)
        min = Py_None;
    if (!max)
        max = Py_None;
    if ((min != Py_None && btree_nan_check(min) < 0) || (max != Py_None && btree_nan_check(max) < 0))
        return nullptr;
    int inclusive_min, inclusive_max;
    if (btree_parse_inclusive(inclusive, &inclusive_min, &inclusive_max) < 0)
        return nullptr;
    if (btree_guard_test(t) < 0)
        return nullptr;
    BTreeBusy busy(t);
    return btree_collect_range(t, min, max, inclusive_min, inclusive_max);
}

PyObject *PyBTree_GetItemByIndex(PyObject *tree, Py_ssize_t index, int kind)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_item_at(t, index, kind) : nullptr;
}

PyObject *PyBTree_PopItemByIndex(PyObject *tree, Py_ssize_t index)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_pop_item_at(t, index) : nullptr;
}

PyObject *PyBTree_MergeUnion(PyObject *left, PyObject *right)
{
    return btree_set_merge(left, right, BTreeSetOp::Union);
}

PyObject *PyBTree_MergeIntersection(PyObject *left, PyObject *right)
{
    return btree_set_merge(left, right, BTreeSetOp::Intersection);
}

PyObject *PyBTree_MergeDifference(PyObject *left, PyObject *right)
{
    return btree_set_merge(left, right, BTreeSetOp::Difference);
}

PyObject *PyBTree_Copy(PyObject *tree)
{
    BTreeObject *t = btree_cast(tree);
    return t ? reinterpret_cast<PyObject *>(btree_copy_tree(t)) : nullptr;
}

PyObject *PyBTree_Increment(PyObject *tree, PyObject *key, PyObject *delta, PyObject *start)
{
    BTreeObject *t = btree_cast(tree);
    return t ? btree_increment(t, key, delta, start) : nullptr;
}

PyObject *PyBTree_BuildFromSortedPairs(PyObject **keys, PyObject **values, Py_ssize_t n)
{
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must be >= 0");
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(btree_build_sorted(keys, values, n));
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

void *api[BTREE_API_SLOTS];

}  // namespace

static_assert(sizeof(PyBTree_CAPI) == sizeof(api), "the table holds sixteen pointers");

void **btree_capi_table()
{
    memcpy(api, &api_entries, sizeof(api));
    return api;
}
