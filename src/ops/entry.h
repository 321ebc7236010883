// The one way into a tree: every operation that reads or changes one, from
// either surface or the capsule, enters here (len() alone reads its one word
// freely; the collector's traversal and clear never wait). The policy is the
// same for every access: an operation of another thread is waited for, so
// that no caller ever sees a tree in mid-operation, and a call from Python
// code that this thread's own operation runs is refused with the tree's
// `reentrant` text. For keyed operations the entry then gives, for each key,
// its class against the tree's kind, the fast flag and the probe that the
// operation's one algorithm runs with.
#pragma once
#include <Python.h>

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "keys/kind.h"
#include "keys/search.h"
#include "nodes/release.h"
#include "ops/guard.h"

// Whether the operation may set or demote the tree's key kind.
enum class BTreeAccess { Read, Write };

// The failure result of an operation that returns R: NULL or -1.
template <class R>
constexpr R btree_failure()
{
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return R(-1);
}

class BTreeEntry {
public:
    // A held entry for `access`: NaN check of each key given (NULL: none),
    // then the guard, which readers share on free-threaded builds. Test the
    // entry afterwards: false means refused, with an exception set.
    BTreeEntry(BTreeAccess access, BTreeCore *tree, PyObject *key = nullptr, PyObject *key2 = nullptr)
        : tree_(tree), busy_(nan_checked(key) && nan_checked(key2) ? tree : nullptr, access)
    {
    }
    BTreeEntry(const BTreeEntry &) = delete;
    BTreeEntry &operator=(const BTreeEntry &) = delete;

    explicit operator bool() const { return static_cast<bool>(busy_); }

    // `body(probe)` with the probe for `key`, or the failure result when the
    // key cannot be classified.
    template <BTreeAccess A, class Body>
    auto with_key(PyObject *key, Body &&body)
    {
        using Result = decltype(body(std::declval<BTreeObjectProbe &>()));
        BTreePrim prim{};
        bool use_fast = false;
        std::optional<BTreeKeyKind> mode;
        if constexpr (A == BTreeAccess::Write)
            mode = btree_writer_kind(tree_, key, &prim, &use_fast);
        else
            mode = btree_reader_kind(tree_, key, &prim, &use_fast);
        if (!mode)
            return btree_failure<Result>();
        return btree_with_probe(*mode, prim, key, use_fast, std::forward<Body>(body));
    }

private:
    static bool nan_checked(PyObject *key) { return !key || btree_nan_check(key) == 0; }

public:
    // References the operation takes out of the tree. Declared before the
    // guard, so released after it: the tree is consistent and free by then,
    // and a finaliser may use it like any other code.
    BTreeReleaseList pending;

private:
#ifdef Py_GIL_DISABLED
    struct Held : BTreeHold {
        Held(BTreeCore *tree, BTreeAccess access) : BTreeHold(tree, access == BTreeAccess::Write) {}
    };
#else
    // Under the interpreter lock a read holds the guard too: its comparisons
    // may run Python code, and another thread with it.
    struct Held : BTreeBusy {
        Held(BTreeCore *tree, BTreeAccess) : BTreeBusy(tree) {}
    };
#endif
    BTreeCore *tree_;
    Held busy_;
};

// The entry of an operation that compares no keys and changes nothing (a
// copy, a walk's step, a read by position) is a BTreeLook (ops/guard.h):
// it runs no Python code before it is done, and enters once no operation of
// another thread changes the tree.

// The tree's size once no operation of another thread changes it, or -1
// when the look is refused; with `shape_version`, the tree's shape version
// then, which positions read from that size are valid for.
inline Py_ssize_t btree_looked_size(BTreeCore *tree, uint64_t *shape_version = nullptr)
{
    BTreeLook look(tree);
    if (!look)
        return -1;
    if (shape_version)
        *shape_version = tree->shape_version;
    return btree_size(tree);
}

// Holds two trees with `Hold`, the one at the lower address first, so that
// two threads holding the same two trees in either order wait for each
// other without deadlock. Test it after construction: false means refused,
// with an exception set.
template <class Hold>
class BTreeOrderedPair {
public:
    BTreeOrderedPair(BTreeCore *a, BTreeCore *b)
        : first_(lower(a, b)), second_(first_ && a != b ? (lower(a, b) == a ? b : a) : nullptr), both_(a == b || second_)
    {
    }
    BTreeOrderedPair(const BTreeOrderedPair &) = delete;
    BTreeOrderedPair &operator=(const BTreeOrderedPair &) = delete;
    explicit operator bool() const { return first_ && both_; }

private:
    static BTreeCore *lower(BTreeCore *a, BTreeCore *b) { return std::less<BTreeCore *>()(a, b) ? a : b; }

    Hold first_, second_;
    bool both_;
};

// Looks at two trees together: waiting for one lets other threads into the
// other, which is then looked at again. On free-threaded builds both are held
// for the look, the lower address first, so that two threads looking at the
// same two trees in either order wait for each other without deadlock. Test
// it after construction: false means refused, with an exception set.
#ifdef Py_GIL_DISABLED
using BTreeLookBoth = BTreeOrderedPair<BTreeLook>;
#else
class BTreeLookBoth {
public:
    BTreeLookBoth(BTreeCore *a, BTreeCore *b)
    {
        do {
            BTreeLook first(a), second(b);
            if (!first || !second)
                return;
        } while (a->owner);
        open_ = true;
    }
    BTreeLookBoth(const BTreeLookBoth &) = delete;
    BTreeLookBoth &operator=(const BTreeLookBoth &) = delete;
    explicit operator bool() const { return open_; }

private:
    bool open_ = false;
};
#endif

// Holds two trees for an operation whose comparisons may run Python code:
// another thread's call on either waits until it is over, and a call from
// its comparisons is refused as a re-entry. Where threads run at once the
// look already holds both.
#ifdef Py_GIL_DISABLED
using BTreeHoldBoth = BTreeLookBoth;
#else
using BTreeHoldBoth = BTreeOrderedPair<BTreeBusy>;
#endif
