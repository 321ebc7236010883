// The interpreter's recursion limit, applied to walks that may go deep or run
// Python code on the way: a walk counts as the one C frame it runs in.
#pragma once
#include <Python.h>

class BTreeDepthGuard {
public:
    BTreeDepthGuard() = default;
    ~BTreeDepthGuard()
    {
        if (entered_)
            Py_LeaveRecursiveCall();
    }
    BTreeDepthGuard(const BTreeDepthGuard &) = delete;
    BTreeDepthGuard &operator=(const BTreeDepthGuard &) = delete;

    // Counts the walk once, `where` being the message suffix of the
    // RecursionError: 0, or -1 with RecursionError.
    int enter(const char *where)
    {
        if (Py_EnterRecursiveCall(where))
            return -1;
        entered_ = true;
        return 0;
    }

private:
    bool entered_ = false;
};
