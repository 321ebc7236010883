#include "btree/capi.h"

#include "btree/iter.h"
#include "btree_capi.h"
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

void unavailable(const char *entry)
{
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", entry);
}

int PyBTree_Delete(PyObject *, PyObject *) { return unavailable("PyBTree_Delete"), -1; }
Py_ssize_t PyBTree_BisectLeft(PyObject *, PyObject *) { return unavailable("PyBTree_BisectLeft"), -1; }
Py_ssize_t PyBTree_BisectRight(PyObject *, PyObject *) { return unavailable("PyBTree_BisectRight"), -1; }
PyObject *PyBTree_IRange(PyObject *, PyObject *, PyObject *, PyObject *)
{
    return unavailable("PyBTree_IRange"), nullptr;
}
PyObject *PyBTree_GetItemByIndex(PyObject *, Py_ssize_t, int)
{
    return unavailable("PyBTree_GetItemByIndex"), nullptr;
}
PyObject *PyBTree_MergeUnion(PyObject *, PyObject *) { return unavailable("PyBTree_MergeUnion"), nullptr; }
PyObject *PyBTree_MergeIntersection(PyObject *, PyObject *)
{
    return unavailable("PyBTree_MergeIntersection"), nullptr;
}
PyObject *PyBTree_MergeDifference(PyObject *, PyObject *)
{
    return unavailable("PyBTree_MergeDifference"), nullptr;
}
PyObject *PyBTree_Copy(PyObject *) { return unavailable("PyBTree_Copy"), nullptr; }
PyObject *PyBTree_Increment(PyObject *, PyObject *, PyObject *, PyObject *)
{
    return unavailable("PyBTree_Increment"), nullptr;
}
PyObject *PyBTree_BuildFromSortedPairs(PyObject **, PyObject **, Py_ssize_t)
{
    return unavailable("PyBTree_BuildFromSortedPairs"), nullptr;
}
PyObject *PyBTree_PopItemByIndex(PyObject *, Py_ssize_t) { return unavailable("PyBTree_PopItemByIndex"), nullptr; }

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
