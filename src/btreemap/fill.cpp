#include "btreemap/fill.h"

#include "btreemap/keyed.h"
#include "btreemap/object.h"
#include "bulk/order.h"
#include "bulk/pairs.h"
#include "hints.h"
#include "nodes/cursor.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

int gather_dict(PyObject *dict, BTreePairs &pairs)
{
    if (pairs.reserve(pairs.count + PyDict_GET_SIZE(dict)) < 0)
        return -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (pairs.append(Py_NewRef(key), Py_NewRef(value)) < 0)
            return -1;
    return 0;
}


// A mapping by the dict rule: arg[key] for each key of arg.keys().
int gather_mapping(PyObject *mapping, PyObject *keys, BTreePairs &pairs)
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

// Whether `item` is a pair as most are given: reading one runs no Python code.
bool is_tuple_pair(const PyObject *item)
{
    return PyTuple_CheckExact(item) && Py_SIZE(item) == 2;
}

BTREE_ALWAYS_INLINE inline int append_tuple_pair(BTreePairs &pairs, PyObject *item)
{
    return pairs.append(Py_NewRef(PyTuple_GET_ITEM(item, 0)), Py_NewRef(PyTuple_GET_ITEM(item, 1)));
}

// One element of an iterable of pairs (the caller's reference), with dict's
// messages for an element that is not a pair.
int append_pair(BTreePairs &pairs, PyObject *item, Py_ssize_t i)
{
    if (is_tuple_pair(item))
        return append_tuple_pair(pairs, item);
    PyObject *seq = PySequence_Fast(item, "");
    if (!seq) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "cannot convert dictionary update sequence element #%zd to a sequence", i);
        return -1;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    int rc = -1;
    if (n != 2)
        PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required", i, n);
    else
        rc = pairs.append(Py_NewRef(PySequence_Fast_GET_ITEM(seq, 0)), Py_NewRef(PySequence_Fast_GET_ITEM(seq, 1)));
    Py_DECREF(seq);
    return rc;
}

// An iterable of pairs. A list or tuple is read in place; only an element
// that is not a tuple runs Python code, which may shorten a list meanwhile,
// so its length is read again at each step, as its iterator would.
int gather_pairs(PyObject *iterable, BTreePairs &pairs)
{
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        if (pairs.reserve(pairs.count + PySequence_Fast_GET_SIZE(iterable)) < 0)
            return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); i++) {
            if (i + BTREE_KEYS_AHEAD < PySequence_Fast_GET_SIZE(iterable)) {
                PyObject *next = PySequence_Fast_ITEMS(iterable)[i + BTREE_KEYS_AHEAD];
                if (is_tuple_pair(next))
                    btree_prefetch_key(PyTuple_GET_ITEM(next, 0));
            }
            // The sequence keeps a pair while it is read; anything else is
            // held, as reading it may shorten the sequence.
            PyObject *item = PySequence_Fast_GET_ITEM(iterable, i);
            if (is_tuple_pair(item)) {
                if (append_tuple_pair(pairs, item) < 0)
                    return -1;
                continue;
            }
            Py_INCREF(item);
            int rc = append_pair(pairs, item, i);
            Py_DECREF(item);
            if (rc < 0)
                return -1;
        }
        return 0;
    }
    PyObject *it = PyObject_GetIter(iterable);
    if (!it)
        return -1;
    PyObject *item;
    for (Py_ssize_t i = 0; (item = PyIter_Next(it)); i++) {
        int rc = append_pair(pairs, item, i);
        Py_DECREF(item);
        if (rc < 0)
            break;
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? -1 : 0;
}

int gather(PyObject *arg, PyObject *kwargs, BTreePairs &pairs)
{
    if (arg) {
        int rc;
        if (PyDict_CheckExact(arg)) {
            rc = gather_dict(arg, pairs);
        } else if (btreemap_check(arg)) {
            rc = btreemap_gather_tree(btreemap_core(arg), pairs);
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

// Stores the pairs in a map that has items already (or gained some while
// Python code ran), or in a keyed map, one at a time and in their order.
int insert_each(PyObject *map, BTreePairs &pairs)
{
    for (Py_ssize_t i = 0; i < pairs.count; i++)
        if (btreemap_store(map, pairs.keys[i], pairs.values[i]) < 0)
            return -1;
    return 0;
}

// A tree of its own, filled by `make(tree)` (0 or -1), which the map then
// adopts; should the map have gained items while its entry waited for
// another thread, the tree's items are stored one at a time. 0 or -1.
template <class Make>
int adopt_made(PyObject *map, Make &&make)
{
    BTreeCore *tree = btreemap_core(map);
    BTreeCore made;
    btree_init(&made, tree->texts, tree->keys_only, tree->equal_keys);
    made.pair_values = tree->pair_values;
    int rc = make(&made);
    if (rc == 0)
        rc = btree_adopt(tree, &made);
    if (rc == 1) {
        // The tree is no object's: nothing else reaches it while the
        // insertions run Python code.
        BTreePairs pairs;
        rc = btreemap_gather_tree(&made, pairs);
        if (rc == 0)
            rc = insert_each(map, pairs);
    }
    btree_finalize(&made);
    return rc;
}

// Builds the ordered pairs into a tree of their own, which the map then
// adopts. 0 or -1.
int build_into(PyObject *map, BTreePairs &pairs)
{
    return adopt_made(map, [&](BTreeCore *built) { return btree_build_pairs(built, pairs); });
}

// Pairs said to be sorted are checked even when they go into a map that
// has items already (one a subclass's __init__ stored). A keyed map, whose
// keys of equal key(k) are told apart by ==, takes them one by one.
int fill(PyObject *map, BTreePairs &pairs, bool trusted)
{
    if (btreemap_keyed(map) || (btree_size(btreemap_core(map)) && !trusted))
        return insert_each(map, pairs);
    if (btree_order_pairs(pairs, trusted) < 0)
        return -1;
    // Comparing the keys ran Python code, which may have filled the map.
    return btree_size(btreemap_core(map)) ? insert_each(map, pairs) : build_into(map, pairs);
}

// A new map of `cls` with key function `key` (NULL: none) holding the pairs;
// `name` is the calling method's.
PyObject *new_map(PyObject *cls, BTreePairs &pairs, bool trusted, const char *name, PyObject *key = nullptr)
{
    PyObject *map = PyObject_CallNoArgs(cls);
    if (map && btreemap_check(map) && key) {
        // A subclass's __init__ may have stored items already.
        if (!btree_size(btreemap_core(map)))
            btreemap_set_key(map, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() needs an empty map", name);
    }
    if (map && (PyErr_Occurred() || !btreemap_check(map) || fill(map, pairs, trusted) < 0)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s() needs a BTreeMap class", name);
        Py_CLEAR(map);
    }
    return map;
}

}  // namespace

int btreemap_gather_tree(BTreeCore *tree, BTreePairs &pairs)
{
    BTreeLook look(tree);
    if (!look || pairs.reserve(pairs.count + tree->size) < 0)
        return -1;
    BTreeCursor cursor = btree_cursor_start(tree);
    int slot;
    while (BTreeNode *leaf = btree_cursor_next(cursor, &slot)) {
        PyObject *key = leaf->keys[slot], *value = leaf->keys_only ? nullptr : leaf->leaf.values[slot];
        if (tree->pair_values) {
            key = PyTuple_GET_ITEM(value, 0);
            value = PyTuple_GET_ITEM(value, 1);
        }
        if (pairs.append(Py_NewRef(key), Py_XNewRef(value)) < 0)
            return -1;
    }
    return 0;
}

int btreemap_update(PyObject *map, PyObject *arg, PyObject *kwargs)
{
    // A map into an empty map of the same key function: a structural copy,
    // no key compared.
    if (arg && btreemap_check(arg) && !kwargs && arg != map && !btree_size(btreemap_core(map)) &&
        reinterpret_cast<BTreeMapObject *>(arg)->key == reinterpret_cast<BTreeMapObject *>(map)->key)
        return adopt_made(map, [&](BTreeCore *copied) { return btree_copy(copied, btreemap_core(arg)); });
    BTreePairs pairs;
    if (gather(arg, kwargs, pairs) < 0)
        return -1;
    return fill(map, pairs, false);
}

int btreemap_fill_sorted(PyObject *map, PyObject *iterable)
{
    BTreePairs pairs;
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
    BTreePairs pairs;
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
    return new_map(cls, pairs, false, "fromkeys");
}

PyObject *BTreeMap_fromsorted(PyObject *cls, PyObject *iterable)
{
    BTreePairs pairs;
    if (gather_pairs(iterable, pairs) < 0)
        return nullptr;
    return new_map(cls, pairs, true, "fromsorted");
}

PyObject *BTreeMap_fromsortedlists(PyObject *cls, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 2 || nargs > 3 || !PyList_CheckExact(args[0]) || !PyList_CheckExact(args[1]) ||
        (nargs == 3 && args[2] != Py_None && !PyCallable_Check(args[2]))) {
        PyErr_SetString(PyExc_TypeError,
                        "_fromsortedlists() takes a list of keys and a list of values, then a key function");
        return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(args[0]);
    if (PyList_GET_SIZE(args[1]) != n) {
        PyErr_SetString(PyExc_ValueError, "_fromsortedlists() needs as many values as keys");
        return nullptr;
    }
    // Appending runs no Python code: the lists keep their length.
    BTreePairs pairs;
    if (pairs.reserve(n) < 0)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (i + BTREE_KEYS_AHEAD < n)
            btree_prefetch_key(PyList_GET_ITEM(args[0], i + BTREE_KEYS_AHEAD));
        if (pairs.append(Py_NewRef(PyList_GET_ITEM(args[0], i)), Py_NewRef(PyList_GET_ITEM(args[1], i))) < 0)
            return nullptr;
    }
    return new_map(cls, pairs, true, "_fromsortedlists", nargs == 3 && args[2] != Py_None ? args[2] : nullptr);
}
