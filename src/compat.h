/* The few C API calls of Python 3.12 and later that the module uses, written
 * for Python 3.10 and 3.11 with the calls those versions have. Each shim
 * takes the name of the newer call, so code reads the same for every
 * version. And the one place that reads the interpreter's own structures
 * instead of calling it, where a call costs more than the work it does.
 * Plain C, so that C clients can include it as well. */
#ifndef BTREE_COMPAT_H
#define BTREE_COMPAT_H

#include <Python.h>
#include <stdbool.h>
#include <string.h>

#include "hints.h"

/* The interpreter's structures are read only on the versions they were read
 * and tested on (3.10 to 3.13, with or without the interpreter lock), and
 * not at all when built with BTREE_PUBLIC_API_ONLY: every other version
 * builds on the public calls, which cost more but do not guess a layout. */
#if !defined(BTREE_PUBLIC_API_ONLY) && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000
#define BTREE_READS_INTERNALS 1
#else
#define BTREE_READS_INTERNALS 0
#endif

/* Whether an exact int is held in one digit (a "compact" int: from 3.12 on
 * its tag says so; before, its size is -1, 0 or 1), so that
 * btree_long_compact_value reads it without a call. False for every int
 * where the structures are not read: the caller converts it through the C
 * API. */
BTREE_ALWAYS_INLINE static inline bool btree_long_is_compact(PyObject *key)
{
#if BTREE_READS_INTERNALS && PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Long_IsCompact((const PyLongObject *)key);
#elif BTREE_READS_INTERNALS
    Py_ssize_t size = Py_SIZE(key);
    return -1 <= size && size <= 1;
#else
    (void)key;
    return false;
#endif
}

/* The value of an int btree_long_is_compact accepted. */
BTREE_ALWAYS_INLINE static inline int64_t btree_long_compact_value(PyObject *key)
{
#if BTREE_READS_INTERNALS && PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Long_CompactValue((const PyLongObject *)key);
#elif BTREE_READS_INTERNALS
    return Py_SIZE(key) * (Py_ssize_t)((const PyLongObject *)key)->ob_digit[0];
#else
    (void)key;
    return 0;
#endif
}

/* The value of an exact int of two or three 30-bit digits that fits in 64
 * bits, read from its digits without a call: true with `*value` set, or
 * false for any other int, which the caller then converts through the C
 * API. */
BTREE_ALWAYS_INLINE static inline bool btree_long_digits_value(PyObject *key, int64_t *value)
{
#if BTREE_READS_INTERNALS && PyLong_SHIFT == 30
    const PyLongObject *op = (const PyLongObject *)key;
#if PY_VERSION_HEX >= 0x030C0000
    uintptr_t tag = op->long_value.lv_tag;
    uintptr_t ndigits = tag >> _PyLong_NON_SIZE_BITS;
    bool negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit *d = op->long_value.ob_digit;
#else
    Py_ssize_t size = Py_SIZE(op);
    uintptr_t ndigits = (uintptr_t)(size < 0 ? -size : size);
    bool negative = size < 0;
    const digit *d = op->ob_digit;
#endif
    if (ndigits < 2 || ndigits > 3 || (ndigits == 3 && d[2] >= 16))
        return false;
    uint64_t magnitude = d[0] | (uint64_t)d[1] << 30;
    if (ndigits == 3)
        magnitude |= (uint64_t)d[2] << 60;
    if (magnitude > (negative ? (uint64_t)1 << 63 : (uint64_t)INT64_MAX))
        return false;
    *value = (int64_t)(negative ? 0 - magnitude : magnitude);
    return true;
#else
    (void)key;
    (void)value;
    return false;
#endif
}

/* The name of a type without its module, as its repr shows it. */
static inline const char *btree_type_name(PyTypeObject *type)
{
    const char *dot = strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

/* What `type` itself holds under `name`, looked up along its method
 * resolution order and not bound: a new reference, or NULL, with an
 * exception set only when the lookup failed. The interpreter's lookup goes
 * through its type cache; the public one reads each class's dict. */
static inline PyObject *btree_type_lookup(PyTypeObject *type, PyObject *name)
{
#if BTREE_READS_INTERNALS
    return Py_XNewRef(_PyType_Lookup(type, name));
#else
    PyObject *mro = PyObject_GetAttrString((PyObject *)type, "__mro__");
    if (!mro)
        return NULL;
    PyObject *found = NULL;
    for (Py_ssize_t i = 0; !found && i < PyTuple_GET_SIZE(mro); i++) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *dict = PyType_GetDict((PyTypeObject *)PyTuple_GET_ITEM(mro, i));
#else
        PyObject *dict = Py_XNewRef(((PyTypeObject *)PyTuple_GET_ITEM(mro, i))->tp_dict);
#endif
        if (!dict)
            continue;
#if PY_VERSION_HEX >= 0x030D0000
        int status = PyDict_GetItemRef(dict, name, &found);
#else
        found = Py_XNewRef(PyDict_GetItemWithError(dict, name));
        int status = found ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
        Py_DECREF(dict);
        if (status < 0)
            break;
    }
    Py_DECREF(mro);
    return found;
#endif
}

#if PY_VERSION_HEX < 0x030C0000

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
#if !defined(Py_GIL_DISABLED)
    return Py_REFCNT(op) == 1;
#elif BTREE_READS_INTERNALS
    return _Py_IsOwnedByCurrentThread(op) && _Py_atomic_load_uint32_relaxed(&op->ob_ref_local) == 1 &&
           _Py_atomic_load_ssize_relaxed(&op->ob_ref_shared) == 0;
#else
    /* Without the counts' fields no object is known to be unshared. */
    (void)op;
    return 0;
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
