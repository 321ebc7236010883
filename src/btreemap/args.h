// The arguments of methods: their place in a method table, those that may
// come by name as well as by position (METH_FASTCALL | METH_KEYWORDS), read
// without making a tuple or a dict, and positions and their bounds.
#pragma once
#include <Python.h>

#include "compat.h"

// A method of any calling convention as the PyCFunction of a method table.
template <auto F>
PyCFunction as_cfunction()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// What a method takes: its name for messages, the names of its parameters,
// how many there are, how many of the first must be given and how many of
// the first are positional only.
struct BTreeMapParams {
    const char *function;
    const char *const *names;
    Py_ssize_t count;
    Py_ssize_t required;
    Py_ssize_t positional_only;
};

// Fills `out[i]` with the argument of parameter i (borrowed), NULL where it
// was not given. 0, or -1 with TypeError worded as the interpreter's.
int btreemap_parse_args(const BTreeMapParams &params, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        PyObject **out);

// A position argument as a Py_ssize_t, an int too large for one clamped, so
// that it falls out of range as any other. 0 or -1.
inline int btreemap_position(PyObject *arg, Py_ssize_t *index)
{
    // The usual position, a small int, is read without a call.
    if (PyLong_CheckExact(arg) && btree_long_is_compact(arg)) {
        *index = static_cast<Py_ssize_t>(btree_long_compact_value(arg));
        return 0;
    }
    *index = PyNumber_AsSsize_t(arg, nullptr);
    return *index == -1 && PyErr_Occurred() ? -1 : 0;
}

// The bounds `start` and `stop` of a search by position (None or NULL: the
// ends), read as a slice reads them; btreemap_clip_bounds then fits them to
// a size as list.index does. Reading them may run Python code (__index__),
// fitting them runs none. 0 or -1.
int btreemap_read_bounds(PyObject *start, PyObject *stop, Py_ssize_t *from, Py_ssize_t *to);
void btreemap_clip_bounds(Py_ssize_t size, Py_ssize_t *from, Py_ssize_t *to);
