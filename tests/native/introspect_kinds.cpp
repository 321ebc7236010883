// kind_order(left, right): the pieces of the kind record of two keys of one
// kind, so that tests can hold every record to Python's order.
#include "introspect.h"
#include "keys/kind.h"

PyObject *introspect_kind_order(PyObject *, PyObject *args)
{
    PyObject *left, *right;
    if (!PyArg_ParseTuple(args, "OO:kind_order", &left, &right))
        return nullptr;
    BTreePrim a, b;
    std::optional<BTreeKeyKind> left_kind = btree_key_class(left, &a);
    if (!left_kind)
        return nullptr;
    std::optional<BTreeKeyKind> right_kind = btree_key_class(right, &b);
    if (!right_kind)
        return nullptr;
    BTreeKeyKind kind = *left_kind == *right_kind ? *left_kind : BTreeKeyKind::Object;
    return btree_with_kind_record(
        kind,
        [&]<class R>(R) {
            uint64_t x = R::order(a), y = R::order(b);
            PyObject *tie = R::whole ? Py_NewRef(Py_None) : PyLong_FromLong(btree_kind_tie<R>(left, right));
            return Py_BuildValue("(iOOiN)", R::compare(a, b), R::less(a, b) ? Py_True : Py_False,
                                 R::not_greater(a, b) ? Py_True : Py_False, (x > y) - (x < y), tie);
        },
        [] { return Py_NewRef(Py_None); });
}
