// The methods that read or remove by position in key order.
#include "btreemap/args.h"
#include "btreemap/iter.h"
#include "btreemap/keyed.h"
#include "btreemap/methods.h"
#include "btreemap/object.h"
#include "hints.h"
#include "nodes/ref.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// The number of keys before `key` (or, with `or_equal`, not after it); a
// keyed map compares key(key). -1 with an exception.
Py_ssize_t rank_of(PyObject *self, PyObject *key, bool or_equal)
{
    if (btreemap_keyed(self))
        return btreemap_keyed_rank(self, key, or_equal);
    return btree_rank(btreemap_core(self), key, or_equal);
}

PyObject *rank_object(PyObject *self, PyObject *key, bool or_equal)
{
    Py_ssize_t count = rank_of(self, key, or_equal);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

// The neighbour queries of a keyed map, from the ranks of key(key): the
// last item of a run is its greatest, the first its least.
int keyed_neighbour(PyObject *self, PyObject *key, BTreeNeighbour which, PyObject **found_key)
{
    bool before = which == BTreeNeighbour::Floor || which == BTreeNeighbour::Lower;
    bool or_equal = which == BTreeNeighbour::Floor || which == BTreeNeighbour::Higher;
    Py_ssize_t rank = btreemap_keyed_rank(self, key, or_equal);
    if (rank < 0)
        return -1;
    Py_ssize_t at = before ? rank - 1 : rank;
    if (at < 0 || at >= btree_size(btreemap_core(self)))
        return 0;
    *found_key = btree_item_at(btreemap_core(self), at, BTreeItemKind::PairKeys);
    return *found_key ? 1 : -1;
}

// The optional position argument of peekitem() and popitem(), by position
// or by name: -1 without one.
BTREE_ALWAYS_INLINE inline int index_argument(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                                PyObject *kwnames, Py_ssize_t *index)
{
    static const char *const names[] = {"index"};
    PyObject *arg;
    // The usual call, by position, reads its argument directly.
    if (!kwnames && nargs <= 1)
        arg = nargs ? args[0] : nullptr;
    else if (btreemap_parse_args({name, names, 1, 0, 0}, args, nargs, kwnames, &arg) < 0)
        return -1;
    *index = -1;
    return arg ? btreemap_position(arg, index) : 0;
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
    int rc = btreemap_keyed(self) ? keyed_neighbour(self, args[0], which, &key)
                                  : btree_neighbour(btreemap_core(self), args[0], which, &key);
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

PyObject *btreemap_bisect_key_left(PyObject *self, PyObject *key)
{
    Py_ssize_t count = btree_rank(btreemap_core(self), key, false);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

PyObject *btreemap_bisect_key_right(PyObject *self, PyObject *key)
{
    Py_ssize_t count = btree_rank(btreemap_core(self), key, true);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

PyObject *btreemap_index_between(PyObject *self, PyObject *key, PyObject *start, PyObject *stop, const char *where)
{
    Py_ssize_t from, to;
    if (btreemap_read_bounds(start, stop, &from, &to) < 0)
        return nullptr;
    bool present = false;
    Py_ssize_t before = 0;
    if (btreemap_keyed(self)) {
        int rc = btreemap_keyed_find(self, key, &before);
        present = rc > 0;
        if (rc < 0)
            return nullptr;
    } else if ((before = btree_rank(btreemap_core(self), key, false, &present)) < 0) {
        return nullptr;
    }
    btreemap_clip_bounds(btree_size(btreemap_core(self)), &from, &to);
    if (!present || before < from || before >= to) {
        PyErr_Format(PyExc_ValueError, "%R is not in the %s", key, where);
        return nullptr;
    }
    return PyLong_FromSsize_t(before);
}

PyObject *BTreeMap_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"key", "start", "stop"};
    PyObject *arg[3];
    if (btreemap_parse_args({"index", names, 3, 1, 1}, args, nargs, kwnames, arg) < 0)
        return nullptr;
    return btreemap_index_between(self, arg[0], arg[1], arg[2], "map");
}

PyObject *BTreeMap_peekitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Py_ssize_t index;
    if (index_argument("peekitem", args, nargs, kwnames, &index) < 0)
        return nullptr;
    return btree_item_at(btreemap_core(self), index, btreemap_kind(self, BTreeItemKind::Items));
}

PyObject *BTreeMap_popitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Py_ssize_t index;
    if (index_argument("popitem", args, nargs, kwnames, &index) < 0)
        return nullptr;
    if (!btree_size(btreemap_core(self))) {
        PyErr_SetString(PyExc_KeyError, "popitem(): BTreeMap is empty");
        return nullptr;
    }
    return btree_pop_item_at(btreemap_core(self), index, btreemap_kind(self, BTreeItemKind::Items));
}

// A bound given as a key of the map's own: a keyed map compares key(bound);
// None stays no bound.
PyObject *btreemap_bound_key(PyObject *self, PyObject *bound)
{
    return bound == Py_None || !btreemap_keyed(self) ? Py_NewRef(bound) : btreemap_key_of(self, bound);
}

PyObject *btreemap_range_iter(PyObject *self, PyObject *min, PyObject *max, PyObject *inclusive, PyObject *reverse,
                              BTreeItemKind kind)
{
    bool inclusive_min, inclusive_max, backward;
    if (btree_parse_inclusive(inclusive, &inclusive_min, &inclusive_max) < 0 || reverse_flag(reverse, &backward) < 0)
        return nullptr;
    // Positions from two ranks; the iterator then walks the leaf chain.
    Py_ssize_t start, stop;
    uint64_t shape_version;
    if (btree_range_positions(btreemap_core(self), min == Py_None ? nullptr : min, max == Py_None ? nullptr : max,
                              inclusive_min, inclusive_max, &start, &stop, &shape_version) < 0)
        return nullptr;
    return btreemap_iter_new(self, kind, start, stop, backward, &shape_version);
}

PyObject *btreemap_irange(PyObject *self, PyObject *args, PyObject *kwargs, BTreeItemKind kind)
{
    static const char *names[] = {"minimum", "maximum", "inclusive", "reverse", nullptr};
    PyObject *min = Py_None, *max = Py_None, *inclusive = nullptr, *reverse = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:irange", const_cast<char **>(names), &min, &max,
                                     &inclusive, &reverse))
        return nullptr;
    BTreeRef min_key(btreemap_bound_key(self, min));
    BTreeRef max_key(min_key ? btreemap_bound_key(self, max) : nullptr);
    return max_key ? btreemap_range_iter(self, min_key.get(), max_key.get(), inclusive, reverse, kind) : nullptr;
}

PyObject *btreemap_irange_key(PyObject *self, PyObject *args, PyObject *kwargs, BTreeItemKind kind)
{
    static const char *names[] = {"min_key", "max_key", "inclusive", "reverse", nullptr};
    PyObject *min = Py_None, *max = Py_None, *inclusive = nullptr, *reverse = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:irange_key", const_cast<char **>(names), &min, &max,
                                     &inclusive, &reverse))
        return nullptr;
    return btreemap_range_iter(self, min, max, inclusive, reverse, kind);
}

PyObject *BTreeMap_irange(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return btreemap_irange(self, args, kwargs, BTreeItemKind::Keys);
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
    BTreeRef min_key(btreemap_bound_key(self, min));
    BTreeRef max_key(min_key ? btreemap_bound_key(self, max) : nullptr);
    PyObject *count = nullptr;
    if (!max_key || btree_remove_range_keys(btreemap_core(self), min_key.get(), max_key.get(), inclusive_min,
                                            inclusive_max, &count) < 0)
        return nullptr;
    return count;
}

PyObject *btreemap_islice(PyObject *self, PyObject *args, PyObject *kwargs, BTreeItemKind kind)
{
    static const char *names[] = {"start", "stop", "reverse", nullptr};
    PyObject *start = Py_None, *stop = Py_None, *reverse = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:islice", const_cast<char **>(names), &start, &stop,
                                     &reverse))
        return nullptr;
    bool backward;
    if (reverse_flag(reverse, &backward) < 0)
        return nullptr;
    Py_ssize_t from, to;
    Py_ssize_t size;
    uint64_t shape_version;
    if (btreemap_read_bounds(start, stop, &from, &to) < 0 ||
        (size = btree_looked_size(btreemap_core(self), &shape_version)) < 0)
        return nullptr;
    btreemap_clip_bounds(size, &from, &to);
    return btreemap_iter_new(self, kind, from, to, backward, &shape_version);
}

PyObject *BTreeMap_islice(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return btreemap_islice(self, args, kwargs, BTreeItemKind::Keys);
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
