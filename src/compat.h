/* The few C API calls of Python 3.12 and later that the module uses, written
 * for Python 3.10 and 3.11 with the calls those versions have. Each shim
 * takes the name of the newer call, so code reads the same for every
 * version. Plain C, so that C clients can include it as well. */
#ifndef BTREE_COMPAT_H
#define BTREE_COMPAT_H

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000

/* Before 3.12 a small int keeps its sign in ob_size and its magnitude in one
 * digit; "compact" means the same thing: a value of at most one digit. */
static inline int PyUnstable_Long_IsCompact(const PyLongObject *op)
{
    Py_ssize_t size = Py_SIZE(op);
    return -1 <= size && size <= 1;
}

static inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *op)
{
    return Py_SIZE(op) * (Py_ssize_t)op->ob_digit[0];
}

/* The pending exception as one object, traceback attached, or NULL. */
static inline PyObject *PyErr_GetRaisedException(void)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return NULL;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

/* Raises `exc` again, stealing the reference; NULL clears the error. */
static inline void PyErr_SetRaisedException(PyObject *exc)
{
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyObject *type = (PyObject *)Py_TYPE(exc);
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

#endif

#endif /* BTREE_COMPAT_H */
