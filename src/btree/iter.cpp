#include "btree/iter.h"

#include "compat.h"
#include "hints.h"
#include "nodes/item_tuple.h"
#include "ops/entry.h"

namespace {

struct BTreeIterObject {
    PyObject_HEAD
    PyObject *tree;       // the tree iterated (strong); NULL after the collector's clear
    BTreeItemKind kind;   // what is yielded
    BTreeCursor cursor;   // the next item, and the tree's version at creation
    BTreeItemTuple items;  // the tuple handed out last, reused when free
};

void BTreeIter_dealloc(PyObject *self)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(it->tree);
    Py_XDECREF(it->items.last);
    PyObject_GC_Del(self);
}

int BTreeIter_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    Py_VISIT(it->tree);
    Py_VISIT(it->items.last);
    return 0;
}

int BTreeIter_clear(PyObject *self)
{
    auto *it = reinterpret_cast<BTreeIterObject *>(self);
    PyObject *tree = it->tree;
    it->tree = nullptr;
    it->cursor.leaf = nullptr;
    it->cursor.pos = 0;
    Py_XDECREF(tree);
    Py_CLEAR(it->items.last);
    return 0;
}

}  // namespace

PyObject *btree_iter_new(PyObject *tree, BTreeItemKind kind)
{
    BTreeCore *core = btree_core(tree);
    BTreeIterObject *it = PyObject_GC_New(BTreeIterObject, &BTreeIterType);
    if (!it)
        return nullptr;
    it->tree = Py_NewRef(tree);
    it->kind = kind;
    it->cursor = BTreeCursor{};
    it->items.last = nullptr;
    // The walk starts from the tree as it is once entered, after the
    // allocation, which may have run finalisers.
    {
        BTreeLook look(core);
        if (!look) {
            Py_DECREF(it);
            return nullptr;
        }
        it->cursor = btree_cursor_start(core);
    }
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

namespace {

// One step of an iterator over `Kind`: each kind has its own, so that a step
// over keys neither asks for values ahead nor saves registers for tuples.
template <BTreeItemKind Kind>
PyObject *iter_step(BTreeIterObject *it)
{
    // A step from a comparison of an operation on this tree either reads it
    // unchanged or refuses.
    BTreeStep step(it->tree ? btree_core(it->tree) : nullptr);
    if (it->tree && (!step || !btree_cursor_valid(it->cursor, btree_core(it->tree))))
        return nullptr;
    int slot;
    BTreeNode *leaf = btree_cursor_next(it->cursor, &slot, Kind != BTreeItemKind::Keys);
    if (!leaf) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if constexpr (Kind == BTreeItemKind::Keys)
        return Py_NewRef(leaf->keys[slot]);
    else if constexpr (Kind == BTreeItemKind::Values)
        return Py_NewRef(leaf->leaf.values[slot]);
    else
        return btree_item_tuple(it->items, leaf->keys[slot], leaf->leaf.values[slot]);
}

// The same step kept out of line: keys, the common walk, then save no
// registers for it.
template <BTreeItemKind Kind>
BTREE_NOINLINE PyObject *iter_step_apart(BTreeIterObject *it)
{
    return iter_step<Kind>(it);
}

}  // namespace

namespace {

PyObject *iter_next(BTreeIterObject *it)
{
    switch (it->kind) {
    case BTreeItemKind::Keys:
        return iter_step<BTreeItemKind::Keys>(it);
    case BTreeItemKind::Values:
        return iter_step_apart<BTreeItemKind::Values>(it);
    default:
        // A tree's iterator yields no other kind than items.
        break;
    }
    return iter_step_apart<BTreeItemKind::Items>(it);
}

}  // namespace

PyObject *BTreeIter_iternext(PyObject *self)
{
    PyObject *item;
    // Threads that share the iterator step it one at a time.
    Py_BEGIN_CRITICAL_SECTION(self);
    item = iter_next(reinterpret_cast<BTreeIterObject *>(self));
    Py_END_CRITICAL_SECTION();
    return item;
}

PyTypeObject BTreeIterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "btree._BTreeIter",
    .tp_basicsize = sizeof(BTreeIterObject),
    .tp_itemsize = 0,
    .tp_dealloc = BTreeIter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = BTreeIter_traverse,
    .tp_clear = BTreeIter_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = BTreeIter_iternext,
};
