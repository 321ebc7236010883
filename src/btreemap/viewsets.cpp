// The key and item views as sets: &, |, - and ^ with any iterable on either
// side, isdisjoint(), and the comparisons with sets and set-like views, with
// dict's semantics. A result is the keys view of a new map whose keys are the
// elements (the pairs, as tuples, for item views): ordered, a set and a
// sequence. Two views of maps merge in one linear walk of the core.
#include "btreemap/fill.h"
#include "btreemap/methods.h"
#include "btreemap/object.h"
#include "btreemap/view.h"
#include "bulk/merge.h"
#include "nodes/ref.h"
#include "ops/ops.h"

namespace {

bool is_set_view(PyObject *op)
{
    return Py_IS_TYPE(op, &BTreeMapKeysType) || Py_IS_TYPE(op, &BTreeMapItemsType);
}

BTreeCore *core_of(PyObject *view)
{
    return btreemap_core(btreemap_view_map(view));
}

BTreeElements elements_of(PyObject *view)
{
    return Py_IS_TYPE(view, &BTreeMapItemsType) ? BTreeElements::Pairs : BTreeElements::Keys;
}

// A new map whose keys are the merged elements of the two trees.
PyObject *merged_map(BTreeCore *left, BTreeElements left_as, BTreeCore *right, BTreeElements right_as,
                     BTreeSetOp op)
{
    BTreeRef map(btreemap_alloc(&BTreeMapType));
    if (!map || btree_set_merge_elements(btreemap_core(map.get()), left, left_as, right, right_as, op) < 0)
        return nullptr;
    return map.release();
}

PyObject *merged_view(BTreeCore *left, BTreeElements left_as, BTreeCore *right, BTreeElements right_as,
                      BTreeSetOp op)
{
    BTreeRef map(merged_map(left, left_as, right, right_as, op));
    return map ? btreemap_view_new(map.get(), &BTreeMapKeysType) : nullptr;
}

// Hands each element of `iterable` to `seen` with whether it is in `view`
// (1 or 0); `seen` returns 0 to go on, 1 to stop there or -1 on error.
// Elements that are not keys of the view's kind make the lookup fail, as
// `in` does. 1 when `seen` stopped the walk, 0 at the end of the iterable,
// -1 on error.
template <class Seen>
int each_in(PyObject *view, PyObject *iterable, Seen &&seen)
{
    BTreeRef it(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    while (BTreeRef element{PyIter_Next(it.get())}) {
        int present = btreemap_view_contains(view, element.get());
        if (present >= 0)
            present = seen(element.get(), present);
        if (present != 0)
            return present;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The elements of `iterable` that are in `view`, found by lookups, as a new
// map: the keys, or for an item view the pairs as its items. The others are
// appended to the list `rest` when there is one.
PyObject *found_in(PyObject *view, PyObject *iterable, PyObject *rest = nullptr)
{
    BTreeRef map(btreemap_alloc(&BTreeMapType));
    if (!map)
        return nullptr;
    bool pairs = elements_of(view) == BTreeElements::Pairs;
    int rc = each_in(view, iterable, [&](PyObject *element, int present) {
        if (!present)
            return rest ? PyList_Append(rest, element) : 0;
        // An element of an item view is a pair.
        PyObject *key = pairs ? PyTuple_GET_ITEM(element, 0) : element;
        PyObject *value = pairs ? PyTuple_GET_ITEM(element, 1) : Py_None;
        return btree_insert_item(btreemap_core(map.get()), key, value);
    });
    return rc < 0 ? nullptr : map.release();
}

// Every distinct element of `iterable`, as the keys of a new map.
PyObject *all_of(PyObject *iterable)
{
    PyObject *args[] = {iterable};
    return BTreeMap_fromkeys(reinterpret_cast<PyObject *>(&BTreeMapType), args, 1);
}

// The elements of `other` not in the item view `view`, and those of the view
// not in `other` unless only the former are asked for: looked up in the view
// first, so that the other's elements are ordered among themselves only when
// the result keeps them (pairs of one key whose values have no order then
// fail only where the result would hold both).
PyObject *apart_from_items(PyObject *view, PyObject *other, BTreeSetOp op)
{
    BTreeRef rest(PyList_New(0));
    BTreeRef found(rest ? found_in(view, other, rest.get()) : nullptr);
    BTreeRef theirs(found ? all_of(rest.get()) : nullptr);
    if (!theirs)
        return nullptr;
    if (op == BTreeSetOp::Difference)
        return btreemap_view_new(theirs.get(), &BTreeMapKeysType);
    BTreeRef own(merged_map(core_of(view), BTreeElements::Pairs, btreemap_core(found.get()), BTreeElements::Pairs,
                            BTreeSetOp::Difference));
    return own ? merged_view(btreemap_core(theirs.get()), BTreeElements::Keys, btreemap_core(own.get()),
                             BTreeElements::Keys, BTreeSetOp::Union)
               : nullptr;
}

// A view of a keyed map takes part as the keys view of a plain map of its
// elements, which the merges can walk: a new reference to either.
PyObject *plain_view(PyObject *op)
{
    if (!is_set_view(op) || !btreemap_keyed(btreemap_view_map(op)))
        return Py_NewRef(op);
    BTreeRef all(all_of(op));
    return all ? btreemap_view_new(all.get(), &BTreeMapKeysType) : nullptr;
}

PyObject *set_op_plain(PyObject *left, PyObject *right, BTreeSetOp op);

PyObject *set_op(PyObject *left, PyObject *right, BTreeSetOp op)
{
    BTreeRef plain_left(plain_view(left));
    BTreeRef plain_right(plain_left ? plain_view(right) : nullptr);
    return plain_right ? set_op_plain(plain_left.get(), plain_right.get(), op) : nullptr;
}

PyObject *set_op_plain(PyObject *left, PyObject *right, BTreeSetOp op)
{
    // Of a key and an item view, the item view looks the other's elements
    // up: it compares a pair's value with == only.
    bool view_left = is_set_view(left) && (!is_set_view(right) || elements_of(left) == BTreeElements::Pairs);
    PyObject *view = view_left ? left : right;
    PyObject *other = view_left ? right : left;
    BTreeElements as = elements_of(view);
    if (Py_IS_TYPE(other, Py_TYPE(view)))
        return merged_view(core_of(left), as, core_of(right), as, op);
    // What the view keeps of the other operand is what it holds: lookups
    // suffice, and the other's elements need no order among themselves.
    if (op == BTreeSetOp::Intersection || (op == BTreeSetOp::Difference && view_left)) {
        BTreeRef found(found_in(view, other));
        return found ? merged_view(core_of(view), as, btreemap_core(found.get()), as, op) : nullptr;
    }
    if (as == BTreeElements::Pairs && op != BTreeSetOp::Union)
        return apart_from_items(view, other, op);
    BTreeRef all(all_of(other));
    if (!all)
        return nullptr;
    BTreeCore *theirs = btreemap_core(all.get());
    return view_left ? merged_view(core_of(view), as, theirs, BTreeElements::Keys, op)
                     : merged_view(theirs, BTreeElements::Keys, core_of(view), as, op);
}

// One number slot per operation.
template <BTreeSetOp Op>
PyObject *View_set_op(PyObject *left, PyObject *right)
{
    return set_op(left, right, Op);
}

// Whether `other` takes part in comparisons: a set, a set view of a map, or
// a collections.abc.Set (dict's views among them). 1, 0 or -1.
int is_set_like(PyObject *other)
{
    if (PyAnySet_Check(other) || is_set_view(other))
        return 1;
    PyObject *abc = btreemap_abc("Set");
    int r = abc ? PyObject_IsInstance(other, abc) : -1;
    Py_XDECREF(abc);
    return r;
}

Py_ssize_t size_of_result(PyObject *result)
{
    Py_ssize_t size = result ? btree_size(core_of(result)) : -1;
    Py_XDECREF(result);
    return size;
}

// Whether every element of `a` is in `b`: a difference when both are views
// (which a key view of pairs may take with an item view), else a membership
// test of `b` per element of `a`. 1, 0 or -1.
int contained(PyObject *a, PyObject *b)
{
    if (is_set_view(a) && is_set_view(b)) {
        Py_ssize_t left_over = size_of_result(set_op(a, b, BTreeSetOp::Difference));
        return left_over < 0 ? -1 : left_over == 0;
    }
    BTreeRef it(PyObject_GetIter(a));
    if (!it)
        return -1;
    int inside = 1;
    while (inside == 1) {
        BTreeRef element(PyIter_Next(it.get()));
        if (!element)
            break;
        inside = PySequence_Contains(b, element.get());
    }
    return PyErr_Occurred() ? -1 : inside;
}

}  // namespace

PyNumberMethods btreemap_set_view_number = {
    .nb_subtract = View_set_op<BTreeSetOp::Difference>,
    .nb_and = View_set_op<BTreeSetOp::Intersection>,
    .nb_xor = View_set_op<BTreeSetOp::SymmetricDifference>,
    .nb_or = View_set_op<BTreeSetOp::Union>,
};

PyObject *btreemap_set_view_richcompare(PyObject *self, PyObject *other, int op)
{
    int set_like = is_set_like(other);
    if (set_like <= 0)
        return set_like < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    Py_ssize_t mine = btree_size(core_of(self));
    Py_ssize_t theirs = PyObject_Size(other);
    if (theirs < 0)
        return nullptr;
    bool sizes_allow;
    switch (op) {
    case Py_EQ:
    case Py_NE:
        sizes_allow = mine == theirs;
        break;
    case Py_LT:
        sizes_allow = mine < theirs;
        break;
    case Py_LE:
        sizes_allow = mine <= theirs;
        break;
    case Py_GT:
        sizes_allow = mine > theirs;
        break;
    default:
        sizes_allow = mine >= theirs;
        break;
    }
    int holds = 0;
    if (sizes_allow)
        holds = op == Py_GT || op == Py_GE ? contained(other, self) : contained(self, other);
    if (holds < 0)
        return nullptr;
    return PyBool_FromLong(op == Py_NE ? !holds : holds);
}

PyObject *btreemap_set_view_isdisjoint(PyObject *self, PyObject *other)
{
    if (is_set_view(other)) {
        Py_ssize_t common = size_of_result(set_op(self, other, BTreeSetOp::Intersection));
        return common < 0 ? nullptr : PyBool_FromLong(common == 0);
    }
    // The first element found settles it: the rest of the iterable, which
    // may be endless, is left unread.
    int found = each_in(self, other, [](PyObject *, int present) { return present; });
    return found < 0 ? nullptr : PyBool_FromLong(!found);
}
