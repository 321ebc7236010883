#include "btreemap/args.h"

namespace {

// The parameter named `name` among those that may be given by name, or -1.
Py_ssize_t parameter_named(const BTreeMapParams &params, PyObject *name)
{
    for (Py_ssize_t i = params.positional_only; i < params.count; i++)
        if (PyUnicode_CompareWithASCIIString(name, params.names[i]) == 0)
            return i;
    return -1;
}

}  // namespace

int btreemap_parse_args(const BTreeMapParams &params, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        PyObject **out)
{
    if (nargs > params.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", params.function, params.count,
                     nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < params.count; i++)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t named = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < named; k++) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = parameter_named(params, name);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", params.function, name);
            return -1;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                         params.function, params.names[i], i + 1);
            return -1;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < params.required; i++) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", params.function,
                         params.names[i], i + 1);
            return -1;
        }
    }
    return 0;
}


int btreemap_read_bounds(PyObject *start, PyObject *stop, Py_ssize_t *from, Py_ssize_t *to)
{
    // Most calls give neither: no slice is made for them.
    if ((!start || start == Py_None) && (!stop || stop == Py_None)) {
        *from = 0;
        *to = PY_SSIZE_T_MAX;
        return 0;
    }
    PyObject *slice = PySlice_New(start, stop, nullptr);
    if (!slice)
        return -1;
    Py_ssize_t step;
    int rc = PySlice_Unpack(slice, from, to, &step);
    Py_DECREF(slice);
    return rc;
}

void btreemap_clip_bounds(Py_ssize_t size, Py_ssize_t *from, Py_ssize_t *to)
{
    PySlice_AdjustIndices(size, from, to, 1);
}
