#include "btreemap/iter.h"

#include "btreemap/object.h"
#include "compat.h"
#include "nodes/item_tuple.h"
#include "nodes/span.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

struct MapIterObject {
    PyObject_HEAD
    PyObject *map;  // the map iterated (strong); NULL after the collector's clear
    BTreeItemKind kind;
    BTreeSpan span;
    BTreeItemTuple items;  // the tuple handed out last, reused when free
};

void MapIter_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    auto *it = reinterpret_cast<MapIterObject *>(self);
    Py_XDECREF(it->map);
    Py_XDECREF(it->items.last);
    PyObject_GC_Del(self);
}

int MapIter_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *it = reinterpret_cast<MapIterObject *>(self);
    Py_VISIT(it->map);
    Py_VISIT(it->items.last);
    return 0;
}

int MapIter_clear(PyObject *self)
{
    auto *it = reinterpret_cast<MapIterObject *>(self);
    it->span.left = 0;
    Py_CLEAR(it->map);
    Py_CLEAR(it->items.last);
    return 0;
}

PyObject *map_iter_next(MapIterObject *it)
{
    if (!it->map)
        return nullptr;
    BTreeCore *tree = btreemap_core(it->map);
    // Values stored over others keep every node in place; any other change
    // may have moved or freed the leaf the walk is at.
    BTreeStep step(tree);
    if (!step)
        return nullptr;
    if (!btree_span_valid(it->span, tree)) {
        PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
        return nullptr;
    }
    int slot;
    BTreeNode *leaf = btree_span_next(it->span, tree, &slot, it->kind != BTreeItemKind::Keys);
    if (!leaf)
        return nullptr;
    if (it->kind == BTreeItemKind::Items)
        return btree_item_tuple(it->items, leaf->keys[slot], leaf->leaf.values[slot]);
    return btree_slot_item(leaf, slot, it->kind);
}

PyObject *MapIter_next(PyObject *self)
{
    PyObject *item;
    // Threads that share the iterator step it one at a time.
    Py_BEGIN_CRITICAL_SECTION(self);
    item = map_iter_next(reinterpret_cast<MapIterObject *>(self));
    Py_END_CRITICAL_SECTION();
    return item;
}

PyObject *MapIter_length_hint(PyObject *self, PyObject *)
{
    return PyLong_FromSsize_t(reinterpret_cast<MapIterObject *>(self)->span.left);
}

PyMethodDef MapIter_methods[] = {
    {"__length_hint__", MapIter_length_hint, METH_NOARGS,
     "__length_hint__($self, /)\n--\n\n"
     "How many items are still to come, for operator.length_hint(). O(1).\n\n"
     ">>> import operator\n"
     ">>> it = iter(BTreeMap.fromkeys(range(5)))\n"
     ">>> next(it), operator.length_hint(it)\n"
     "(0, 4)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject *btreemap_iter_new(PyObject *map, BTreeItemKind kind, Py_ssize_t start, Py_ssize_t stop, bool reverse,
                            const uint64_t *shape_version)
{
    BTreeCore *tree = btreemap_core(map);
    MapIterObject *it = PyObject_GC_New(MapIterObject, &BTreeMapIterType);
    if (!it)
        return nullptr;
    it->map = Py_NewRef(map);
    it->kind = btreemap_kind(map, kind);
    it->span = BTreeSpan{};
    it->items.last = nullptr;
    // The walk starts from the map as it is once entered, after the
    // allocation, which may have run finalisers.
    {
        BTreeLook look(tree);
        if (!look) {
            Py_DECREF(it);
            return nullptr;
        }
        Py_ssize_t size = tree->size;
        start = start < 0 ? 0 : start > size ? size : start;
        stop = stop < start ? start : stop > size ? size : stop;
        it->span = btree_span_start(tree, start, stop, reverse);
        if (shape_version)
            it->span.shape_version = *shape_version;
    }
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

PyObject *btreemap_iter_all(PyObject *map, BTreeItemKind kind, bool reverse)
{
    return btreemap_iter_new(map, kind, 0, PY_SSIZE_T_MAX, reverse);
}

PyTypeObject BTreeMapIterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = BTREEMAP_MODULE "._BTreeMapIter",
    .tp_basicsize = sizeof(MapIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = MapIter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "The iterator of a BTreeMap, its views, a BTreeList and a BTreeSet, and\n"
              "of their irange() and islice(): a walk along the leaves, O(1) per\n"
              "step. Once a key or element is added or removed it raises\n"
              "RuntimeError; a value stored over another does not stop it.\n\n"
              ">>> m = BTreeMap({1: 'a', 2: 'b'})\n"
              ">>> it = iter(m)\n"
              ">>> m[1] = 'A'\n"
              ">>> next(it)\n"
              "1\n"
              ">>> m[3] = 'c'\n"
              ">>> next(it)\n"
              "Traceback (most recent call last):\n"
              "  ...\n"
              "RuntimeError: BTreeMap mutated during iteration",
    .tp_traverse = MapIter_traverse,
    .tp_clear = MapIter_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = MapIter_next,
    .tp_methods = MapIter_methods,
};
