// The methods that read or remove by position in key order.
#include "btreemap/iter.h"
#include "btreemap/methods.h"
#include "btreemap/object.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

PyObject *rank_object(PyObject *self, PyObject *key, bool or_equal)
{
    Py_ssize_t count = btree_rank(btreemap_core(self), key, or_equal);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

// The optional position argument of peekitem() and popitem(): -1 without one.
int index_argument(const char *name, PyObject *const *args, Py_ssize_t nargs, Py_ssize_t *index)
{
    *index = -1;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", name, nargs);
        return -1;
    }
    if (nargs == 1 && (*index = PyNumber_AsSsize_t(args[0], PyExc_IndexError)) == -1 && PyErr_Occurred())
        return -1;
    return 0;
}

// The four neighbour queries: the key next to the argument, or the default
// (KeyError without one) when there is none.
PyObject *neighbour(PyObject *self, PyObject *const *args, Py_ssize_t nargs, const char *name, BTreeNeighbour which)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 or 2 positional arguments (%zd given)", name, nargs);
        return nullptr;
    }
    PyObject *key = nullptr;
    int rc = btree_neighbour(btreemap_core(self), args[0], which, &key);
    if (rc != 0)
        return key;
    if (nargs == 2)
        return Py_NewRef(args[1]);
    btree_set_key_error(args[0]);
    return nullptr;
}

int reverse_flag(PyObject *reverse, bool *flag)
{
    int r = reverse ? PyObject_IsTrue(reverse) : 0;
    *flag = r > 0;
    return r < 0 ? -1 : 0;
}

}  // namespace

PyObject *BTreeMap_bisect_left(PyObject *self, PyObject *key)
{
    return rank_object(self, key, false);
}

PyObject *BTreeMap_bisect_right(PyObject *self, PyObject *key)
{
    return rank_object(self, key, true);
}

PyObject *BTreeMap_index(PyObject *self, PyObject *key)
{
    bool present = false;
    Py_ssize_t before = btree_rank(btreemap_core(self), key, false, &present);
    if (before < 0)
        return nullptr;
    if (!present) {
        PyErr_Format(PyExc_ValueError, "%R is not in the map", key);
        return nullptr;
    }
    return PyLong_FromSsize_t(before);
}

PyObject *BTreeMap_peekitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t index;
    if (index_argument("peekitem", args, nargs, &index) < 0)
        return nullptr;
    return btree_item_at(btreemap_core(self), index, BTreeItemKind::Items);
}

PyObject *BTreeMap_popitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t index;
    if (index_argument("popitem", args, nargs, &index) < 0)
        return nullptr;
    if (!btreemap_core(self)->size) {
        PyErr_SetString(PyExc_KeyError, "popitem(): BTreeMap is empty");
        return nullptr;
    }
    return btree_pop_item_at(btreemap_core(self), index);
}

PyObject *BTreeMap_irange(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *names[] = {"minimum", "maximum", "inclusive", "reverse", nullptr};
    PyObject *min = Py_None, *max = Py_None, *inclusive = nullptr, *reverse = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:irange", const_cast<char **>(names), &min, &max,
                                     &inclusive, &reverse))
        return nullptr;
    bool inclusive_min, inclusive_max, backward;
    if (btree_parse_inclusive(inclusive, &inclusive_min, &inclusive_max) < 0 || reverse_flag(reverse, &backward) < 0)
        return nullptr;
    // Positions from two ranks; the iterator then walks the leaf chain.
    BTreeCore *tree = btreemap_core(self);
    Py_ssize_t start = min == Py_None ? 0 : btree_rank(tree, min, !inclusive_min);
    if (start < 0)
        return nullptr;
    Py_ssize_t stop = max == Py_None ? tree->size : btree_rank(tree, max, inclusive_max);
    if (stop < 0)
        return nullptr;
    return btreemap_iter_new(self, BTreeItemKind::Keys, start, stop, backward);
}

PyObject *BTreeMap_remove_range(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *names[] = {"minimum", "maximum", "inclusive", nullptr};
    PyObject *min = Py_None, *max = Py_None, *inclusive = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:remove_range", const_cast<char **>(names), &min, &max,
                                     &inclusive))
        return nullptr;
    bool inclusive_min, inclusive_max;
    if (btree_parse_inclusive(inclusive, &inclusive_min, &inclusive_max) < 0)
        return nullptr;
    PyObject *count = nullptr;
    if (btree_remove_range_keys(btreemap_core(self), min, max, inclusive_min, inclusive_max, &count) < 0)
        return nullptr;
    return count;
}

PyObject *BTreeMap_islice(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *names[] = {"start", "stop", "reverse", nullptr};
    PyObject *start = Py_None, *stop = Py_None, *reverse = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:islice", const_cast<char **>(names), &start, &stop,
                                     &reverse))
        return nullptr;
    bool backward;
    if (reverse_flag(reverse, &backward) < 0)
        return nullptr;
    PyObject *slice = PySlice_New(start, stop, nullptr);
    if (!slice)
        return nullptr;
    Py_ssize_t from, to, step;
    int rc = PySlice_Unpack(slice, &from, &to, &step);
    Py_DECREF(slice);
    if (rc < 0 || !btree_look(btreemap_core(self)))
        return nullptr;
    PySlice_AdjustIndices(btreemap_core(self)->size, &from, &to, step);
    return btreemap_iter_new(self, BTreeItemKind::Keys, from, to, backward);
}

PyObject *BTreeMap_floor_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return neighbour(self, args, nargs, "floor_key", BTreeNeighbour::Floor);
}

PyObject *BTreeMap_ceiling_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return neighbour(self, args, nargs, "ceiling_key", BTreeNeighbour::Ceiling);
}

PyObject *BTreeMap_lower_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return neighbour(self, args, nargs, "lower_key", BTreeNeighbour::Lower);
}

PyObject *BTreeMap_higher_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return neighbour(self, args, nargs, "higher_key", BTreeNeighbour::Higher);
}
