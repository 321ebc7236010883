#include "btreemap/fill.h"

#include "btreemap/object.h"
#include "bulk/build.h"
#include "bulk/order.h"
#include "nodes/copy.h"
#include "nodes/cursor.h"
#include "nodes/memory.h"
#include "ops/ops.h"

namespace {

// Keys and values gathered from Python data, each slot a reference of its
// own until the bulk build takes it over.
class PairList {
public:
    PairList() = default;
    PairList(const PairList &) = delete;
    PairList &operator=(const PairList &) = delete;
    ~PairList()
    {
        for (Py_ssize_t i = 0; i < count; i++) {
            Py_XDECREF(keys[i]);
            Py_XDECREF(values[i]);
        }
        btree_mem_free(keys);
        btree_mem_free(values);
    }

    // Takes over both references; releases them when the list cannot grow.
    int append(PyObject *key, PyObject *value)
    {
        if (count == capacity && grow() < 0) {
            Py_DECREF(key);
            Py_DECREF(value);
            return -1;
        }
        keys[count] = key;
        values[count++] = value;
        return 0;
    }

    PyObject **keys = nullptr;
    PyObject **values = nullptr;
    Py_ssize_t count = 0;

private:
    int grow()
    {
        Py_ssize_t cap = capacity ? capacity * 2 : 64;
        void *k = btree_mem_realloc(keys, static_cast<size_t>(cap) * sizeof(PyObject *));
        if (k)
            keys = static_cast<PyObject **>(k);
        void *v = k ? btree_mem_realloc(values, static_cast<size_t>(cap) * sizeof(PyObject *)) : nullptr;
        if (!v)
            return PyErr_NoMemory(), -1;
        values = static_cast<PyObject **>(v);
        capacity = cap;
        return 0;
    }

    Py_ssize_t capacity = 0;
};

int gather_dict(PyObject *dict, PairList &pairs)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (pairs.append(Py_NewRef(key), Py_NewRef(value)) < 0)
            return -1;
    return 0;
}

// Another map's items, read from its leaf chain: taking references runs no
// Python code.
int gather_map(const BTreeCore *tree, PairList &pairs)
{
    BTreeCursor cursor = btree_cursor_start(tree);
    int slot;
    while (BTreeNode *leaf = btree_cursor_next(cursor, &slot))
        if (pairs.append(Py_NewRef(leaf->keys[slot]), Py_NewRef(leaf->leaf.values[slot])) < 0)
            return -1;
    return 0;
}

// A mapping by the dict rule: arg[key] for each key of arg.keys().
int gather_mapping(PyObject *mapping, PyObject *keys, PairList &pairs)
{
    PyObject *it = PyObject_GetIter(keys);
    if (!it)
        return -1;
    PyObject *key;
    while ((key = PyIter_Next(it))) {
        PyObject *value = PyObject_GetItem(mapping, key);
        if (!value) {
            Py_DECREF(key);
            break;
        }
        if (pairs.append(key, value) < 0)
            break;
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? -1 : 0;
}

// An iterable of pairs, with dict's messages for elements that are not.
int gather_pairs(PyObject *iterable, PairList &pairs)
{
    PyObject *it = PyObject_GetIter(iterable);
    if (!it)
        return -1;
    PyObject *item;
    for (Py_ssize_t i = 0; (item = PyIter_Next(it)); i++) {
        PyObject *seq = PySequence_Fast(item, "");
        Py_DECREF(item);
        if (!seq) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                PyErr_Format(PyExc_TypeError, "cannot convert dictionary update sequence element #%zd to a sequence",
                             i);
            break;
        }
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required", i,
                         n);
            Py_DECREF(seq);
            break;
        }
        int rc = pairs.append(Py_NewRef(PySequence_Fast_GET_ITEM(seq, 0)), Py_NewRef(PySequence_Fast_GET_ITEM(seq, 1)));
        Py_DECREF(seq);
        if (rc < 0)
            break;
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? -1 : 0;
}

int gather(PyObject *arg, PyObject *kwargs, PairList &pairs)
{
    if (arg) {
        int rc;
        if (PyDict_CheckExact(arg)) {
            rc = gather_dict(arg, pairs);
        } else if (btreemap_check(arg)) {
            rc = gather_map(btreemap_core(arg), pairs);
        } else {
            PyObject *keys = PyObject_GetAttrString(arg, "keys");
            if (!keys) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                    return -1;
                PyErr_Clear();
            }
            if (keys) {
                PyObject *listed = PyObject_CallNoArgs(keys);
                Py_DECREF(keys);
                if (!listed)
                    return -1;
                rc = gather_mapping(arg, listed, pairs);
                Py_DECREF(listed);
            } else {
                rc = gather_pairs(arg, pairs);
            }
        }
        if (rc < 0)
            return -1;
    }
    return kwargs ? gather_dict(kwargs, pairs) : 0;
}

// Builds the ordered pairs into a tree of their own, which the map then
// adopts. 0 or -1.
int build_into(PyObject *map, PairList &pairs)
{
    BTreeCore built;
    btree_init(&built);
    int rc = btree_build_sorted(&built, pairs.keys, pairs.values, pairs.count);
    if (rc == 0)
        rc = btree_adopt(btreemap_core(map), &built);
    btree_finalize(&built);
    return rc;
}

// Stores the pairs in a map that has items already (or gained some while
// Python code ran), one at a time and in their order.
int insert_each(PyObject *map, PairList &pairs)
{
    for (Py_ssize_t i = 0; i < pairs.count; i++)
        if (btree_insert_item(btreemap_core(map), pairs.keys[i], pairs.values[i], BTreeWrite::KeepShape) < 0)
            return -1;
    return 0;
}

int fill(PyObject *map, PairList &pairs, bool trusted)
{
    if (btreemap_core(map)->size)
        return insert_each(map, pairs);
    if (btree_order_pairs(pairs.keys, pairs.values, &pairs.count, trusted) < 0)
        return -1;
    // Comparing the keys ran Python code, which may have filled the map.
    return btreemap_core(map)->size ? insert_each(map, pairs) : build_into(map, pairs);
}

}  // namespace

int btreemap_update(PyObject *map, PyObject *arg, PyObject *kwargs)
{
    // A map into an empty map: a structural copy, no key compared.
    if (arg && btreemap_check(arg) && !kwargs && arg != map && !btreemap_core(map)->size) {
        BTreeCore copied;
        btree_init(&copied);
        int rc = btree_copy_into(&copied, btreemap_core(arg));
        if (rc == 0)
            rc = btree_adopt(btreemap_core(map), &copied);
        btree_finalize(&copied);
        return rc;
    }
    PairList pairs;
    if (gather(arg, kwargs, pairs) < 0)
        return -1;
    return fill(map, pairs, false);
}

int btreemap_fill_sorted(PyObject *map, PyObject *iterable)
{
    PairList pairs;
    if (gather_pairs(iterable, pairs) < 0)
        return -1;
    return fill(map, pairs, true);
}

PyObject *BTreeMap_update(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *arg = nullptr;
    if (!PyArg_UnpackTuple(args, "update", 0, 1, &arg))
        return nullptr;
    if (kwargs && !PyDict_GET_SIZE(kwargs))
        kwargs = nullptr;
    if (btreemap_update(self, arg, kwargs) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *BTreeMap_fromkeys(PyObject *cls, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "fromkeys() takes 1 or 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *value = nargs == 2 ? args[1] : Py_None;
    PairList pairs;
    PyObject *it = PyObject_GetIter(args[0]);
    if (!it)
        return nullptr;
    PyObject *key;
    while ((key = PyIter_Next(it)))
        if (pairs.append(key, Py_NewRef(value)) < 0)
            break;
    Py_DECREF(it);
    if (PyErr_Occurred())
        return nullptr;
    PyObject *map = PyObject_CallNoArgs(cls);
    if (map && (!btreemap_check(map) || fill(map, pairs, false) < 0)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "fromkeys() needs a BTreeMap class");
        Py_CLEAR(map);
    }
    return map;
}

PyObject *BTreeMap_fromsorted(PyObject *cls, PyObject *pairs)
{
    PyObject *map = PyObject_CallNoArgs(cls);
    if (map && (!btreemap_check(map) || btreemap_fill_sorted(map, pairs) < 0)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "fromsorted() needs a BTreeMap class");
        Py_CLEAR(map);
    }
    return map;
}
