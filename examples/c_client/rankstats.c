/* rankstats: a client extension of btree.
 *
 * It reaches trees through the capsule btree._C_API, declared in
 * btree_capi.h, and offers what the Python methods do not: quantiles by
 * position, draining the smallest items, counting in one call, building a
 * tree from sorted pairs without comparisons, and the keys two trees share.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "btree_capi.h"

/* The table, fetched once when the module is initialised. */
static const PyBTree_CAPI *btree_api;

/* quantile(tree, q): the key at position floor(q * (len - 1)). */
static PyObject *quantile(PyObject *Py_UNUSED(module), PyObject *args)
{
    PyObject *tree;
    double q;
    if (!PyArg_ParseTuple(args, "Od:quantile", &tree, &q))
        return NULL;
    if (!(q >= 0.0 && q <= 1.0)) {
        PyErr_SetString(PyExc_ValueError, "q must lie in [0, 1]");
        return NULL;
    }
    Py_ssize_t n = PyObject_Length(tree);
    if (n < 0)
        return NULL;
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "quantile of an empty tree");
        return NULL;
    }
    Py_ssize_t index = (Py_ssize_t)(q * (double)(n - 1));
    return btree_api->GetItemByIndex(tree, index, PyBTree_ITER_KEYS);
}

/* count_between(tree, low, high): how many keys k have low <= k <= high. */
static PyObject *count_between(PyObject *Py_UNUSED(module), PyObject *args)
{
    PyObject *tree, *low, *high;
    if (!PyArg_ParseTuple(args, "OOO:count_between", &tree, &low, &high))
        return NULL;
    Py_ssize_t below = btree_api->BisectLeft(tree, low);
    if (below < 0)
        return NULL;
    Py_ssize_t upto = btree_api->BisectRight(tree, high);
    if (upto < 0)
        return NULL;
    return PyLong_FromSsize_t(upto > below ? upto - below : 0);
}

/* tally(tree, iterable): adds 1 to the count of every item, starting from 0
 * for an item not yet in the tree; one descent per item. */
static PyObject *tally(PyObject *Py_UNUSED(module), PyObject *args)
{
    PyObject *tree, *iterable;
    if (!PyArg_ParseTuple(args, "OO:tally", &tree, &iterable))
        return NULL;
    PyObject *iterator = PyObject_GetIter(iterable);
    if (!iterator)
        return NULL;
    PyObject *zero = PyLong_FromLong(0), *one = PyLong_FromLong(1);
    PyObject *item = NULL;
    int failed = !zero || !one;
    while (!failed && (item = PyIter_Next(iterator)) != NULL) {
        PyObject *count = btree_api->Increment(tree, item, one, zero);
        Py_DECREF(item);
        if (!count)
            failed = 1;
        Py_XDECREF(count);
    }
    Py_DECREF(iterator);
    Py_XDECREF(zero);
    Py_XDECREF(one);
    if (failed || PyErr_Occurred())
        return NULL;
    Py_RETURN_NONE;
}

/* pop_lowest(tree, n): removes the n smallest items (fewer if the tree runs
 * out) and returns them as a list of (key, value) tuples. */
static PyObject *pop_lowest(PyObject *Py_UNUSED(module), PyObject *args)
{
    PyObject *tree;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On:pop_lowest", &tree, &n))
        return NULL;
    Py_ssize_t size = PyObject_Length(tree);
    if (size < 0)
        return NULL;
    if (n > size)
        n = size;
    PyObject *popped = PyList_New(0);
    for (Py_ssize_t i = 0; popped && i < n; i++) {
        PyObject *item = btree_api->PopItemByIndex(tree, 0);
        if (!item || PyList_Append(popped, item) < 0)
            Py_CLEAR(popped);
        Py_XDECREF(item);
    }
    return popped;
}

/* from_sorted(pairs): a new tree from a sequence of (key, value) pairs in
 * strictly ascending key order, built bottom-up without comparing keys in
 * the tree. The order is checked here, because the build trusts it. */
static PyObject *from_sorted(PyObject *Py_UNUSED(module), PyObject *pairs)
{
    /* Checking the order runs the keys' own comparisons, which may change the
     * caller's list: read from a tuple of our own, which no Python code can
     * change or free while we hold it. */
    PyObject *seq = PySequence_Tuple(pairs);
    if (!seq)
        return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(seq);
    PyObject **keys = PyMem_Calloc(n ? (size_t)n : 1, sizeof(PyObject *));
    PyObject **values = PyMem_Calloc(n ? (size_t)n : 1, sizeof(PyObject *));
    PyObject *tree = NULL;
    if (!keys || !values) {
        PyErr_NoMemory();
        goto done;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *pair = PyTuple_GET_ITEM(seq, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "from_sorted expects (key, value) tuples");
            goto done;
        }
        keys[i] = Py_NewRef(PyTuple_GET_ITEM(pair, 0));
        values[i] = Py_NewRef(PyTuple_GET_ITEM(pair, 1));
        if (i > 0) {
            int ascending = PyObject_RichCompareBool(keys[i - 1], keys[i], Py_LT);
            if (ascending < 0)
                goto done;
            if (!ascending) {
                PyErr_SetString(PyExc_ValueError, "keys must be in strictly ascending order");
                goto done;
            }
        }
    }
    /* The build takes over the reference of every slot it consumes and sets
     * the slot to NULL; whatever is left non-NULL is still ours. */
    tree = btree_api->BuildFromSortedPairs(keys, values, n);
done:
    for (Py_ssize_t i = 0; i < n && keys && values; i++) {
        Py_XDECREF(keys[i]);
        Py_XDECREF(values[i]);
    }
    PyMem_Free(keys);
    PyMem_Free(values);
    Py_DECREF(seq);
    return tree;
}

/* common(a, b): a new tree of the keys found in both trees, values None. */
static PyObject *common(PyObject *Py_UNUSED(module), PyObject *args)
{
    PyObject *a, *b;
    if (!PyArg_ParseTuple(args, "OO:common", &a, &b))
        return NULL;
    return btree_api->MergeIntersection(a, b);
}

static PyMethodDef rankstats_methods[] = {
    {"quantile", quantile, METH_VARARGS, "quantile(tree, q): the key at position floor(q * (len - 1))."},
    {"count_between", count_between, METH_VARARGS, "count_between(tree, low, high): keys in [low, high]."},
    {"tally", tally, METH_VARARGS, "tally(tree, iterable): adds 1 to the count of every item."},
    {"pop_lowest", pop_lowest, METH_VARARGS, "pop_lowest(tree, n): removes and returns the n smallest items."},
    {"from_sorted", from_sorted, METH_O, "from_sorted(pairs): a tree from (key, value) pairs in ascending order."},
    {"common", common, METH_VARARGS, "common(a, b): a tree of the keys found in both trees."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef rankstats_module = {
    PyModuleDef_HEAD_INIT,
    "rankstats",
    "Order statistics over btree.BTree, through its C API.",
    -1,
    rankstats_methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_rankstats(void)
{
    /* Imports btree; fails with its ImportError if it is not installed. */
    btree_api = PyBTree_ImportAPI();
    if (!btree_api)
        return NULL;
    return PyModule_Create(&rankstats_module);
}
