// The way into every keyed operation: the NaN check of its keys and the
// guard, then for each key its class against the tree's kind, the fast flag
// and the probe that the operation's one algorithm runs with.
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
    // NaN check of each key given (NULL: none), then the guard. Test the
    // entry afterwards: false means refused, with an exception set.
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
