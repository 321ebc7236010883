// btreemap.BTreeList: a sorted sequence that keeps equal elements, the last
// added after those already there.
#include <cstddef>

#include "btreemap/positions.h"
#include "btreemap/methods.h"
#include "btreemap/seq.h"
#include "nodes/ref.h"

namespace {

PyObject *List_add(PyObject *self, PyObject *element)
{
    return btreeseq_add(self, element) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *List_update(PyObject *self, PyObject *iterable)
{
    return btreeseq_update(self, iterable) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *List_discard(PyObject *self, PyObject *element)
{
    return btreeseq_discard(self, element) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *List_remove(PyObject *self, PyObject *element)
{
    int rc = btreeseq_discard(self, element);
    if (rc == 0)
        PyErr_Format(PyExc_ValueError, "%R not in list", element);
    return rc > 0 ? Py_NewRef(Py_None) : nullptr;
}

// The calls of a list that would break the order.
PyObject *refused(const char *instead)
{
    PyErr_Format(PyExc_NotImplementedError, "use ``%s`` instead", instead);
    return nullptr;
}

PyObject *List_append(PyObject *, PyObject *)
{
    return refused("sl.add(value)");
}

PyObject *List_extend(PyObject *, PyObject *)
{
    return refused("sl.update(values)");
}

PyObject *List_insert(PyObject *, PyObject *const *, Py_ssize_t)
{
    return refused("sl.add(value)");
}

PyObject *List_reverse(PyObject *, PyObject *)
{
    return refused("reversed(sl)");
}

int List_contains(PyObject *self, PyObject *element)
{
    return btreeseq_contains(self, element);
}

// A new list like the list operand (the left one when both are) of the
// elements of both, those of that list first among equal ones, as
// SortedList adds on either side.
PyObject *List_concat(PyObject *left, PyObject *right)
{
    bool left_is_list = PyObject_TypeCheck(left, &BTreeListType);
    PyObject *self = left_is_list ? left : right, *other = left_is_list ? right : left;
    BTreeRef copy(btreeseq_new_like(self));
    if (!copy || btreeseq_update(copy.get(), self) < 0 || btreeseq_update(copy.get(), other) < 0)
        return nullptr;
    return copy.release();
}

PyObject *List_inplace_concat(PyObject *self, PyObject *other)
{
    return btreeseq_update(self, other) < 0 ? nullptr : Py_NewRef(self);
}

// The elements repeated `times` times, each run of equal ones in the order
// of the copies.
PyObject *repeated(PyObject *self, PyObject *count)
{
    PyObject *elements = PySequence_List(self);
    PyObject *times = elements ? PyNumber_Multiply(elements, count) : nullptr;
    Py_XDECREF(elements);
    return times;
}

PyObject *List_multiply(PyObject *left, PyObject *right)
{
    bool left_is_list = PyObject_TypeCheck(left, &BTreeListType);
    PyObject *self = left_is_list ? left : right, *count = left_is_list ? right : left;
    if (!PyIndex_Check(count))
        Py_RETURN_NOTIMPLEMENTED;
    BTreeRef times(repeated(self, count));
    BTreeRef copy(times ? btreeseq_new_like(self) : nullptr);
    if (!copy || btreeseq_update(copy.get(), times.get()) < 0)
        return nullptr;
    return copy.release();
}

PyObject *List_inplace_multiply(PyObject *self, PyObject *count)
{
    if (!PyIndex_Check(count))
        Py_RETURN_NOTIMPLEMENTED;
    // The copies are built as a list of their own and taken over whole, so
    // that a failure on the way (a MemoryError) leaves the list as it was.
    BTreeRef made(List_multiply(self, count));
    BTreeCore *tree = btreemap_core(self);
    if (!made || btree_clear(tree) < 0)
        return nullptr;
    int rc = btree_adopt(tree, btreemap_core(made.get()));
    if (rc == 1)
        PyErr_SetString(PyExc_RuntimeError, tree->texts->mutated);
    return rc == 0 ? Py_NewRef(self) : nullptr;
}

// Compared with any sequence as lists compare.
PyObject *List_richcompare(PyObject *self, PyObject *other, int op)
{
    BTreeRef sequence(btreemap_abc("Sequence"));
    if (!sequence)
        return nullptr;
    int is_sequence = PyObject_IsInstance(other, sequence.get());
    if (is_sequence <= 0)
        return is_sequence < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    if ((op == Py_EQ || op == Py_NE) && PyObject_Length(other) != btree_size(btreemap_core(self))) {
        if (PyErr_Occurred())
            return nullptr;
        return PyBool_FromLong(op == Py_NE);
    }
    BTreeRef mine(btreemap_list_of(self));
    BTreeRef theirs(mine ? btreemap_list_of(other) : nullptr);
    return theirs ? PyObject_RichCompare(mine.get(), theirs.get(), op) : nullptr;
}

PyMethodDef List_own_methods[] = {
    {"add", List_add, METH_O,
     "add($self, value, /)\n--\n\n"
     "Add value after the elements equal to it. O(log n).\n\n"
     ">>> s = BTreeList([3, 1])\n"
     ">>> s.add(2)\n"
     ">>> s\n"
     "BTreeList([1, 2, 3])"},
    {"update", List_update, METH_O,
     "update($self, iterable, /)\n--\n\n"
     "Add every element of iterable, each after the elements equal to it.\n"
     "A few go in one at a time, O(m log(n + m)); more are ordered with the\n"
     "others in one rebuild, O((n + m) log(n + m)) at most.\n\n"
     ">>> s = BTreeList([2])\n"
     ">>> s.update([3, 2, 1])\n"
     ">>> s\n"
     "BTreeList([1, 2, 2, 3])"},
    {"discard", List_discard, METH_O,
     "discard($self, value, /)\n--\n\n"
     "Remove one element equal to value, if there is one. O(log n).\n\n"
     ">>> s = BTreeList([1, 2, 2])\n"
     ">>> s.discard(2); s.discard(5)\n"
     ">>> s\n"
     "BTreeList([1, 2])"},
    {"remove", List_remove, METH_O,
     "remove($self, value, /)\n--\n\n"
     "Remove one element equal to value; ValueError when there is none.\n"
     "O(log n).\n\n"
     ">>> s = BTreeList([1, 2])\n"
     ">>> s.remove(2)\n"
     ">>> s.remove(2)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "ValueError: 2 not in list"},
    {"append", List_append, METH_O,
     "append($self, value, /)\n--\n\n"
     "Not offered, as the order chooses the position: NotImplementedError.\n"
     "add() puts value in its place, O(log n).\n\n"
     ">>> BTreeList().append(1)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "NotImplementedError: use ``sl.add(value)`` instead"},
    {"extend", List_extend, METH_O,
     "extend($self, values, /)\n--\n\n"
     "Not offered, as the order chooses the positions: NotImplementedError.\n"
     "update() adds the values, O(m log(n + m)).\n\n"
     ">>> BTreeList().extend([1])\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "NotImplementedError: use ``sl.update(values)`` instead"},
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(List_insert)), METH_FASTCALL,
     "insert($self, index, value, /)\n--\n\n"
     "Not offered, as the order chooses the position: NotImplementedError.\n"
     "add() puts value in its place, O(log n).\n\n"
     ">>> BTreeList().insert(0, 1)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "NotImplementedError: use ``sl.add(value)`` instead"},
    {"reverse", List_reverse, METH_NOARGS,
     "reverse($self, /)\n--\n\n"
     "Not offered, as the order is ascending: NotImplementedError.\n"
     "reversed() walks the elements backwards, O(1) per element.\n\n"
     ">>> BTreeList([1, 2]).reverse()\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "NotImplementedError: use ``reversed(sl)`` instead"},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods List_as_sequence = {
    .sq_contains = List_contains,
};

PyNumberMethods List_as_number = {
    .nb_add = List_concat,
    .nb_multiply = List_multiply,
    .nb_inplace_add = List_inplace_concat,
    .nb_inplace_multiply = List_inplace_multiply,
};

}  // namespace

PyTypeObject BTreeListType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = BTREEMAP_MODULE ".BTreeList",
    .tp_basicsize = sizeof(BTreeSeqObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreeseq_dealloc,
    .tp_repr = btreeseq_repr,
    .tp_as_number = &List_as_number,
    .tp_as_sequence = &List_as_sequence,
    .tp_as_mapping = &btreeseq_as_mapping,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_SEQUENCE,
    .tp_doc = "BTreeList(iterable=None, key=None)\n--\n\n"
              "A sorted sequence held as a B+ tree: elements in ascending order (of\n"
              "key(element) with a key function), equal ones kept in the order they\n"
              "were added. Built in O(n log n), O(n) from elements in order; TypeError\n"
              "when key is not callable or None.\n\n"
              "s[i], del s[i], x in s, adding, removing and bisection take O(log n),\n"
              "len(s) O(1), s[i:j] O(log n + k); with a key function, finding an\n"
              "element also passes those of equal key. s + other and s * k are new\n"
              "lists. Item assignment raises NotImplementedError; elements that do\n"
              "not compare, TypeError; a comparison that calls the list again,\n"
              "RuntimeError.\n\n"
              ">>> s = BTreeList([3, 1, 2, 1])\n"
              ">>> s, s[-1], s.count(1)\n"
              "(BTreeList([1, 1, 2, 3]), 3, 2)\n"
              ">>> BTreeList(['b', 'A'], key=str.lower)\n"
              "BTreeList(['A', 'b'], key=<method 'lower' of 'str' objects>)",
    .tp_traverse = btreeseq_traverse,
    .tp_clear = btreeseq_clear_refs,
    .tp_richcompare = List_richcompare,
    .tp_weaklistoffset = offsetof(BTreeMapObject, weakreflist),
    .tp_iter = btreeseq_iter,
    .tp_getset = btreeseq_getset,
    .tp_init = btreeseq_init,
    .tp_new = btreeseq_new,
};

const PyMethodDef *btreelist_own_methods = List_own_methods;
