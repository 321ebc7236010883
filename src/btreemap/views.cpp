// The live views keys(), values() and items(): sized, iterable both ways,
// and sequences by position that allow deletion; the key and item views are
// sets too (viewsets.cpp).
#include "btreemap/args.h"
#include "btreemap/iter.h"
#include "btreemap/keyed.h"
#include "btreemap/positions.h"
#include "btreemap/methods.h"
#include "btreemap/object.h"
#include "btreemap/view.h"
#include "compat.h"
#include "nodes/ref.h"
#include "nodes/span.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

PyObject *map_of(PyObject *view)
{
    return btreemap_view_map(view);
}

BTreeItemKind kind_of(PyObject *view)
{
    if (Py_IS_TYPE(view, &BTreeMapKeysType))
        return BTreeItemKind::Keys;
    return Py_IS_TYPE(view, &BTreeMapValuesType) ? BTreeItemKind::Values : BTreeItemKind::Items;
}

void View_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_XDECREF(map_of(self));
    PyObject_GC_Del(self);
}

int View_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(map_of(self));
    return 0;
}

Py_ssize_t View_len(PyObject *self)
{
    return btree_size(btreemap_core(map_of(self)));
}

PyObject *View_iter(PyObject *self)
{
    return btreemap_iter_all(map_of(self), kind_of(self), false);
}

PyObject *View_reversed(PyObject *self, PyObject *)
{
    return btreemap_iter_all(map_of(self), kind_of(self), true);
}

PyObject *View_item(PyObject *self, Py_ssize_t index)
{
    return btree_item_at(btreemap_core(map_of(self)), index, btreemap_kind(map_of(self), kind_of(self)));
}

PyObject *View_subscript(PyObject *self, PyObject *index)
{
    if (PySlice_Check(index))
        return btreemap_slice(map_of(self), kind_of(self), index);
    Py_ssize_t i;
    if (btreemap_position(index, &i) < 0)
        return nullptr;
    return View_item(self, i);
}

int View_ass_subscript(PyObject *self, PyObject *index, PyObject *value)
{
    if (value) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", Py_TYPE(self)->tp_name);
        return -1;
    }
    return btreemap_delete_positions(map_of(self), index);
}

// Whether `element` is in the view: a lookup for keys and items (then the
// value compared), a scan of the values.
int View_contains(PyObject *self, PyObject *element)
{
    BTreeItemKind kind = kind_of(self);
    if (kind == BTreeItemKind::Keys) {
        PyObject *value = nullptr;
        int rc = btreemap_lookup(map_of(self), element, &value);
        Py_XDECREF(value);
        return rc;
    }
    if (kind == BTreeItemKind::Items) {
        if (!PyTuple_Check(element) || PyTuple_GET_SIZE(element) != 2)
            return 0;
        PyObject *value = nullptr;
        int rc = btreemap_lookup(map_of(self), PyTuple_GET_ITEM(element, 0), &value);
        if (rc == 1)
            rc = PyObject_RichCompareBool(value, PyTuple_GET_ITEM(element, 1), Py_EQ);
        Py_XDECREF(value);
        return rc;
    }
    PyObject *it = View_iter(self);
    if (!it)
        return -1;
    int found = 0;
    PyObject *value;
    while (!found && (value = PyIter_Next(it))) {
        found = PyObject_RichCompareBool(value, element, Py_EQ);
        Py_DECREF(value);
    }
    Py_DECREF(it);
    return found < 0 || PyErr_Occurred() ? -1 : found;
}

// The position of `element` among positions start to stop: O(log n) for keys
// and items, a scan of those positions for values.
PyObject *View_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"value", "start", "stop"};
    PyObject *arg[3];
    if (btreemap_parse_args({"index", names, 3, 1, 1}, args, nargs, kwnames, arg) < 0)
        return nullptr;
    PyObject *element = arg[0];
    BTreeItemKind kind = kind_of(self);
    if (kind == BTreeItemKind::Keys)
        return btreemap_index_between(map_of(self), element, arg[1], arg[2], "view");
    if (kind == BTreeItemKind::Items) {
        int present = View_contains(self, element);
        if (present < 0)
            return nullptr;
        if (present)
            return btreemap_index_between(map_of(self), PyTuple_GET_ITEM(element, 0), arg[1], arg[2], "view");
    } else {
        Py_ssize_t from, to;
        Py_ssize_t size;
        uint64_t shape_version;
        if (btreemap_read_bounds(arg[1], arg[2], &from, &to) < 0 ||
            (size = btree_looked_size(btreemap_core(map_of(self)), &shape_version)) < 0)
            return nullptr;
        btreemap_clip_bounds(size, &from, &to);
        BTreeRef it(btreemap_iter_new(map_of(self), kind, from, to, false, &shape_version));
        if (!it)
            return nullptr;
        for (Py_ssize_t i = from; BTreeRef value{PyIter_Next(it.get())}; i++) {
            int eq = PyObject_RichCompareBool(value.get(), element, Py_EQ);
            if (eq != 0)
                return eq < 0 ? nullptr : PyLong_FromSsize_t(i);
        }
        if (PyErr_Occurred())
            return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "%R is not in the view", element);
    return nullptr;
}

PyObject *View_count(PyObject *self, PyObject *element)
{
    if (kind_of(self) != BTreeItemKind::Values) {
        int present = View_contains(self, element);
        return present < 0 ? nullptr : PyLong_FromLong(present);
    }
    PyObject *it = View_iter(self);
    if (!it)
        return nullptr;
    Py_ssize_t count = 0;
    PyObject *value;
    while ((value = PyIter_Next(it))) {
        int eq = PyObject_RichCompareBool(value, element, Py_EQ);
        Py_DECREF(value);
        if (eq < 0)
            break;
        count += eq;
    }
    Py_DECREF(it);
    return PyErr_Occurred() ? nullptr : PyLong_FromSsize_t(count);
}

PyObject *View_repr(PyObject *self)
{
    int entered = Py_ReprEnter(self);
    if (entered != 0)
        return entered > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject *list = PySequence_List(self);
    PyObject *result = list ? PyUnicode_FromFormat("%s(%R)", btree_type_name(Py_TYPE(self)), list) : nullptr;
    Py_XDECREF(list);
    Py_ReprLeave(self);
    return result;
}

#define BTREEMAP_SEQUENCE_METHODS                                                    \
    {"__reversed__", View_reversed, METH_NOARGS,                                     \
     "__reversed__($self, /)\n--\n\n"                                                \
     "An iterator in descending key order. O(log n) to start, then O(1) per\n"       \
     "element.\n\n"                                                                  \
     ">>> list(reversed(BTreeMap({1: 'a', 2: 'b'}).items()))\n"                      \
     "[(2, 'b'), (1, 'a')]"},                                                        \
        {"index", as_cfunction<View_index>(), METH_FASTCALL | METH_KEYWORDS,         \
         "index($self, value, /, start=None, stop=None)\n--\n\n"                     \
         "The position of value; ValueError when absent or outside positions\n"      \
         "start to stop, read as list.index reads them. O(log n) for keys and\n"     \
         "items; a scan of the values, O(n).\n\n"                                    \
         ">>> m = BTreeMap({1: 'a', 2: 'b'})\n"                                      \
         ">>> m.keys().index(2), m.values().index('a'), m.items().index((2, 'b'))\n" \
         "(1, 0, 1)"},                                                               \
        {"count", View_count, METH_O,                                                \
         "count($self, value, /)\n--\n\n"                                            \
         "How many times value occurs: 0 or 1 for keys and items, O(log n); a\n"     \
         "scan of the values, O(n).\n\n"                                             \
         ">>> m = BTreeMap({1: 'a', 2: 'a'})\n"                                      \
         ">>> m.values().count('a'), m.keys().count(3)\n"                            \
         "(2, 0)"}

PyMethodDef View_methods[] = {
    BTREEMAP_SEQUENCE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef SetView_methods[] = {
    BTREEMAP_SEQUENCE_METHODS,
    {"isdisjoint", btreemap_set_view_isdisjoint, METH_O,
     "isdisjoint($self, other, /)\n--\n\n"
     "Whether no element of the iterable other is in the view: with another\n"
     "view one linear merge, O(n + m); else a lookup per element, O(m log n),\n"
     "that stops at the first one found.\n\n"
     ">>> m = BTreeMap({1: 'a', 2: 'b'})\n"
     ">>> m.keys().isdisjoint([3, 4]), m.items().isdisjoint({(2, 'b')})\n"
     "(True, False)"},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods View_as_sequence = {
    .sq_length = View_len,
    .sq_item = View_item,
    .sq_contains = View_contains,
};

PyMappingMethods View_as_mapping = {
    .mp_length = View_len,
    .mp_subscript = View_subscript,
    .mp_ass_subscript = View_ass_subscript,
};

}  // namespace

PyObject *btreemap_view_new(PyObject *map, PyTypeObject *type)
{
    BTreeMapViewObject *view = PyObject_GC_New(BTreeMapViewObject, type);
    if (!view)
        return nullptr;
    view->map = Py_NewRef(map);
    PyObject_GC_Track(view);
    return reinterpret_cast<PyObject *>(view);
}

int btreemap_view_contains(PyObject *view, PyObject *element)
{
    return View_contains(view, element);
}

#define BTREEMAP_VIEW_TYPE(NAME, DOC, NUMBER, COMPARE, METHODS)              \
    {                                                                       \
        .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)                        \
        .tp_name = BTREEMAP_MODULE "." NAME,                                \
        .tp_basicsize = sizeof(BTreeMapViewObject),                         \
        .tp_itemsize = 0,                                                   \
        .tp_dealloc = View_dealloc,                                         \
        .tp_repr = View_repr,                                               \
        .tp_as_number = NUMBER,                                             \
        .tp_as_sequence = &View_as_sequence,                                \
        .tp_as_mapping = &View_as_mapping,                                  \
        .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,                \
        .tp_doc = DOC,                                                      \
        .tp_traverse = View_traverse,                                       \
        .tp_richcompare = COMPARE,                                          \
        .tp_iter = View_iter,                                               \
        .tp_methods = METHODS,                                              \
    }

// What the views share, and what a set operation of a key or item view
// returns, said in their docstrings.
#define BTREEMAP_VIEW_DOC                                                      \
    "A live view: len(v) O(1); v[i] O(log n); v[i:j] a list, O(log n + k);\n"  \
    "del v[i] and del v[i:j] remove those items, O(log n) plus O(k) to let\n"  \
    "them go; a walk O(1) per element, which raises RuntimeError once a key\n" \
    "is added or removed.\n"
#define BTREEMAP_SET_VIEW_DOC                                                    \
    "A set, as dict's views are: ``&``, ``|``, ``-`` and ``^`` take any\n"       \
    "iterable on either side, the comparisons a set or a set-like view. Each\n"  \
    "operation returns the keys view of a new BTreeMap of the result: sorted,\n" \
    "a set and a sequence. O(n + m) with another view, else O(n + m log(n + m)).\n"

PyTypeObject BTreeMapKeysType = BTREEMAP_VIEW_TYPE(
    "BTreeMapKeys",
    "The keys of a BTreeMap in ascending order; k in v and v.index(k) take\n"
    "O(log n).\n\n" BTREEMAP_VIEW_DOC "\n" BTREEMAP_SET_VIEW_DOC
    "\n"
    ">>> m = BTreeMap({1: 'a', 2: 'b', 3: 'c'})\n"
    ">>> m.keys()[1:], m.keys() & [3, 4, 5]\n"
    "([2, 3], BTreeMapKeys([3]))\n"
    ">>> del m.keys()[0]\n"
    ">>> m\n"
    "BTreeMap({2: 'b', 3: 'c'})",
    &btreemap_set_view_number, btreemap_set_view_richcompare, SetView_methods);
PyTypeObject BTreeMapValuesType = BTREEMAP_VIEW_TYPE(
    "BTreeMapValues",
    "The values of a BTreeMap in key order, a sequence; x in v, v.index(x)\n"
    "and v.count(x) scan them, O(n).\n\n" BTREEMAP_VIEW_DOC
    "\n"
    ">>> m = BTreeMap({2: 'b', 1: 'a'})\n"
    ">>> m.values()[0], 'b' in m.values()\n"
    "('a', True)",
    nullptr, nullptr, View_methods);
PyTypeObject BTreeMapItemsType = BTREEMAP_VIEW_TYPE(
    "BTreeMapItems",
    "The (key, value) pairs of a BTreeMap in key order; (k, v) in items and\n"
    "items.index((k, v)) take O(log n).\n\n" BTREEMAP_VIEW_DOC "\n" BTREEMAP_SET_VIEW_DOC
    "Pairs in a result are its keys, as tuples: in key order, and two pairs\n"
    "of one key (from a union or a symmetric difference) in the order of\n"
    "their values.\n"
    "\n"
    ">>> m = BTreeMap({1: 'a', 2: 'b'})\n"
    ">>> m.items()[-1], m.items() | {(2, 'c')}\n"
    "((2, 'b'), BTreeMapKeys([(1, 'a'), (2, 'b'), (2, 'c')]))",
    &btreemap_set_view_number, btreemap_set_view_richcompare, SetView_methods);

PyObject *BTreeMap_keys(PyObject *self, PyObject *)
{
    return btreemap_view_new(self, &BTreeMapKeysType);
}

PyObject *BTreeMap_values(PyObject *self, PyObject *)
{
    return btreemap_view_new(self, &BTreeMapValuesType);
}

PyObject *BTreeMap_items(PyObject *self, PyObject *)
{
    return btreemap_view_new(self, &BTreeMapItemsType);
}
