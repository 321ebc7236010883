// References that a mutation takes out of a tree are released only once the
// tree is consistent again, because a finaliser may run any Python code,
// including a garbage collection that walks this tree or an iterator's step.
#pragma once
#include <Python.h>

class BTreeReleaseList {
public:
    BTreeReleaseList() = default;
    BTreeReleaseList(const BTreeReleaseList &) = delete;
    BTreeReleaseList &operator=(const BTreeReleaseList &) = delete;
    ~BTreeReleaseList() { flush(); }

    // Takes over one reference; NULL is ignored.
    void add(PyObject *op)
    {
        if (!op)
            return;
        if (count_ == capacity) {
            // A descent touches a bounded number of separators per level, so
            // this never happens in a tree of any reachable height.
            flush();
        }
        items_[count_++] = op;
    }

    void flush()
    {
        // Objects are released in the order they were taken out.
        int count = count_;
        count_ = 0;
        for (int i = 0; i < count; i++)
            Py_DECREF(items_[i]);
    }

private:
    static constexpr int capacity = 128;
    PyObject *items_[capacity];
    int count_ = 0;
};
