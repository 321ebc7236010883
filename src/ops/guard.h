// The reentrancy guard: an operation that compares keys holds it, because a
// comparison can run Python code that calls the same tree. A call from that
// code, on the same thread, is refused instead of seeing half-moved nodes; a
// call from another thread (which the interpreter may switch to while Python
// code runs) waits, with the interpreter lock released, until the guard is
// free. On free-threaded builds the guard is the tree's lock (ops/lock.h),
// which looks take as well. This is the mechanism only: operations enter a
// tree through BTreeEntry (ops/entry.h), which decides how each kind of
// access uses it.
#pragma once
#include <Python.h>

#include "hints.h"
#include "nodes/tree.h"

#ifdef Py_GIL_DISABLED
#include "ops/lock.h"

// Holds the tree alone for one operation.
class BTreeBusy : public BTreeHold {
public:
    explicit BTreeBusy(BTreeCore *tree) : BTreeHold(tree, true) {}
};

// Holds the tree, beside other readers, for one look.
class BTreeLook : public BTreeHold {
public:
    explicit BTreeLook(BTreeCore *tree) : BTreeHold(tree, false) {}
};

inline void btree_guard_reset(BTreeCore *tree) { tree->lock = 0; }

// Whether an operation or a look holds the tree.
inline bool btree_guard_busy(BTreeCore *tree)
{
    return (btree_lock_state(tree).load() & BTREE_LOCK_WRITER) || !btree_no_readers(tree);
}
#else

// Names the running thread: the address of a byte of its own storage, read
// without a call (this module is loaded with the interpreter's threads
// already running, and the initial-exec model holds one byte for it).
inline const void *btree_thread()
{
    static thread_local BTREE_TLS_INITIAL_EXEC char tag;
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

// A look under the interpreter lock holds nothing: it runs no Python code
// before it is done, so no other thread runs meanwhile. It enters once no
// operation of another thread runs on the tree (waiting for it), and is false,
// with RuntimeError, when one of this thread's runs.
class BTreeLook {
public:
    explicit BTreeLook(BTreeCore *tree) : open_(!tree->owner || btree_guard_wait(tree, btree_thread(), false) == 0) {}
    BTreeLook(const BTreeLook &) = delete;
    BTreeLook &operator=(const BTreeLook &) = delete;
    explicit operator bool() const { return open_; }

private:
    bool open_;
};

inline void btree_guard_reset(BTreeCore *tree) { tree->owner = nullptr; }

// Whether an operation holds the guard.
inline bool btree_guard_busy(BTreeCore *tree) { return tree->owner != nullptr; }
#endif

// The entry of one step of a walk (an iterator's next item). Under the
// interpreter lock a step needs none: every change moves the tree's versions
// before any Python code can run, so a step reads the tree unchanged or
// refuses. Threads running at once need the look.
#ifdef Py_GIL_DISABLED
using BTreeStep = BTreeLook;
#else
class BTreeStep {
public:
    explicit BTreeStep(BTreeCore *) {}
    explicit operator bool() const { return true; }
};
#endif
