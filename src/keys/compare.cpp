#include "keys/compare.h"

namespace {

// Keeps an exception that was pending before a comparison and puts it back
// after a successful one; a failed comparison's own exception wins.
class PendingError {
public:
    PendingError() : saved_(PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr) {}
    ~PendingError()
    {
        if (saved_)
            PyErr_SetRaisedException(saved_);
    }
    int fail()
    {
        Py_CLEAR(saved_);
        return BTREE_CMP_ERROR;
    }

private:
    PyObject *saved_;
};

// -1/0/1 for a boolean answer, BTREE_CMP_UNDECIDED for any other object,
// BTREE_CMP_ERROR for NULL; `if_true` is the result a True answer means.
int slot_answer(PyObject *answer, int if_true, int if_false)
{
    if (!answer)
        return BTREE_CMP_ERROR;
    int r = answer == Py_True ? if_true : answer == Py_False ? if_false : BTREE_CMP_UNDECIDED;
    Py_DECREF(answer);
    return r;
}

}  // namespace

int btree_key_cmp_slot(PyObject *left, PyObject *right, PyTypeObject *type)
{
    richcmpfunc cmp = type->tp_richcompare;
    int lt = slot_answer(cmp(left, right, Py_LT), -1, 1);
    if (lt != 1)
        return lt;
    return slot_answer(cmp(left, right, Py_EQ), 0, 1);
}

int btree_key_cmp(PyObject *left, PyObject *right)
{
    PendingError pending;
    if (left == right)
        return 0;
    PyTypeObject *type = Py_TYPE(left);
    if (type == Py_TYPE(right) && type->tp_richcompare) {
        int c = btree_key_cmp_slot(left, right, type);
        if (c == BTREE_CMP_ERROR)
            return pending.fail();
        if (c != BTREE_CMP_UNDECIDED)
            return c;
    }
    int lt = PyObject_RichCompareBool(left, right, Py_LT);
    if (lt < 0)
        return pending.fail();
    if (lt)
        return -1;
    int eq = PyObject_RichCompareBool(left, right, Py_EQ);
    if (eq < 0)
        return pending.fail();
    return eq ? 0 : 1;
}
