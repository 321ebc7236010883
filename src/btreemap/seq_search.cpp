// What the sorted sequences read and remove by element, by key and by
// position: membership, counts, bisection, index, ranges and slices.
#include "btreemap/args.h"
#include "btreemap/iter.h"
#include "btreemap/methods.h"
#include "btreemap/positions.h"
#include "btreemap/seq.h"
#include "nodes/ref.h"
#include "ops/entry.h"

namespace {

const char *where(PyObject *self)
{
    return btreeseq_is_set(self) ? "set" : "list";
}

PyObject *Seq_bisect_left(PyObject *self, PyObject *element)
{
    BTreeRef key(btreeseq_key_of(self, element));
    return key ? btreemap_bisect_key_left(self, key.get()) : nullptr;
}

PyObject *Seq_bisect_right(PyObject *self, PyObject *element)
{
    BTreeRef key(btreeseq_key_of(self, element));
    return key ? btreemap_bisect_key_right(self, key.get()) : nullptr;
}

PyObject *Seq_count(PyObject *self, PyObject *element)
{
    BTreeCore *tree = btreemap_core(self);
    BTreeRef key(btreeseq_key_of(self, element));
    if (!key)
        return nullptr;
    Py_ssize_t count;
    if (btreeseq(self)->key || !tree->equal_keys) {
        count = btree_count_in_run(tree, key.get(), btreeseq(self)->key ? element : nullptr);
    } else {
        Py_ssize_t before, through;
        count = btree_run_bounds(tree, key.get(), &before, &through) < 0 ? -1 : through - before;
    }
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

// The first position from `start` on and before `stop` (read as list.index
// reads them) of an element equal to the argument; ValueError otherwise.
PyObject *Seq_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"value", "start", "stop"};
    PyObject *arg[3];
    if (btreemap_parse_args({"index", names, 3, 1, 1}, args, nargs, kwnames, arg) < 0)
        return nullptr;
    Py_ssize_t from, to;
    if (btreemap_read_bounds(arg[1], arg[2], &from, &to) < 0)
        return nullptr;
    BTreeCore *tree = btreemap_core(self);
    BTreeRef key(btreeseq_key_of(self, arg[0]));
    Py_ssize_t size;
    if (!key || (size = btree_looked_size(tree)) < 0)
        return nullptr;
    btreemap_clip_bounds(size, &from, &to);
    Py_ssize_t at = -1;
    if (btreeseq(self)->key) {
        int rc = btree_find_in_run(tree, key.get(), arg[0], from, &at);
        if (rc < 0)
            return nullptr;
        if (rc == 0)
            at = -1;
    } else {
        // The run's first position from `from` on.
        Py_ssize_t before, through;
        int present = btree_run_bounds(tree, key.get(), &before, &through);
        if (present < 0)
            return nullptr;
        if (present)
            at = before > from ? before : from < through ? from : -1;
    }
    if (at < 0 || at < from || at >= to) {
        PyErr_Format(PyExc_ValueError, "%R is not in %s", arg[0], where(self));
        return nullptr;
    }
    return PyLong_FromSsize_t(at);
}

PyObject *Seq_irange(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return btreemap_irange(self, args, kwargs, btreeseq_elements(self));
}

PyObject *Seq_irange_key(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return btreemap_irange_key(self, args, kwargs, btreeseq_elements(self));
}

PyObject *Seq_islice(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return btreemap_islice(self, args, kwargs, btreeseq_elements(self));
}

PyObject *Seq_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"index"};
    PyObject *arg;
    if (btreemap_parse_args({"pop", names, 1, 0, 0}, args, nargs, kwnames, &arg) < 0)
        return nullptr;
    Py_ssize_t index = -1;
    if (arg && btreemap_position(arg, &index) < 0)
        return nullptr;
    if (!btree_size(btreemap_core(self))) {
        PyErr_SetString(PyExc_IndexError, "pop index out of range");
        return nullptr;
    }
    return btree_pop_item_at(btreemap_core(self), index, btreeseq_elements(self));
}

PyObject *Seq_clear(PyObject *self, PyObject *)
{
    return btree_clear(btreemap_core(self)) < 0 ? nullptr : Py_NewRef(Py_None);
}

Py_ssize_t Seq_len(PyObject *self)
{
    return btree_size(btreemap_core(self));
}

PyObject *Seq_subscript(PyObject *self, PyObject *index)
{
    if (PySlice_Check(index))
        return btreemap_slice(self, btreeseq_elements(self), index);
    Py_ssize_t i;
    if (btreemap_position(index, &i) < 0)
        return nullptr;
    return btree_item_at(btreemap_core(self), i, btreeseq_elements(self));
}

int Seq_ass_subscript(PyObject *self, PyObject *index, PyObject *value)
{
    if (value) {
        PyErr_SetString(PyExc_NotImplementedError, "use ``del s[index]`` and ``s.add(value)`` instead");
        return -1;
    }
    return btreemap_delete_positions(self, index);
}

}  // namespace

int btreeseq_contains(PyObject *self, PyObject *element)
{
    BTreeRef key(btreeseq_key_of(self, element));
    if (!key)
        return -1;
    return btree_find_in_run(btreemap_core(self), key.get(), btreeseq(self)->key ? element : nullptr, 0, nullptr);
}

PyMappingMethods btreeseq_as_mapping = {
    .mp_length = Seq_len,
    .mp_subscript = Seq_subscript,
    .mp_ass_subscript = Seq_ass_subscript,
};

PyMethodDef btreeseq_search_methods[] = {
    {"bisect_left", Seq_bisect_left, METH_O,
     "bisect_left($self, value, /)\n--\n\n"
     "The number of elements that sort before value: the first position it\n"
     "could take. O(log n).\n\n"
     ">>> BTreeList([1, 2, 2, 3]).bisect_left(2)\n"
     "1"},
    {"bisect_right", Seq_bisect_right, METH_O,
     "bisect_right($self, value, /)\n--\n\n"
     "The number of elements that sort before value or with it: the last\n"
     "position it could take. O(log n).\n\n"
     ">>> BTreeList([1, 2, 2, 3]).bisect_right(2)\n"
     "3"},
    {"bisect", Seq_bisect_right, METH_O,
     "bisect($self, value, /)\n--\n\n"
     "The same as bisect_right(). O(log n).\n\n"
     ">>> BTreeSet([1, 2, 3]).bisect(2)\n"
     "2"},
    {"bisect_key_left", btreemap_bisect_key_left, METH_O,
     "bisect_key_left($self, key, /)\n--\n\n"
     "The number of elements whose keys are less than key, a result of the\n"
     "key function (the element itself without one). O(log n).\n\n"
     ">>> BTreeList(['b', 'A', 'c'], key=str.lower).bisect_key_left('b')\n"
     "1"},
    {"bisect_key_right", btreemap_bisect_key_right, METH_O,
     "bisect_key_right($self, key, /)\n--\n\n"
     "The number of elements whose keys are less than or equal to key, a\n"
     "result of the key function (the element itself without one). O(log n).\n\n"
     ">>> BTreeList(['b', 'A', 'c'], key=str.lower).bisect_key_right('b')\n"
     "2"},
    {"bisect_key", btreemap_bisect_key_right, METH_O,
     "bisect_key($self, key, /)\n--\n\n"
     "The same as bisect_key_right(). O(log n).\n\n"
     ">>> BTreeSet(['b', 'A'], key=str.lower).bisect_key('a')\n"
     "1"},
    {"count", Seq_count, METH_O,
     "count($self, value, /)\n--\n\n"
     "The number of elements equal to value. O(log n); with a key function,\n"
     "plus the elements of equal key, which are compared with ==.\n\n"
     ">>> BTreeList([1, 2, 2]).count(2), BTreeSet([1, 2, 2]).count(2)\n"
     "(2, 1)"},
    {"index", as_cfunction<Seq_index>(), METH_FASTCALL | METH_KEYWORDS,
     "index($self, value, /, start=None, stop=None)\n--\n\n"
     "The first position of an element equal to value from start to stop,\n"
     "read as list.index reads them; ValueError when there is none. O(log n);\n"
     "with a key function, plus the elements of equal key.\n\n"
     ">>> s = BTreeList('abbc')\n"
     ">>> s.index('b'), s.index('b', 2)\n"
     "(1, 2)\n"
     ">>> s.index('b', 3)\n"
     "Traceback (most recent call last):\n"
     "  ...\n"
     "ValueError: 'b' is not in list"},
    {"irange", as_cfunction<Seq_irange>(), METH_VARARGS | METH_KEYWORDS,
     "irange($self, /, minimum=None, maximum=None, inclusive=(True, True), reverse=False)\n--\n\n"
     "A lazy iterator over the elements from minimum to maximum (None: no\n"
     "bound), descending with reverse; inclusive is a pair of flags for the\n"
     "bounds. O(log n) to start, then O(1) per element.\n\n"
     ">>> s = BTreeSet(range(10))\n"
     ">>> list(s.irange(3, 6, inclusive=(False, True))), list(s.irange(8, reverse=True))\n"
     "([4, 5, 6], [9, 8])"},
    {"irange_key", as_cfunction<Seq_irange_key>(), METH_VARARGS | METH_KEYWORDS,
     "irange_key($self, /, min_key=None, max_key=None, inclusive=(True, True), reverse=False)\n--\n\n"
     "A lazy iterator over the elements whose keys lie from min_key to\n"
     "max_key (None: no bound), the keys being results of the key function.\n"
     "O(log n) to start, then O(1) per element.\n\n"
     ">>> s = BTreeList(['b', 'A', 'c'], key=str.lower)\n"
     ">>> list(s.irange_key('b'))\n"
     "['b', 'c']"},
    {"islice", as_cfunction<Seq_islice>(), METH_VARARGS | METH_KEYWORDS,
     "islice($self, /, start=None, stop=None, reverse=False)\n--\n\n"
     "A lazy iterator over the elements at positions start to stop, as a\n"
     "slice would select them, descending with reverse. O(log n) to start,\n"
     "then O(1) per element.\n\n"
     ">>> s = BTreeList('dcba')\n"
     ">>> list(s.islice(1, 3)), list(s.islice(-2, reverse=True))\n"
     "(['b', 'c'], ['d', 'c'])"},
    {"remove_range", as_cfunction<BTreeMap_remove_range>(), METH_VARARGS | METH_KEYWORDS,
     "remove_range($self, /, minimum=None, maximum=None, inclusive=(True, True))\n--\n\n"
     "Remove every element from minimum to maximum (None: no bound), selected\n"
     "as irange() selects them, and return how many were removed. Whole\n"
     "subtrees go at once: O(log n), plus O(k) to let the k removed go.\n\n"
     ">>> s = BTreeList([1, 2, 2, 3, 4])\n"
     ">>> s.remove_range(2, 3), s\n"
     "(3, BTreeList([1, 4]))"},
    {"pop", as_cfunction<Seq_pop>(), METH_FASTCALL | METH_KEYWORDS,
     "pop($self, /, index=-1)\n--\n\n"
     "Remove and return the element at a position, the last by default;\n"
     "IndexError when empty or out of range. O(log n).\n\n"
     ">>> s = BTreeSet([3, 1, 2])\n"
     ">>> s.pop(), s.pop(0), s\n"
     "(3, 1, BTreeSet([2]))"},
    {"clear", Seq_clear, METH_NOARGS,
     "clear($self, /)\n--\n\n"
     "Remove every element. O(n), to let each one go.\n\n"
     ">>> s = BTreeList([1, 2])\n"
     ">>> s.clear()\n"
     ">>> s\n"
     "BTreeList([])"},
};
const Py_ssize_t btreeseq_search_method_count = sizeof(btreeseq_search_methods) / sizeof(btreeseq_search_methods[0]);
