// The reentrancy guard: an operation that compares keys holds it, because a
// comparison can run Python code that calls the same tree; such a call is
// refused instead of seeing half-moved nodes.
#pragma once
#include <Python.h>

#include "nodes/tree.h"

// Refuses the entry while the guard is held (RuntimeError); for operations
// that read the structure without comparing keys. 0 or -1.
inline int btree_guard_test(const BTreeCore *tree)
{
    if (tree->busy) {
        PyErr_SetString(PyExc_RuntimeError, "BTree reentrant access during comparison");
        return -1;
    }
    return 0;
}

// Holds the guard for one operation; every exit path lets it go. Test it
// after construction: false means the guard was refused, with an exception.
class BTreeBusy {
public:
    // A NULL tree stands for an entry refused before the guard was looked at.
    explicit BTreeBusy(BTreeCore *tree) : tree_(tree && btree_guard_test(tree) == 0 ? tree : nullptr)
    {
        if (tree_)
            tree_->busy = true;
    }
    ~BTreeBusy()
    {
        if (tree_)
            tree_->busy = false;
    }
    BTreeBusy(const BTreeBusy &) = delete;
    BTreeBusy &operator=(const BTreeBusy &) = delete;
    explicit operator bool() const { return tree_ != nullptr; }

private:
    BTreeCore *tree_;
};
