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
    // A held entry: NaN check of each key given (NULL: none), then the
    // guard. Test the entry afterwards: false means refused, with an
    // exception set.
    BTreeEntry(BTreeCore *tree, PyObject *key, PyObject *key2 = nullptr)
        : tree_(tree), busy_(nan_checked(key) && nan_checked(key2) ? tree : nullptr)
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
    BTreeCore *tree_;
    BTreeBusy busy_;
};

// The entry of an operation that compares no keys and changes nothing: a
// copy, a walk's step, a read by position, a merge that checks the trees'
// versions after any Python code it runs. It holds nothing, runs no Python
// code before it is done, and enters once no operation of another thread
// runs on the tree (waiting for it); false, with RuntimeError, when one of
// this thread's runs.
[[gnu::always_inline]] inline bool btree_look(BTreeCore *tree)
{
    return !tree->owner || btree_guard_wait(tree, btree_thread(), false) == 0;
}

// Enters two trees to look at them together: waiting for one lets other
// threads into the other, which is then looked at again. False when refused.
inline bool btree_look_at_both(BTreeCore *a, BTreeCore *b)
{
    do {
        if (!btree_look(a) || !btree_look(b))
            return false;
    } while (a->owner);
    return true;
}
