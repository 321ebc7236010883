#include "ops/guard.h"

// The free-threaded lock is in lock.cpp.
#ifndef Py_GIL_DISABLED

namespace {

// How long a waiter sleeps before it looks at the guard again, whether or
// not it was woken: a bound on the wait for a wake-up that went to another
// waiter, and on the delay of a signal to the main thread.
constexpr PY_TIMEOUT_T recheck_us = 20000;

}  // namespace

int btree_guard_wait(BTreeCore *tree, const void *me, bool take)
{
    if (tree->owner == me) {
        PyErr_SetString(PyExc_RuntimeError, tree->texts->reentrant);
        return -1;
    }
    if (!tree->wake) {
        // The lock is held while no wake-up is pending.
        PyThread_type_lock wake = PyThread_allocate_lock();
        if (!wake) {
            PyErr_NoMemory();
            return -1;
        }
        PyThread_acquire_lock(wake, WAIT_LOCK);
        tree->wake = wake;
    }
    tree->waiters++;
    int rc = 0;
    while (tree->owner) {
        PyThread_type_lock wake = tree->wake;
        PyLockStatus status;
        Py_BEGIN_ALLOW_THREADS
        status = PyThread_acquire_lock_timed(wake, recheck_us, 1);
        Py_END_ALLOW_THREADS
        if (status == PY_LOCK_ACQUIRED)
            tree->signalled = false;
        if (PyErr_CheckSignals() < 0) {
            rc = -1;
            break;
        }
    }
    tree->waiters--;
    if (rc == 0 && take)
        tree->owner = me;
    return rc;
}

void btree_guard_wake(BTreeCore *tree)
{
    if (!tree->signalled) {
        tree->signalled = true;
        PyThread_release_lock(tree->wake);
    }
}
#endif
