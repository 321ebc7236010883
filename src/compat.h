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

/* Critical sections exist from 3.13 on, and do something on free-threaded
 * builds only. */
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

#if PY_VERSION_HEX < 0x030E0000
/* Whether the caller holds the only reference to `op`. Where threads run at
 * once, a count of one means so only when it is the running thread's own
 * count and no other thread holds a shared one. */
static inline int PyUnstable_Object_IsUniquelyReferenced(PyObject *op)
{
#ifdef Py_GIL_DISABLED
    return _Py_IsOwnedByCurrentThread(op) && _Py_atomic_load_uint32_relaxed(&op->ob_ref_local) == 1 &&
           _Py_atomic_load_ssize_relaxed(&op->ob_ref_shared) == 0;
#else
    return Py_REFCNT(op) == 1;
#endif
}
#endif

/* Declares that a module runs without the interpreter lock on free-threaded
 * builds; nothing elsewhere. 0 or -1. */
static inline int btree_module_runs_free(PyObject *module)
{
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

#endif /* BTREE_COMPAT_H */
