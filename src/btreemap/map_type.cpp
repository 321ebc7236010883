#include <cstddef>

#include "btreemap/args.h"
#include "btreemap/fill.h"
#include "btreemap/iter.h"
#include "btreemap/keyed.h"
#include "btreemap/methods.h"
#include "btreemap/object.h"
#include "compat.h"
#include "ops/ops.h"

namespace {

PyObject *BTreeMap_new(PyTypeObject *type, PyObject *, PyObject *)
{
    return btreemap_alloc(type);
}

// A first argument that is None or callable is the key function, as
// SortedDict reads it; the data follows it.
int BTreeMap_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *first = nullptr, *second = nullptr;
    if (!PyArg_UnpackTuple(args, Py_TYPE(self)->tp_name, 0, 2, &first, &second))
        return -1;
    bool has_key = first && (first == Py_None || PyCallable_Check(first));
    if (second && !has_key) {
        PyErr_Format(PyExc_TypeError, "%s expected a key function before the data, got %.100s",
                     Py_TYPE(self)->tp_name, Py_TYPE(first)->tp_name);
        return -1;
    }
    PyObject *key = has_key && first != Py_None ? first : nullptr;
    PyObject *arg = has_key ? second : first;
    if (key != reinterpret_cast<BTreeMapObject *>(self)->key) {
        // The layout of the tree follows the key function: only an empty
        // map may change it.
        if (btree_size(btreemap_core(self))) {
            PyErr_Format(PyExc_TypeError, "the key function of a %s with items cannot change",
                         btree_type_name(Py_TYPE(self)));
            return -1;
        }
        btreemap_set_key(self, key);
    }
    if (kwargs && !PyDict_GET_SIZE(kwargs))
        kwargs = nullptr;
    return arg || kwargs ? btreemap_update(self, arg, kwargs) : 0;
}

void BTreeMap_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, BTreeMap_dealloc)
    if (reinterpret_cast<BTreeMapObject *>(self)->weakreflist)
        PyObject_ClearWeakRefs(self);
    btree_finalize(btreemap_core(self));
    Py_CLEAR(reinterpret_cast<BTreeMapObject *>(self)->key);
    // A subclass's own dealloc, which called this one, releases its type.
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

int BTreeMap_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<BTreeMapObject *>(self)->key);
    return btree_traverse_tree(btreemap_core(self), visit, arg);
}

int BTreeMap_clear_refs(PyObject *self)
{
    btree_clear_refs(btreemap_core(self));
    return 0;
}

Py_ssize_t BTreeMap_len(PyObject *self)
{
    return btree_size(btreemap_core(self));
}

// A subclass's __missing__, found on its type as dict finds it, answers for
// an absent key; without one, KeyError.
PyObject *missing(PyObject *self, PyObject *key)
{
    PyObject *name = PyUnicode_InternFromString("__missing__");
    PyObject *method = name ? btree_type_lookup(Py_TYPE(self), name) : nullptr;
    Py_XDECREF(name);
    if (!method) {
        if (!PyErr_Occurred())
            btree_set_key_error(key);
        return nullptr;
    }
    descrgetfunc get = Py_TYPE(method)->tp_descr_get;
    PyObject *bound = get ? get(method, self, reinterpret_cast<PyObject *>(Py_TYPE(self))) : Py_NewRef(method);
    Py_DECREF(method);
    PyObject *result = bound ? PyObject_CallOneArg(bound, key) : nullptr;
    Py_XDECREF(bound);
    return result;
}

PyObject *BTreeMap_getitem(PyObject *self, PyObject *key)
{
    // The base type has no __missing__: its misses are not looked further.
    if (Py_IS_TYPE(self, &BTreeMapType) && !btreemap_keyed(self))
        return btree_search_item(btreemap_core(self), key);
    PyObject *value = nullptr;
    int rc = btreemap_lookup(self, key, &value);
    return rc == 0 ? missing(self, key) : value;
}

int delete_keyed(PyObject *self, PyObject *key)
{
    PyObject *value = nullptr;
    int rc = btreemap_keyed_pop(self, key, &value);
    if (rc == 0)
        btree_set_key_error(key);
    Py_XDECREF(value);
    return rc > 0 ? 0 : -1;
}

int BTreeMap_setitem(PyObject *self, PyObject *key, PyObject *value)
{
    if (btreemap_keyed(self))
        return value ? btreemap_keyed_store(self, key, value) : delete_keyed(self, key);
    if (value)
        return btree_insert_item(btreemap_core(self), key, value, BTreeWrite::KeepShape);
    return btree_delete_item(btreemap_core(self), key);
}

int BTreeMap_contains(PyObject *self, PyObject *key)
{
    PyObject *value = nullptr;
    int rc = btreemap_lookup(self, key, &value);
    Py_XDECREF(value);
    return rc;
}

PyObject *BTreeMap_iter(PyObject *self)
{
    return btreemap_iter_all(self, BTreeItemKind::Keys, false);
}

PyObject *BTreeMap_reversed(PyObject *self, PyObject *)
{
    return btreemap_iter_all(self, BTreeItemKind::Keys, true);
}

int check_args(const char *name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max)
{
    if (nargs >= min && nargs <= max)
        return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments (%zd given)", name, min, max,
                 nargs);
    return -1;
}

PyObject *BTreeMap_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_args("get", nargs, 1, 2) < 0)
        return nullptr;
    PyObject *value = nullptr;
    int rc = btreemap_lookup(self, args[0], &value);
    if (rc == 0)
        value = Py_NewRef(nargs == 2 ? args[1] : Py_None);
    return value;
}

PyObject *BTreeMap_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_args("pop", nargs, 1, 2) < 0)
        return nullptr;
    PyObject *value = nullptr;
    int rc = btreemap_keyed(self) ? btreemap_keyed_pop(self, args[0], &value)
                                  : btree_pop_key(btreemap_core(self), args[0], &value);
    if (rc == 0) {
        if (nargs == 2)
            return Py_NewRef(args[1]);
        btree_set_key_error(args[0]);
    }
    return value;
}

PyObject *BTreeMap_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_args("setdefault", nargs, 1, 2) < 0)
        return nullptr;
    PyObject *fallback = nargs == 2 ? args[1] : Py_None;
    if (btreemap_keyed(self))
        return btreemap_keyed_setdefault(self, args[0], fallback);
    return btree_setdefault(btreemap_core(self), args[0], fallback);
}

PyObject *BTreeMap_increment(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_args("increment", nargs, 1, 2) < 0)
        return nullptr;
    PyObject *zero = PyLong_FromLong(0);
    if (!zero)
        return nullptr;
    PyObject *delta = nargs == 2 ? args[1] : nullptr;
    PyObject *one = delta ? nullptr : PyLong_FromLong(1);
    PyObject *by = delta ? delta : one;
    PyObject *result = !by                    ? nullptr
                       : btreemap_keyed(self) ? btreemap_keyed_increment(self, args[0], by, zero)
                                              : btree_increment(btreemap_core(self), args[0], by, zero,
                                                                BTreeWrite::KeepShape);
    Py_XDECREF(one);
    Py_DECREF(zero);
    return result;
}

PyObject *BTreeMap_clear(PyObject *self, PyObject *)
{
    if (btree_clear(btreemap_core(self)) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef BTreeMap_methods[] = {
    {"get", as_cfunction<BTreeMap_get>(), METH_FASTCALL,
     "get($self, key, default=None, /)\n--\n\n"
     "Return the value of key, or default when key is absent. O(log n).\n\n"
     ">>> m = BTreeMap({1: 'a'})\n"
     ">>> m.get(1), m.get(2), m.get(2, '-')\n"
     "('a', None, '-')"},
    {"pop", as_cfunction<BTreeMap_pop>(), METH_FASTCALL,
     "pop($self, key, default=..., /)\n--\n\n"
     "Remove key and return its value; default, or KeyError without one,\n"
     "when key is absent. O(log n).\n\n"
     ">>> m = BTreeMap({1: 'a', 2: 'b'})\n"
     ">>> m.pop(1), m.pop(1, None)\n"
     "('a', None)\n"
     ">>> m.pop(1)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "KeyError: 1"},
    {"setdefault", as_cfunction<BTreeMap_setdefault>(), METH_FASTCALL,
     "setdefault($self, key, default=None, /)\n--\n\n"
     "Return the value of key, storing default under it first when absent.\n"
     "One descent, O(log n).\n\n"
     ">>> m = BTreeMap()\n"
     ">>> m.setdefault('k', []).append(1)\n"
     ">>> m.setdefault('k', []).append(2)\n"
     ">>> m\n"
     "BTreeMap({'k': [1, 2]})"},
    {"update", as_cfunction<BTreeMap_update>(), METH_VARARGS | METH_KEYWORDS,
     "update($self, other=(), /, **kwargs)\n--\n\n"
     "Store the items of a mapping (one with keys()) or of an iterable of\n"
     "(key, value) pairs, then the keyword arguments, later pairs winning.\n"
     "An empty map without a key function is built bottom-up, O(m log m) and\n"
     "O(m) for keys in order; otherwise O(m log(n + m)). TypeError or\n"
     "ValueError, as dict.update raises them, for an element not a pair.\n\n"
     ">>> m = BTreeMap({2: 'b'})\n"
     ">>> m.update([(1, 'a'), (2, 'B')])\n"
     ">>> m\n"
     "BTreeMap({1: 'a', 2: 'B'})"},
    {"clear", BTreeMap_clear, METH_NOARGS,
     "clear($self, /)\n--\n\n"
     "Remove every item. O(n), to let each one go.\n\n"
     ">>> m = BTreeMap({1: 'a'})\n"
     ">>> m.clear()\n"
     ">>> m\n"
     "BTreeMap({})"},
    {"increment", as_cfunction<BTreeMap_increment>(), METH_FASTCALL,
     "increment($self, key, delta=1, /)\n--\n\n"
     "Add delta to the value of key, a missing key counting as 0; return the\n"
     "new value. One descent, O(log n); TypeError when they do not add.\n\n"
     ">>> counts = BTreeMap()\n"
     ">>> counts.increment('a'), counts.increment('a'), counts.increment('b', 5)\n"
     "(1, 2, 5)\n"
     ">>> counts\n"
     "BTreeMap({'a': 2, 'b': 5})"},
    {"keys", BTreeMap_keys, METH_NOARGS,
     "keys($self, /)\n--\n\n"
     "A live view of the keys in ascending order, also a sequence and a set\n"
     "(BTreeMapKeys). O(1).\n\n"
     ">>> m = BTreeMap({2: 'b', 1: 'a'})\n"
     ">>> keys = m.keys()\n"
     ">>> m[3] = 'c'\n"
     ">>> list(keys), keys[-1]\n"
     "([1, 2, 3], 3)"},
    {"values", BTreeMap_values, METH_NOARGS,
     "values($self, /)\n--\n\n"
     "A live view of the values in the order of their keys, also a sequence\n"
     "(BTreeMapValues). O(1).\n\n"
     ">>> m = BTreeMap({2: 'b', 1: 'a'})\n"
     ">>> list(m.values()), m.values()[0]\n"
     "(['a', 'b'], 'a')"},
    {"items", BTreeMap_items, METH_NOARGS,
     "items($self, /)\n--\n\n"
     "A live view of the (key, value) pairs in key order, also a sequence and\n"
     "a set (BTreeMapItems). O(1).\n\n"
     ">>> m = BTreeMap({2: 'b', 1: 'a'})\n"
     ">>> list(m.items()), m.items()[-1]\n"
     "([(1, 'a'), (2, 'b')], (2, 'b'))"},
    {"__reversed__", BTreeMap_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\n"
     "An iterator over the keys in descending order. O(log n) to start, then\n"
     "O(1) per key.\n\n"
     ">>> list(reversed(BTreeMap({1: 'a', 2: 'b'})))\n"
     "[2, 1]"},
    {"bisect_left", BTreeMap_bisect_left, METH_O,
     "bisect_left($self, key, /)\n--\n\n"
     "Return the number of keys less than key: the position key has or would\n"
     "take. O(log n).\n\n"
     ">>> m = BTreeMap.fromkeys([10, 20, 30])\n"
     ">>> m.bisect_left(20), m.bisect_left(25)\n"
     "(1, 2)"},
    {"bisect_right", BTreeMap_bisect_right, METH_O,
     "bisect_right($self, key, /)\n--\n\n"
     "Return the number of keys less than or equal to key. O(log n).\n\n"
     ">>> m = BTreeMap.fromkeys([10, 20, 30])\n"
     ">>> m.bisect_right(20), m.bisect_right(5)\n"
     "(2, 0)"},
    {"bisect", BTreeMap_bisect_right, METH_O,
     "bisect($self, key, /)\n--\n\n"
     "The same as bisect_right(). O(log n).\n\n"
     ">>> BTreeMap.fromkeys([10, 20]).bisect(10)\n"
     "1"},
    {"index", as_cfunction<BTreeMap_index>(), METH_FASTCALL | METH_KEYWORDS,
     "index($self, key, /, start=None, stop=None)\n--\n\n"
     "Return the position of key in key order. O(log n). ValueError when\n"
     "absent or outside positions start to stop, read as list.index reads\n"
     "them.\n\n"
     ">>> m = BTreeMap.fromkeys('abc')\n"
     ">>> m.index('b')\n"
     "1\n"
     ">>> m.index('b', 2)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "ValueError: 'b' is not in the map"},
    {"peekitem", as_cfunction<BTreeMap_peekitem>(), METH_FASTCALL | METH_KEYWORDS,
     "peekitem($self, /, index=-1)\n--\n\n"
     "Return the (key, value) pair at a position, the last by default;\n"
     "negative positions count from the end. IndexError when out of range.\n"
     "O(log n).\n\n"
     ">>> m = BTreeMap({1: 'a', 2: 'b', 3: 'c'})\n"
     ">>> m.peekitem(), m.peekitem(0)\n"
     "((3, 'c'), (1, 'a'))"},
    {"popitem", as_cfunction<BTreeMap_popitem>(), METH_FASTCALL | METH_KEYWORDS,
     "popitem($self, /, index=-1)\n--\n\n"
     "Remove and return the (key, value) pair at a position, the last by\n"
     "default. KeyError when the map is empty, IndexError when out of range.\n"
     "O(log n).\n\n"
     ">>> m = BTreeMap({1: 'a', 2: 'b', 3: 'c'})\n"
     ">>> m.popitem(), m.popitem(0), m\n"
     "((3, 'c'), (1, 'a'), BTreeMap({2: 'b'}))"},
    {"irange", as_cfunction<BTreeMap_irange>(), METH_VARARGS | METH_KEYWORDS,
     "irange($self, /, minimum=None, maximum=None, inclusive=(True, True), reverse=False)\n--\n\n"
     "A lazy iterator over the keys from minimum to maximum (None: no bound),\n"
     "descending with reverse; inclusive is a pair of flags for the bounds\n"
     "(ValueError when it is not a pair). O(log n) to start, then O(1) per key.\n\n"
     ">>> m = BTreeMap.fromkeys(range(10))\n"
     ">>> list(m.irange(3, 6, inclusive=(True, False)))\n"
     "[3, 4, 5]\n"
     ">>> list(m.irange(7, reverse=True))\n"
     "[9, 8, 7]"},
    {"remove_range", as_cfunction<BTreeMap_remove_range>(), METH_VARARGS | METH_KEYWORDS,
     "remove_range($self, /, minimum=None, maximum=None, inclusive=(True, True))\n--\n\n"
     "Remove every key from minimum to maximum (None: no bound), selected as\n"
     "irange() selects them, and return how many were removed. Whole subtrees\n"
     "go at once: O(log n), plus O(k) to let the k removed items go.\n\n"
     ">>> m = BTreeMap.fromkeys(range(10))\n"
     ">>> m.remove_range(2, 7), list(m)\n"
     "(6, [0, 1, 8, 9])"},
    {"islice", as_cfunction<BTreeMap_islice>(), METH_VARARGS | METH_KEYWORDS,
     "islice($self, /, start=None, stop=None, reverse=False)\n--\n\n"
     "A lazy iterator over the keys at positions start to stop, as a slice\n"
     "would select them, descending with reverse. O(log n) to start, then\n"
     "O(1) per key.\n\n"
     ">>> m = BTreeMap.fromkeys('abcde')\n"
     ">>> list(m.islice(1, 3)), list(m.islice(-2, reverse=True))\n"
     "(['b', 'c'], ['e', 'd'])"},
    {"floor_key", as_cfunction<BTreeMap_floor_key>(), METH_FASTCALL,
     "floor_key($self, key, default=..., /)\n--\n\n"
     "The greatest key less than or equal to key; default, or KeyError\n"
     "without one, when there is none. O(log n).\n\n"
     ">>> m = BTreeMap.fromkeys([10, 20])\n"
     ">>> m.floor_key(15), m.floor_key(20), m.floor_key(5, None)\n"
     "(10, 20, None)"},
    {"ceiling_key", as_cfunction<BTreeMap_ceiling_key>(), METH_FASTCALL,
     "ceiling_key($self, key, default=..., /)\n--\n\n"
     "The least key greater than or equal to key; default, or KeyError\n"
     "without one, when there is none. O(log n).\n\n"
     ">>> m = BTreeMap.fromkeys([10, 20])\n"
     ">>> m.ceiling_key(15), m.ceiling_key(10), m.ceiling_key(25, None)\n"
     "(20, 10, None)"},
    {"lower_key", as_cfunction<BTreeMap_lower_key>(), METH_FASTCALL,
     "lower_key($self, key, default=..., /)\n--\n\n"
     "The greatest key less than key; default, or KeyError without one,\n"
     "when there is none. O(log n).\n\n"
     ">>> m = BTreeMap.fromkeys([10, 20])\n"
     ">>> m.lower_key(20), m.lower_key(10, None)\n"
     "(10, None)\n"
     ">>> m.lower_key(10)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "KeyError: 10"},
    {"higher_key", as_cfunction<BTreeMap_higher_key>(), METH_FASTCALL,
     "higher_key($self, key, default=..., /)\n--\n\n"
     "The least key greater than key; default, or KeyError without one,\n"
     "when there is none. O(log n).\n\n"
     ">>> m = BTreeMap.fromkeys([10, 20])\n"
     ">>> m.higher_key(10), m.higher_key(20, None)\n"
     "(20, None)"},
    {"copy", BTreeMap_copy, METH_NOARGS,
     "copy($self, /)\n--\n\n"
     "A shallow copy of the same type and key function, node for node in\n"
     "O(n): no key is compared.\n\n"
     ">>> m = BTreeMap({1: ['a']})\n"
     ">>> c = m.copy()\n"
     ">>> c == m, c[1] is m[1]\n"
     "(True, True)"},
    {"__copy__", BTreeMap_copy, METH_NOARGS,
     "__copy__($self, /)\n--\n\n"
     "The same as copy(), for copy.copy(). O(n).\n\n"
     ">>> import copy\n"
     ">>> copy.copy(BTreeMap({1: 'a'}))\n"
     "BTreeMap({1: 'a'})"},
    {"__deepcopy__", BTreeMap_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\n"
     "A deep copy, for copy.deepcopy(): the items copied with it, then built\n"
     "bottom-up, O(n) besides the copying (O(n log n) with a key function).\n\n"
     ">>> import copy\n"
     ">>> m = BTreeMap({1: ['a']})\n"
     ">>> c = copy.deepcopy(m)\n"
     ">>> c == m, c[1] is m[1]\n"
     "(True, False)"},
    {"__reduce__", BTreeMap_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickle support: the class, the keys in order and their values (and the\n"
     "key function). O(n); unpickling builds the map bottom-up in O(n) (in\n"
     "O(n log n) with a key function).\n\n"
     ">>> import pickle\n"
     ">>> m = BTreeMap({2: 'b', 1: 'a'})\n"
     ">>> pickle.loads(pickle.dumps(m)) == m\n"
     "True"},
    {"__sizeof__", BTreeMap_sizeof, METH_NOARGS,
     "__sizeof__($self, /)\n--\n\n"
     "Bytes taken by the object and its nodes, not by the keys and values.\n"
     "O(n), a walk over the nodes.\n\n"
     ">>> import sys\n"
     ">>> sys.getsizeof(BTreeMap()) < sys.getsizeof(BTreeMap.fromkeys(range(1000)))\n"
     "True"},
    {"union", BTreeMap_union, METH_O,
     "union($self, other, /)\n--\n\n"
     "A new map of the keys of both maps, in one linear merge, O(n + m); a\n"
     "key of self keeps its value in self. TypeError when other is not a\n"
     "BTreeMap. With a key function, a lookup per key: O((n + m) log(n + m)).\n\n"
     ">>> a, b = BTreeMap({1: 'a', 2: 'b'}), BTreeMap({2: 'B', 3: 'C'})\n"
     ">>> a.union(b)\n"
     "BTreeMap({1: 'a', 2: 'b', 3: 'C'})"},
    {"intersection", BTreeMap_intersection, METH_O,
     "intersection($self, other, /)\n--\n\n"
     "A new map of the keys in both maps, with their values in self, in one\n"
     "linear merge, O(n + m). TypeError when other is not a BTreeMap. With a\n"
     "key function, a lookup per key: O(n log m).\n\n"
     ">>> a, b = BTreeMap({1: 'a', 2: 'b'}), BTreeMap({2: 'B', 3: 'C'})\n"
     ">>> a.intersection(b)\n"
     "BTreeMap({2: 'b'})"},
    {"difference", BTreeMap_difference, METH_O,
     "difference($self, other, /)\n--\n\n"
     "A new map of the keys of self not in other, in one linear merge,\n"
     "O(n + m). TypeError when other is not a BTreeMap. With a key function,\n"
     "a lookup per key: O(n log m).\n\n"
     ">>> a, b = BTreeMap({1: 'a', 2: 'b'}), BTreeMap({2: 'B', 3: 'C'})\n"
     ">>> a.difference(b)\n"
     "BTreeMap({1: 'a'})"},
    {"fromkeys", as_cfunction<BTreeMap_fromkeys>(), METH_FASTCALL | METH_CLASS,
     "fromkeys($type, iterable, value=None, /)\n--\n\n"
     "A new map with every key of iterable, each with value, built bottom-up:\n"
     "O(n log n), O(n) when the keys come in order.\n\n"
     ">>> BTreeMap.fromkeys('ba', 0)\n"
     "BTreeMap({'a': 0, 'b': 0})"},
    {"fromsorted", BTreeMap_fromsorted, METH_O | METH_CLASS,
     "fromsorted($type, pairs, /)\n--\n\n"
     "A new map of (key, value) pairs whose keys ascend strictly, built\n"
     "bottom-up in O(n); ValueError at a key out of order or repeated.\n\n"
     ">>> BTreeMap.fromsorted([(1, 'a'), (2, 'b')])\n"
     "BTreeMap({1: 'a', 2: 'b'})\n"
     ">>> BTreeMap.fromsorted([(2, 'b'), (1, 'a')])\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "ValueError: keys must ascend strictly: 1 at position 1 follows 2"},
    {"_fromsortedlists", as_cfunction<BTreeMap_fromsortedlists>(), METH_FASTCALL | METH_CLASS,
     "_fromsortedlists($type, keys, values, key=None, /)\n--\n\n"
     "Unpickling: a new map of a list of keys ascending strictly and the list\n"
     "of their values; a keyed map's keys, in its order, and its key function."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nBTreeMap[K, V] for annotations."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *BTreeMap_get_key(PyObject *self, void *)
{
    PyObject *key = reinterpret_cast<BTreeMapObject *>(self)->key;
    return Py_NewRef(key ? key : Py_None);
}

PyObject *BTreeMap_irange_key(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return btreemap_irange_key(self, args, kwargs, BTreeItemKind::Keys);
}

// The calls on keys of the key function's results. A map without a key
// function has no such attributes, as SortedDict has none: each is read
// through a descriptor that binds its method to a keyed map only. The
// descriptor shows the method's text in help() of the type.
#define BISECT_KEY_LEFT_DOC                                                 \
    "The number of keys k with key(k) less than key, a result of the key\n" \
    "function; a map with a key function only. O(log n).\n\n"               \
    ">>> m = BTreeMap(str.lower, {'B': 1, 'a': 2})\n"                       \
    ">>> m.bisect_key_left('b'), m.bisect_key_left('c')\n"                  \
    "(1, 2)"
#define BISECT_KEY_RIGHT_DOC                                                    \
    "The number of keys k with key(k) less than or equal to key, a result of\n" \
    "the key function; a map with a key function only. O(log n).\n\n"           \
    ">>> m = BTreeMap(str.lower, {'B': 1, 'a': 2})\n"                           \
    ">>> m.bisect_key_right('b'), m.bisect_key_right('A')\n"                    \
    "(2, 0)"
#define BISECT_KEY_DOC                                                  \
    "The same as bisect_key_right(); a map with a key function only.\n" \
    "O(log n).\n\n"                                                     \
    ">>> BTreeMap(str.lower, {'B': 1, 'a': 2}).bisect_key('a')\n"       \
    "1"
#define IRANGE_KEY_DOC                                                         \
    "A lazy iterator over the keys k whose key(k) lies from min_key to\n"      \
    "max_key (None: no bound), descending with reverse; inclusive is a pair\n" \
    "of flags for the bounds. A map with a key function only. O(log n) to\n"   \
    "start, then O(1) per key.\n\n"                                            \
    ">>> m = BTreeMap(str.lower, {'B': 1, 'a': 2, 'c': 3})\n"                  \
    ">>> list(m.irange_key('b')), list(m.irange_key(max_key='b'))\n"           \
    "(['B', 'c'], ['a', 'B'])"
#define IRANGE_KEY_PARAMETERS "min_key=None, max_key=None, inclusive=(True, True), reverse=False"

PyMethodDef BTreeMap_key_methods[] = {
    {"bisect_key_left", btreemap_bisect_key_left, METH_O,
     "bisect_key_left($self, key, /)\n--\n\n" BISECT_KEY_LEFT_DOC},
    {"bisect_key_right", btreemap_bisect_key_right, METH_O,
     "bisect_key_right($self, key, /)\n--\n\n" BISECT_KEY_RIGHT_DOC},
    {"bisect_key", btreemap_bisect_key_right, METH_O, "bisect_key($self, key, /)\n--\n\n" BISECT_KEY_DOC},
    {"irange_key", as_cfunction<BTreeMap_irange_key>(), METH_VARARGS | METH_KEYWORDS,
     "irange_key($self, /, " IRANGE_KEY_PARAMETERS ")\n--\n\n" IRANGE_KEY_DOC},
};

PyObject *BTreeMap_get_key_method(PyObject *self, void *closure)
{
    auto *method = static_cast<PyMethodDef *>(closure);
    if (!btreemap_keyed(self)) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     method->ml_name);
        return nullptr;
    }
    return PyCFunction_NewEx(method, self, nullptr);
}

PyGetSetDef BTreeMap_getset[] = {
    {"key", BTreeMap_get_key, nullptr,
     "The key function that orders the keys, or None. O(1).\n\n"
     ">>> BTreeMap(str.lower).key\n"
     "<method 'lower' of 'str' objects>\n"
     ">>> BTreeMap().key is None\n"
     "True",
     nullptr},
    {"bisect_key_left", BTreeMap_get_key_method, nullptr, "bisect_key_left(key)\n\n" BISECT_KEY_LEFT_DOC,
     &BTreeMap_key_methods[0]},
    {"bisect_key_right", BTreeMap_get_key_method, nullptr, "bisect_key_right(key)\n\n" BISECT_KEY_RIGHT_DOC,
     &BTreeMap_key_methods[1]},
    {"bisect_key", BTreeMap_get_key_method, nullptr, "bisect_key(key)\n\n" BISECT_KEY_DOC,
     &BTreeMap_key_methods[2]},
    {"irange_key", BTreeMap_get_key_method, nullptr, "irange_key(" IRANGE_KEY_PARAMETERS ")\n\n" IRANGE_KEY_DOC,
     &BTreeMap_key_methods[3]},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods BTreeMap_as_mapping = {
    .mp_length = BTreeMap_len,
    .mp_subscript = BTreeMap_getitem,
    .mp_ass_subscript = BTreeMap_setitem,
};

PySequenceMethods BTreeMap_as_sequence = {
    .sq_contains = BTreeMap_contains,
};

PyNumberMethods BTreeMap_as_number = {
    .nb_or = BTreeMap_or,
    .nb_inplace_or = BTreeMap_inplace_or,
};

}  // namespace

PyObject *btreemap_alloc(PyTypeObject *type)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self)
        btree_init(btreemap_core(self), &BTREEMAP_TEXTS);
    return self;
}

PyObject *btreemap_alloc_like(PyObject *map)
{
    PyObject *self = btreemap_alloc(Py_TYPE(map));
    if (self)
        btreemap_set_key(self, reinterpret_cast<BTreeMapObject *>(map)->key);
    return self;
}

void btreemap_set_key(PyObject *map, PyObject *key)
{
    BTreeCore *tree = btreemap_core(map);
    BTREE_ASSERT(!tree->root);
    // An empty tree has no node, so its layout may change.
    tree->equal_keys = tree->pair_values = key != nullptr;
    PyObject *old = reinterpret_cast<BTreeMapObject *>(map)->key;
    reinterpret_cast<BTreeMapObject *>(map)->key = Py_XNewRef(key);
    Py_XDECREF(old);
}

PyTypeObject BTreeMapType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = BTREEMAP_MODULE ".BTreeMap",
    .tp_basicsize = sizeof(BTreeMapObject),
    .tp_itemsize = 0,
    .tp_dealloc = BTreeMap_dealloc,
    .tp_repr = BTreeMap_repr,
    .tp_as_number = &BTreeMap_as_number,
    .tp_as_sequence = &BTreeMap_as_sequence,
    .tp_as_mapping = &BTreeMap_as_mapping,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_MAPPING,
    .tp_doc = "BTreeMap(*args, **kwargs)\n--\n\n"
              "BTreeMap(iterable=(), /, **kwargs)\n"
              "BTreeMap(key, iterable=(), /, **kwargs)\n\n"
              "A mutable mapping that keeps its keys in ascending order, held as a\n"
              "B+ tree. Built like a dict, from a mapping, an iterable of (key, value)\n"
              "pairs or keyword arguments, later pairs winning: O(n log n), O(n) for\n"
              "keys in order and no key function. A first argument that is callable\n"
              "or None is the key function: keys are then ordered by key(k), those of\n"
              "equal key(k) in the order they were added, and told apart by ==.\n\n"
              "m[k], m[k] = v, del m[k] and k in m take O(log n) (KeyError for a key\n"
              "that is absent), len(m) O(1), a walk O(1) per key; with a key function\n"
              "a lookup also passes the keys of equal key(k). ``m | other`` and\n"
              "``m |= other`` take any mapping, as update() does. Keys that do not compare raise\n"
              "TypeError; a comparison that calls the map again, RuntimeError.\n\n"
              ">>> m = BTreeMap({'b': 2, 'a': 1}, c=3)\n"
              ">>> m\n"
              "BTreeMap({'a': 1, 'b': 2, 'c': 3})\n"
              ">>> BTreeMap(str.lower, [('B', 1), ('a', 2)])\n"
              "BTreeMap(<method 'lower' of 'str' objects>, {'a': 2, 'B': 1})",
    .tp_traverse = BTreeMap_traverse,
    .tp_clear = BTreeMap_clear_refs,
    .tp_richcompare = BTreeMap_richcompare,
    .tp_weaklistoffset = offsetof(BTreeMapObject, weakreflist),
    .tp_iter = BTreeMap_iter,
    .tp_methods = BTreeMap_methods,
    .tp_getset = BTreeMap_getset,
    .tp_init = BTreeMap_init,
    .tp_new = BTreeMap_new,
};
