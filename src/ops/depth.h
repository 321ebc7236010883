// The interpreter's recursion limit, applied to walks that may go deep or run
// Python code on the way: each level entered counts as a recursive call would.
#pragma once
#include <Python.h>

class BTreeDepthGuard {
public:
    // `where` is the message suffix of the RecursionError; NULL counts nothing.
    explicit BTreeDepthGuard(const char *where) : where_(where) {}
    ~BTreeDepthGuard()
    {
        while (entered_-- > 0)
            Py_LeaveRecursiveCall();
    }
    BTreeDepthGuard(const BTreeDepthGuard &) = delete;
    BTreeDepthGuard &operator=(const BTreeDepthGuard &) = delete;

    // One level more: 0, or -1 with RecursionError.
    int enter()
    {
        if (!where_)
            return 0;
        if (Py_EnterRecursiveCall(where_))
            return -1;
        entered_++;
        return 0;
    }

private:
    const char *where_;
    int entered_ = 0;
};
