/* Public C API of the btree module.
 *
 * The module publishes a capsule "btree._C_API" that holds a table of
 * PyBTree_API_POINTERS function pointers. A client extension includes this
 * header, calls PyBTree_ImportAPI() once (for instance in its module
 * initialisation) and then calls the entries through the returned table:
 *
 *     const PyBTree_CAPI *api = PyBTree_ImportAPI();
 *     if (api == NULL) return NULL;
 *     if (api->Insert(tree, key, value) < 0) ...
 *
 * Every entry returns -1 (int and Py_ssize_t results) or NULL with a Python
 * exception set on failure; the one NULL without an exception is the end of
 * iteration from IterNext. Objects returned are new references.
 */
#ifndef BTREE_CAPI_H
#define BTREE_CAPI_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PyBTree_CAPSULE_NAME "btree._C_API"

/* Slot indices in the table. */
enum {
    PyBTree_Insert_NUM = 0,
    PyBTree_Delete_NUM = 1,
    PyBTree_Search_NUM = 2,
    PyBTree_BisectLeft_NUM = 3,
    PyBTree_BisectRight_NUM = 4,
    PyBTree_IRange_NUM = 5,
    PyBTree_GetItemByIndex_NUM = 6,
    PyBTree_IterNew_NUM = 7,
    PyBTree_IterNext_NUM = 8,
    PyBTree_MergeUnion_NUM = 9,
    PyBTree_MergeIntersection_NUM = 10,
    PyBTree_MergeDifference_NUM = 11,
    PyBTree_Copy_NUM = 12,
    PyBTree_Increment_NUM = 13,
    PyBTree_BuildFromSortedPairs_NUM = 14,
    PyBTree_PopItemByIndex_NUM = 15,
    PyBTree_API_POINTERS = 16
};

/* What positional access and iterators yield: keys, values, or (key, value)
 * tuples (any other kind yields tuples too). */
enum {
    PyBTree_ITER_KEYS = 0,
    PyBTree_ITER_VALUES = 1,
    PyBTree_ITER_ITEMS = 2
};

typedef int (*PyBTree_Insert_t)(PyObject *tree, PyObject *key, PyObject *value);
typedef int (*PyBTree_Delete_t)(PyObject *tree, PyObject *key);
typedef PyObject *(*PyBTree_Search_t)(PyObject *tree, PyObject *key);
typedef Py_ssize_t (*PyBTree_BisectLeft_t)(PyObject *tree, PyObject *key);
typedef Py_ssize_t (*PyBTree_BisectRight_t)(PyObject *tree, PyObject *key);
typedef PyObject *(*PyBTree_IRange_t)(PyObject *tree, PyObject *min, PyObject *max, PyObject *inclusive);
typedef PyObject *(*PyBTree_GetItemByIndex_t)(PyObject *tree, Py_ssize_t index, int kind);
typedef PyObject *(*PyBTree_IterNew_t)(PyObject *tree, int kind);
typedef PyObject *(*PyBTree_IterNext_t)(PyObject *iter);
typedef PyObject *(*PyBTree_MergeUnion_t)(PyObject *left, PyObject *right);
typedef PyObject *(*PyBTree_MergeIntersection_t)(PyObject *left, PyObject *right);
typedef PyObject *(*PyBTree_MergeDifference_t)(PyObject *left, PyObject *right);
typedef PyObject *(*PyBTree_Copy_t)(PyObject *tree);
typedef PyObject *(*PyBTree_Increment_t)(PyObject *tree, PyObject *key, PyObject *delta, PyObject *start);
typedef PyObject *(*PyBTree_BuildFromSortedPairs_t)(PyObject **keys, PyObject **values, Py_ssize_t n);
typedef PyObject *(*PyBTree_PopItemByIndex_t)(PyObject *tree, Py_ssize_t index);

/* The table, slot for slot. */
typedef struct {
    PyBTree_Insert_t Insert;
    PyBTree_Delete_t Delete;
    PyBTree_Search_t Search;
    PyBTree_BisectLeft_t BisectLeft;
    PyBTree_BisectRight_t BisectRight;
    PyBTree_IRange_t IRange;
    PyBTree_GetItemByIndex_t GetItemByIndex;
    PyBTree_IterNew_t IterNew;
    PyBTree_IterNext_t IterNext;
    PyBTree_MergeUnion_t MergeUnion;
    PyBTree_MergeIntersection_t MergeIntersection;
    PyBTree_MergeDifference_t MergeDifference;
    PyBTree_Copy_t Copy;
    PyBTree_Increment_t Increment;
    PyBTree_BuildFromSortedPairs_t BuildFromSortedPairs;
    PyBTree_PopItemByIndex_t PopItemByIndex;
} PyBTree_CAPI;

/* The table of a capsule object, or NULL with an exception set. */
static inline const PyBTree_CAPI *PyBTree_APIFromCapsule(PyObject *capsule, const char *name)
{
    return (const PyBTree_CAPI *)PyCapsule_GetPointer(capsule, name);
}

/* Imports btree and returns its table, or NULL with an exception set. */
static inline const PyBTree_CAPI *PyBTree_ImportAPI(void)
{
    return (const PyBTree_CAPI *)PyCapsule_Import(PyBTree_CAPSULE_NAME, 0);
}

#ifdef __cplusplus
}
#endif

#endif /* BTREE_CAPI_H */
