#include "btreemap/keyed.h"

#include "btreemap/object.h"
#include "nodes/ref.h"
#include "ops/ops.h"

PyObject *btreemap_key_of(PyObject *map, PyObject *k)
{
    return PyObject_CallOneArg(reinterpret_cast<BTreeMapObject *>(map)->key, k);
}

int btreemap_keyed_lookup(PyObject *map, PyObject *k, PyObject **value)
{
    BTreeRef key(btreemap_key_of(map, k));
    if (!key)
        return -1;
    PyObject *pair = nullptr;
    int rc = btree_find_in_run(btreemap_core(map), key.get(), k, 0, nullptr, &pair);
    if (rc > 0) {
        *value = Py_NewRef(PyTuple_GET_ITEM(pair, 1));
        Py_DECREF(pair);
    }
    return rc;
}

int btreemap_keyed_store(PyObject *map, PyObject *k, PyObject *v)
{
    BTreeRef key(btreemap_key_of(map, k));
    return key ? btree_store_pair(btreemap_core(map), key.get(), k, v) : -1;
}

int btreemap_keyed_pop(PyObject *map, PyObject *k, PyObject **value)
{
    BTreeRef key(btreemap_key_of(map, k));
    if (!key)
        return -1;
    PyObject *pair = nullptr;
    int rc = btree_remove_in_run(btreemap_core(map), key.get(), k, &pair);
    if (rc > 0) {
        *value = Py_NewRef(PyTuple_GET_ITEM(pair, 1));
        Py_DECREF(pair);
    }
    return rc;
}

int btreemap_keyed_find(PyObject *map, PyObject *k, Py_ssize_t *rank)
{
    BTreeRef key(btreemap_key_of(map, k));
    return key ? btree_find_in_run(btreemap_core(map), key.get(), k, 0, rank) : -1;
}

Py_ssize_t btreemap_keyed_rank(PyObject *map, PyObject *k, bool or_equal)
{
    BTreeRef key(btreemap_key_of(map, k));
    return key ? btree_rank(btreemap_core(map), key.get(), or_equal) : -1;
}

PyObject *btreemap_keyed_setdefault(PyObject *map, PyObject *k, PyObject *fallback)
{
    BTreeRef key(btreemap_key_of(map, k));
    return key ? btree_setdefault_pair(btreemap_core(map), key.get(), k, fallback) : nullptr;
}

PyObject *btreemap_keyed_increment(PyObject *map, PyObject *k, PyObject *delta, PyObject *start)
{
    BTreeRef key(btreemap_key_of(map, k));
    return key ? btree_increment_pair(btreemap_core(map), key.get(), k, delta, start) : nullptr;
}
