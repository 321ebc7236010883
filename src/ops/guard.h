// The reentrancy guard: an operation that compares keys holds it, because a
// comparison can run Python code that calls the same tree. A call from that
// code, on the same thread, is refused instead of seeing half-moved nodes; a
// call from another thread (which the interpreter may switch to while Python
// code runs) waits, with the interpreter lock released, until the guard is
// free. This is the mechanism only: operations enter a tree through
// BTreeEntry (ops/entry.h), which decides how each kind of access uses it.
#pragma once
#include <Python.h>

#include "nodes/tree.h"

// Names the running thread: the address of a byte of its own storage, read
// without a call (this module is loaded with the interpreter's threads
// already running, and the initial-exec model holds one byte for it).
inline const void *btree_thread()
{
    static thread_local __attribute__((tls_model("initial-exec"))) char tag;
    return &tag;
}

// The slow path: refuses re-entry from the guard's own thread (RuntimeError),
// otherwise waits until the guard is free and, with `take`, takes it. While
// waiting, the main thread answers signals: Ctrl-C raises KeyboardInterrupt
// there. 0 or -1.
int btree_guard_wait(BTreeCore *tree, const void *me, bool take);

// Wakes one thread waiting for the guard.
void btree_guard_wake(BTreeCore *tree);

// Holds the guard for one operation; every exit path lets it go. Test it
// after construction: false means the guard was refused, with an exception.
class BTreeBusy {
public:
    // A NULL tree stands for an entry refused before the guard was looked at.
    explicit BTreeBusy(BTreeCore *tree) : tree_(tree && take(tree) ? tree : nullptr) {}
    ~BTreeBusy()
    {
        if (tree_) {
            tree_->owner = nullptr;
            if (tree_->waiters)
                btree_guard_wake(tree_);
        }
    }
    BTreeBusy(const BTreeBusy &) = delete;
    BTreeBusy &operator=(const BTreeBusy &) = delete;
    explicit operator bool() const { return tree_ != nullptr; }

private:
    static bool take(BTreeCore *tree)
    {
        const void *me = btree_thread();
        if (!tree->owner) {
            tree->owner = me;
            return true;
        }
        return btree_guard_wait(tree, me, true) == 0;
    }

    BTreeCore *tree_;
};
