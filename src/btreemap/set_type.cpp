// btreemap.BTreeSet: a sorted set, a mutable set and a sequence by position.
// Two sets without key functions combine in one linear merge.
#include <cstddef>

#include "btreemap/positions.h"
#include "btreemap/methods.h"
#include "btreemap/seq.h"
#include "bulk/merge.h"
#include "nodes/ref.h"
#include "ops/entry.h"

namespace {

BTreeCore *core(PyObject *op)
{
    return btreemap_core(op);
}

// Whether `element` is in `container`: a set of this module that cannot
// compare the element with its own holds no such element.
int holds(PyObject *container, PyObject *element)
{
    int rc = PySequence_Contains(container, element);
    if (rc < 0 && btreeseq_check(container) && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return 0;
    }
    return rc;
}

// An operand as a set like `self`: itself when it is one with the same key
// function, else a new one of its elements.
PyObject *as_set(PyObject *self, PyObject *other)
{
    if (btreeseq_is_set(other) && btreeseq(other)->key == btreeseq(self)->key)
        return Py_NewRef(other);
    PyObject *made = btreeseq_new_like(self);
    if (made && btreeseq_update(made, other) < 0)
        Py_CLEAR(made);
    return made;
}

// Adds to `result` the elements of `from` that `other` holds (or, with
// `wanted` false, does not hold). 0 or -1.
int filter_into(PyObject *result, PyObject *from, PyObject *other, bool wanted)
{
    BTreeRef it(btreemap_iter_of(from));
    if (!it)
        return -1;
    while (PyObject *element = PyIter_Next(it.get())) {
        BTreeRef held(element);
        int rc = holds(other, element);
        if (rc < 0 || (rc == wanted && btreeseq_add(result, element) < 0))
            return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// `self` op `other` as a new set like `self`.
PyObject *combine(PyObject *self, PyObject *other, BTreeSetOp op)
{
    BTreeRef right(as_set(self, other));
    BTreeRef result(right ? btreeseq_new_like(self) : nullptr);
    if (!result)
        return nullptr;
    int rc;
    if (!btreeseq(self)->key) {
        rc = btree_set_merge(core(result.get()), core(self), core(right.get()), op, BTreeMergeEntry::Hold);
    } else if (op == BTreeSetOp::Union) {
        rc = btreeseq_update(result.get(), self) < 0 ? -1 : btreeseq_update(result.get(), right.get());
    } else {
        // Elements with equal keys are told apart by equality: one by one.
        rc = filter_into(result.get(), self, right.get(), op == BTreeSetOp::Intersection);
        if (rc == 0 && op == BTreeSetOp::SymmetricDifference)
            rc = filter_into(result.get(), right.get(), self, false);
    }
    return rc < 0 ? nullptr : result.release();
}

// Folds every argument into `self` with `op`, a new set.
template <BTreeSetOp op>
PyObject *combine_all(PyObject *self, PyObject *args)
{
    BTreeRef result(Py_NewRef(self));
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 0)
        return PyObject_CallMethod(self, "copy", nullptr);
    for (Py_ssize_t i = 0; i < n; i++) {
        result = BTreeRef(combine(result.get(), PyTuple_GET_ITEM(args, i), op));
        if (!result)
            return nullptr;
    }
    return result.release();
}

// Gives `self` the elements of `result`, a set no other code reaches.
int take_over(PyObject *self, PyObject *result)
{
    if (btree_clear(core(self)) < 0)
        return -1;
    int rc = btree_adopt(core(self), core(result));
    if (rc == 1) {
        PyErr_SetString(PyExc_RuntimeError, core(self)->texts->mutated);
        return -1;
    }
    return rc;
}

// The _update methods return the set, as SortedSet's do.
template <BTreeSetOp op>
PyObject *update_with(PyObject *self, PyObject *args)
{
    BTreeRef result(combine_all<op>(self, args));
    if (!result || take_over(self, result.get()) < 0)
        return nullptr;
    return Py_NewRef(self);
}

PyObject *Set_add(PyObject *self, PyObject *element)
{
    return btreeseq_add(self, element) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *Set_discard(PyObject *self, PyObject *element)
{
    return btreeseq_discard(self, element) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *Set_remove(PyObject *self, PyObject *element)
{
    int rc = btreeseq_discard(self, element);
    if (rc == 0)
        btree_set_key_error(element);
    return rc > 0 ? Py_NewRef(Py_None) : nullptr;
}

PyObject *Set_update(PyObject *self, PyObject *args)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++)
        if (btreeseq_update(self, PyTuple_GET_ITEM(args, i)) < 0)
            return nullptr;
    return Py_NewRef(self);
}

PyObject *Set_symmetric_difference(PyObject *self, PyObject *other)
{
    return combine(self, other, BTreeSetOp::SymmetricDifference);
}

// Whether every element of `a` is in `b`: 1, 0 or -1.
int subset(PyObject *a, PyObject *b)
{
    BTreeRef it(btreemap_iter_of(a));
    if (!it)
        return -1;
    while (PyObject *element = PyIter_Next(it.get())) {
        int rc = holds(b, element);
        Py_DECREF(element);
        if (rc <= 0)
            return rc;
    }
    return PyErr_Occurred() ? -1 : 1;
}

PyObject *Set_isdisjoint(PyObject *self, PyObject *other)
{
    BTreeRef it(btreemap_iter_of(other));
    if (!it)
        return nullptr;
    while (PyObject *element = PyIter_Next(it.get())) {
        int rc = holds(self, element);
        Py_DECREF(element);
        if (rc != 0)
            return rc < 0 ? nullptr : Py_NewRef(Py_False);
    }
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_True);
}

int Set_contains(PyObject *self, PyObject *element)
{
    return btreeseq_contains(self, element);
}

// Compared with any set as sets compare: by inclusion.
PyObject *Set_richcompare(PyObject *self, PyObject *other, int op)
{
    BTreeRef abc(btreemap_abc("Set"));
    if (!abc)
        return nullptr;
    int is_set = PyObject_IsInstance(other, abc.get());
    if (is_set <= 0)
        return is_set < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    Py_ssize_t mine = btree_size(btreemap_core(self)), theirs = PyObject_Length(other);
    if (theirs < 0)
        return nullptr;
    bool sizes;
    int rc;
    switch (op) {
    case Py_EQ:
    case Py_NE:
        sizes = mine == theirs;
        rc = sizes ? subset(self, other) : 0;
        if (rc < 0)
            return nullptr;
        return PyBool_FromLong((op == Py_EQ) == (rc == 1));
    case Py_LE:
    case Py_LT:
        sizes = op == Py_LE ? mine <= theirs : mine < theirs;
        rc = sizes ? subset(self, other) : 0;
        break;
    default:
        sizes = op == Py_GE ? mine >= theirs : mine > theirs;
        rc = sizes ? subset(other, self) : 0;
        break;
    }
    return rc < 0 ? nullptr : PyBool_FromLong(rc);
}

// The binary operators take any iterable on either side; the result is a
// set like the operand of this type.
template <BTreeSetOp op>
PyObject *binary(PyObject *left, PyObject *right)
{
    if (btreeseq_is_set(left))
        return combine(left, right, op);
    BTreeRef mine(as_set(right, left));
    return mine ? combine(mine.get(), right, op) : nullptr;
}

PyObject *Set_inplace_or(PyObject *self, PyObject *other)
{
    return btreeseq_update(self, other) < 0 ? nullptr : Py_NewRef(self);
}

template <BTreeSetOp op>
PyObject *inplace(PyObject *self, PyObject *other)
{
    BTreeRef result(combine(self, other, op));
    if (!result || take_over(self, result.get()) < 0)
        return nullptr;
    return Py_NewRef(self);
}

// What the set algebra costs, said by each of its methods.
#define BTREESET_MERGE_COST                                                    \
    "One linear merge, O(n + m), after ordering an operand that is not a\n"    \
    "BTreeSet of the same key function, O(m log m); with a key function the\n" \
    "elements are looked up one by one.\n"

PyMethodDef Set_own_methods[] = {
    {"add", Set_add, METH_O,
     "add($self, value, /)\n--\n\n"
     "Add value unless an equal element is there. O(log n).\n\n"
     ">>> s = BTreeSet([3, 1])\n"
     ">>> s.add(2); s.add(3)\n"
     ">>> s\n"
     "BTreeSet([1, 2, 3])"},
    {"discard", Set_discard, METH_O,
     "discard($self, value, /)\n--\n\n"
     "Remove the element equal to value, if there is one. O(log n).\n\n"
     ">>> s = BTreeSet([1, 2])\n"
     ">>> s.discard(2); s.discard(5)\n"
     ">>> s\n"
     "BTreeSet([1])"},
    {"remove", Set_remove, METH_O,
     "remove($self, value, /)\n--\n\n"
     "Remove the element equal to value; KeyError when there is none.\n"
     "O(log n).\n\n"
     ">>> s = BTreeSet([1, 2])\n"
     ">>> s.remove(2)\n"
     ">>> s.remove(2)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "KeyError: 2"},
    {"update", Set_update, METH_VARARGS,
     "update($self, /, *iterables)\n--\n\n"
     "Add the elements of every iterable and return the set. A few go in\n"
     "one at a time, O(m log(n + m)); more are ordered with the others in one\n"
     "rebuild, O((n + m) log(n + m)) at most.\n\n"
     ">>> BTreeSet([2]).update([3, 2], [1])\n"
     "BTreeSet([1, 2, 3])"},
    {"union", combine_all<BTreeSetOp::Union>, METH_VARARGS,
     "union($self, /, *iterables)\n--\n\n"
     "A new set of the elements of self and of every iterable, as s | other.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 3]).union([2, 3], (4,))\n"
     "BTreeSet([1, 2, 3, 4])"},
    {"intersection", combine_all<BTreeSetOp::Intersection>, METH_VARARGS,
     "intersection($self, /, *iterables)\n--\n\n"
     "A new set of the elements of self found in every iterable, as\n"
     "s & other.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 2, 3]).intersection([3, 2, 5], {2, 3})\n"
     "BTreeSet([2, 3])"},
    {"difference", combine_all<BTreeSetOp::Difference>, METH_VARARGS,
     "difference($self, /, *iterables)\n--\n\n"
     "A new set of the elements of self found in no iterable, as s - other.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 2, 3]).difference([2], [3])\n"
     "BTreeSet([1])"},
    {"symmetric_difference", Set_symmetric_difference, METH_O,
     "symmetric_difference($self, other, /)\n--\n\n"
     "A new set of the elements in exactly one of self and other, as\n"
     "s ^ other.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 2]).symmetric_difference([2, 3])\n"
     "BTreeSet([1, 3])"},
    {"intersection_update", update_with<BTreeSetOp::Intersection>, METH_VARARGS,
     "intersection_update($self, /, *iterables)\n--\n\n"
     "Keep only the elements found in every iterable; return the set.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 2, 3]).intersection_update([2, 3, 4])\n"
     "BTreeSet([2, 3])"},
    {"difference_update", update_with<BTreeSetOp::Difference>, METH_VARARGS,
     "difference_update($self, /, *iterables)\n--\n\n"
     "Remove the elements found in any iterable; return the set.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 2, 3]).difference_update([2], [5])\n"
     "BTreeSet([1, 3])"},
    {"symmetric_difference_update", inplace<BTreeSetOp::SymmetricDifference>, METH_O,
     "symmetric_difference_update($self, other, /)\n--\n\n"
     "Keep the elements in exactly one of self and other; return the set.\n" BTREESET_MERGE_COST "\n"
     ">>> BTreeSet([1, 2]).symmetric_difference_update([2, 3])\n"
     "BTreeSet([1, 3])"},
    {"isdisjoint", Set_isdisjoint, METH_O,
     "isdisjoint($self, other, /)\n--\n\n"
     "Whether self and other have no element in common: a lookup per element\n"
     "of other, O(m log n), that stops at the first one found.\n\n"
     ">>> s = BTreeSet([1, 2])\n"
     ">>> s.isdisjoint([3, 4]), s.isdisjoint(iter([5, 2]))\n"
     "(True, False)"},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods Set_as_sequence = {
    .sq_contains = Set_contains,
};

PyNumberMethods Set_as_number = {
    .nb_subtract = binary<BTreeSetOp::Difference>,
    .nb_and = binary<BTreeSetOp::Intersection>,
    .nb_xor = binary<BTreeSetOp::SymmetricDifference>,
    .nb_or = binary<BTreeSetOp::Union>,
    .nb_inplace_subtract = inplace<BTreeSetOp::Difference>,
    .nb_inplace_and = inplace<BTreeSetOp::Intersection>,
    .nb_inplace_xor = inplace<BTreeSetOp::SymmetricDifference>,
    .nb_inplace_or = Set_inplace_or,
};

}  // namespace

PyTypeObject BTreeSetType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = BTREEMAP_MODULE ".BTreeSet",
    .tp_basicsize = sizeof(BTreeSeqObject),
    .tp_itemsize = 0,
    .tp_dealloc = btreeseq_dealloc,
    .tp_repr = btreeseq_repr,
    .tp_as_number = &Set_as_number,
    .tp_as_sequence = &Set_as_sequence,
    .tp_as_mapping = &btreeseq_as_mapping,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = "BTreeSet(iterable=None, key=None)\n--\n\n"
              "A sorted set held as a B+ tree: unique elements in ascending order (of\n"
              "key(element) with a key function, elements of equal key told apart by\n"
              "==), reached by position too. Built in O(n log n), O(n) from elements\n"
              "in order and no key function; TypeError when key is not callable or\n"
              "None.\n\n"
              "x in s, s[i], del s[i], adding, removing and bisection take O(log n),\n"
              "len(s) O(1), s[i:j] O(log n + k); with a key function, finding an\n"
              "element also passes those of equal key. The operators ``|``, ``&``,\n"
              "``-`` and ``^`` take any iterable and give a BTreeSet with the key\n"
              "function of the BTreeSet operand; comparisons are by inclusion.\n"
              "Elements that do not compare raise TypeError; a comparison that calls\n"
              "the set again, RuntimeError.\n\n"
              ">>> s = BTreeSet([3, 1, 2, 1])\n"
              ">>> s, s[0], s | [0, 5]\n"
              "(BTreeSet([1, 2, 3]), 1, BTreeSet([0, 1, 2, 3, 5]))",
    .tp_traverse = btreeseq_traverse,
    .tp_clear = btreeseq_clear_refs,
    .tp_richcompare = Set_richcompare,
    .tp_weaklistoffset = offsetof(BTreeMapObject, weakreflist),
    .tp_iter = btreeseq_iter,
    .tp_getset = btreeseq_getset,
    .tp_init = btreeseq_init,
    .tp_new = btreeseq_new,
};

const PyMethodDef *btreeset_own_methods = Set_own_methods;
