// The writing operations on one key, shared by insertion, increment and
// setdefault: one descent to the key's place, then the caller's `Action`:
//   int found(BTreeNode *leaf, int slot)  the key is present: btree_stored when
//                                         it stored a value, btree_kept when
//                                         it changed nothing, or -1
//   PyObject *missing()                   the key is absent: its new value (new
//                                         reference) or NULL with an exception
//   PyObject *replaced                    a value the action took out, or NULL
//   depth_message                         the RecursionError suffix of a write
//                                         that runs Python code, or nullptr
#pragma once
#include <Python.h>

#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"
#include "ops/depth.h"
#include "ops/descend.h"
#include "ops/insert.h"

constexpr int btree_stored = 0;
constexpr int btree_kept = 1;
// A new item went in.
constexpr int btree_added = 2;

// Runs one writing operation on `key`: the way in and the key kind, then the
// descent. With KeepShape it splits nothing on the way, so that storing over a
// value never moves a node, and a new item splits what it must up from its
// leaf; otherwise every full node on the way is split. A failure that left no
// item returns the tree to the empty state.
template <class Action>
int btree_write(BTreeCore *tree, PyObject *key, Action &action, BTreeWrite mode)
{
    BTreeEntry entry(BTreeAccess::Write, tree, key);
    if (!entry)
        return -1;
    // An action that runs Python code counts against the recursion limit.
    BTreeDepthGuard depth;
    if constexpr (Action::depth_message != nullptr) {
        if (depth.enter(Action::depth_message) < 0)
            return -1;
    }
    BTreeChange change(tree, entry.pending);
    int result = entry.with_key<BTreeAccess::Write>(key, [&](auto &probe) {
        BTreeLocalPath path;
        int found = 0;
        // A writer's probe is a primitive one exactly when the tree keeps
        // primitives.
        constexpr bool prims = BTreePrimProbe<std::remove_reference_t<decltype(probe)>>;
        BTreePrim prim{};
        if constexpr (prims)
            prim = probe.prim();
        // The action at the key's place; a new item goes in at the path, where
        // the splitting descent has made room.
        auto act = [&]<bool Room>(int slot) {
            if (slot < 0)
                return -1;
            if (found)
                return action.found(path.leaf(), slot);
            PyObject *value = action.missing();
            if (!value)
                return -1;
            int rc = btree_insert_at<prims, Room>(tree, path, key, prim, value, change, entry.pending);
            return rc < 0 ? rc : btree_added;
        };
        if (mode == BTreeWrite::KeepShape && tree->root)
            return act.template operator()<false>(
                btree_descend<BTreeBound::Lower, BTreeDescent::Write>(tree, probe, path, &found));
        bool split = false;
        if (btree_prepare_root(tree, &split) < 0)
            return -1;
        if (split)
            change.mark();
        return act.template operator()<true>(
            btree_descend<BTreeBound::Lower, BTreeDescent::Split>(tree, probe, path, &found, &change));
    });
    // The change is marked once the write is done, as no Python code runs
    // between the store and here.
    if (result == btree_added)
        change.mark();
    else if (result == btree_stored)
        change.mark(false);
    else if (result < 0 && tree->size == 0)
        btree_reset_empty(tree);
    entry.pending.add(action.replaced);
    return result < 0 ? -1 : 0;
}
