// An owned reference, released when it goes out of scope: for references
// held across calls that can fail or run Python code.
#pragma once
#include <Python.h>

#include <utility>

class BTreeRef {
public:
    BTreeRef() = default;
    // Takes over `op` (a new reference, or NULL).
    explicit BTreeRef(PyObject *op) : op_(op) {}
    BTreeRef(BTreeRef &&other) noexcept : op_(other.release()) {}
    BTreeRef &operator=(BTreeRef &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    BTreeRef(const BTreeRef &) = delete;
    BTreeRef &operator=(const BTreeRef &) = delete;
    ~BTreeRef() { Py_XDECREF(op_); }

    // A new reference to `op`.
    static BTreeRef share(PyObject *op) { return BTreeRef(Py_NewRef(op)); }

    PyObject *get() const { return op_; }
    explicit operator bool() const { return op_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() { return std::exchange(op_, nullptr); }

    // Holds `op` instead; the old reference is released after the store.
    void reset(PyObject *op = nullptr)
    {
        PyObject *old = std::exchange(op_, op);
        Py_XDECREF(old);
    }

private:
    PyObject *op_ = nullptr;
};
