// The operations on runs of equal keys, of the sorted sequences and keyed
// maps: adding after a run, and finding, counting, removing or writing the
// items of a run that hold a given element. In a tree of unique keys a run
// holds one item at most.
#include "nodes/ref.h"
#include "ops/depth.h"
#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/insert.h"
#include "ops/ops.h"
#include "ops/write.h"

int btree_add(BTreeCore *tree, PyObject *key, PyObject *value)
{
    BTreeEntry entry(BTreeAccess::Write, tree, key);
    if (!entry)
        return -1;
    BTreeChange change(tree, entry.pending);
    int rc = entry.with_key<BTreeAccess::Write>(key, [&](auto &probe) {
        constexpr bool prims = BTreePrimProbe<std::remove_reference_t<decltype(probe)>>;
        BTreePrim prim{};
        if constexpr (prims)
            prim = probe.prim();
        bool split = false;
        if (btree_prepare_root(tree, &split) < 0)
            return -1;
        if (split)
            change.mark();
        BTreeLocalPath path;
        if (btree_descend<BTreeBound::Upper, BTreeDescent::Split>(tree, probe, path, nullptr, &change) < 0)
            return -1;
        if (tree->keys_only)
            return btree_insert_at<prims, true, false>(tree, path, key, prim, nullptr, change, entry.pending);
        return btree_insert_at<prims, true>(tree, path, key, prim, Py_NewRef(value), change, entry.pending);
    });
    if (rc == 0)
        change.mark();
    else if (tree->size == 0)
        btree_reset_empty(tree);
    return rc;
}

namespace {

// Whether the item at the path holds `element`: its value (its key in a tree
// without values, its pair's key in a tree of pairs) compares equal to it;
// NULL matches every item. 1, 0 or -1.
int holds(const BTreeCore *tree, const BTreePath &path, PyObject *element)
{
    if (!element)
        return 1;
    // The guard keeps the item in the tree while its comparison runs.
    BTreeNode *leaf = path.leaf();
    PyObject *item = tree->keys_only ? leaf->keys[path.slot()] : leaf->leaf.values[path.slot()];
    if (tree->pair_values)
        item = PyTuple_GET_ITEM(item, 0);
    return PyObject_RichCompareBool(item, element, Py_EQ);
}

// Walks the run of keys equal to the probe's from its start, calling
// `visit()` with the path on each item: 1 stops there, 0 goes on, -1 fails.
// Returns what stopped the walk, or 0 at the run's end with the path at the
// place after the run (an empty tree has no path).
template <class Probe, class Visit>
int walk_run(BTreeCore *tree, Probe &probe, BTreePath &path, Visit &&visit)
{
    if (!tree->root)
        return 0;
    int found = 0;
    int slot = btree_read_descent(tree, [&]<BTreeDescent D>() {
        return btree_descend<BTreeBound::Lower, D>(tree, probe, path, &found);
    });
    if (slot < 0)
        return -1;
    while (found) {
        int rc = visit();
        if (rc != 0)
            return rc;
        path.at[path.depth]++;
        if (!btree_path_settle(path))
            return 0;
        probe.begin_node();
        int c = probe(path.leaf(), path.leaf()->leaf.prims, path.slot());
        if constexpr (Probe::can_fail) {
            if (c == BTREE_CMP_ERROR)
                return -1;
        }
        found = c == 0;
    }
    return 0;
}

// Runs `body(probe, path)` once `entry` holds the tree, counted against the
// recursion limit as the element's comparisons run Python code.
template <BTreeAccess A, class Body>
int in_run(BTreeEntry &entry, PyObject *key, Body &&body)
{
    BTreeDepthGuard depth;
    if (depth.enter(" in a sorted sequence") < 0)
        return -1;
    return entry.with_key<A>(key, [&](auto &probe) {
        BTreeLocalPath path;
        return body(probe, path);
    });
}

}  // namespace

int btree_find_in_run(BTreeCore *tree, PyObject *key, PyObject *element, Py_ssize_t from, Py_ssize_t *rank,
                      PyObject **value)
{
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
    return in_run<BTreeAccess::Read>(entry, key, [&](auto &probe, BTreePath &path) {
        // Positions are counted from the run's first, whose rank is taken
        // once, when needed.
        Py_ssize_t at = -1;
        bool counted = from > 0 || rank;
        int rc = walk_run(tree, probe, path, [&] {
            if (counted) {
                at = at < 0 ? btree_path_rank(tree, path) : at + 1;
                if (at < from)
                    return 0;
            }
            return holds(tree, path, element);
        });
        if (rc > 0 && rank)
            *rank = at;
        if (rc > 0 && value)
            *value = Py_NewRef(path.leaf()->leaf.values[path.slot()]);
        return rc;
    });
}

Py_ssize_t btree_count_in_run(BTreeCore *tree, PyObject *key, PyObject *element)
{
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
    Py_ssize_t count = 0;
    int rc = in_run<BTreeAccess::Read>(entry, key, [&](auto &probe, BTreePath &path) {
        return walk_run(tree, probe, path, [&] {
            int match = holds(tree, path, element);
            count += match > 0;
            return match < 0 ? -1 : 0;
        });
    });
    return rc < 0 ? -1 : count;
}

int btree_remove_in_run(BTreeCore *tree, PyObject *key, PyObject *element, PyObject **removed)
{
    BTreeEntry entry(BTreeAccess::Write, tree, key);
    if (!entry)
        return -1;
    BTreeChange change(tree, entry.pending);
    return in_run<BTreeAccess::Read>(entry, key, [&](auto &probe, BTreePath &path) {
        int rc = walk_run(tree, probe, path, [&] { return holds(tree, path, element); });
        if (rc > 0)
            btree_remove_at(tree, path, change, entry.pending, removed);
        return rc;
    });
}

namespace {

// Runs a write on the item of the run that holds `element` with the
// `Action` of write.h (its found() sees the item, its missing() makes the
// value of a new item after the run); `key` names the run. btree_stored,
// btree_kept or btree_added, or -1.
template <class Action>
int write_in_run(BTreeCore *tree, PyObject *key, PyObject *element, Action &action)
{
    BTreeEntry entry(BTreeAccess::Write, tree, key);
    if (!entry)
        return -1;
    BTreeChange change(tree, entry.pending);
    int rc = in_run<BTreeAccess::Write>(entry, key, [&](auto &probe, BTreePath &path) {
        int present = walk_run(tree, probe, path, [&] { return holds(tree, path, element); });
        if (present != 0)
            return present < 0 ? -1 : action.found(path.leaf(), path.slot());
        constexpr bool prims = BTreePrimProbe<std::remove_reference_t<decltype(probe)>>;
        BTreePrim prim{};
        if constexpr (prims)
            prim = probe.prim();
        if (!tree->root) {
            bool split = false;
            if (btree_prepare_root(tree, &split) < 0)
                return -1;
            path.nodes[0] = tree->root;
            path.at[0] = 0;
            path.depth = 0;
            path.shape_version = tree->shape_version;
        }
        // The place after the run, moved off a leaf's start so that no
        // separator names the new item.
        btree_path_unsettle(path);
        PyObject *value = action.missing();
        if (!value && !tree->keys_only)
            return -1;
        int added = tree->keys_only
                        ? btree_insert_at<prims, false, false>(tree, path, key, prim, value, change, entry.pending)
                        : btree_insert_at<prims, false>(tree, path, key, prim, value, change, entry.pending);
        if (added < 0)
            return -1;
        return btree_added;
    });
    if (rc == btree_added)
        change.mark();
    else if (rc == btree_stored)
        change.mark(false);
    else if (rc < 0 && tree->size == 0)
        btree_reset_empty(tree);
    entry.pending.add(action.replaced);
    return rc;
}

// Adds an item unless one of the run holds the element.
struct AddAction {
    PyObject *value;
    PyObject *replaced = nullptr;

    int found(BTreeNode *, int) { return btree_kept; }
    PyObject *missing() { return Py_XNewRef(value); }
};

// The pair (first, second) as a new tuple, or NULL.
PyObject *pair_of(PyObject *first, PyObject *second)
{
    return PyTuple_Pack(2, first, second);
}

// Stores the value in the found item's pair, whose key object stays.
struct StorePairAction {
    PyObject *element;
    PyObject *value;
    PyObject *replaced = nullptr;

    int found(BTreeNode *leaf, int slot)
    {
        PyObject *pair = pair_of(PyTuple_GET_ITEM(leaf->leaf.values[slot], 0), value);
        if (!pair)
            return -1;
        replaced = leaf->leaf.values[slot];
        leaf->leaf.values[slot] = pair;
        return btree_stored;
    }

    PyObject *missing() { return pair_of(element, value); }
};

// Keeps a found item's value; a new item gets the default.
struct SetDefaultPairAction {
    PyObject *element;
    PyObject *fallback;
    BTreeRef result;
    PyObject *replaced = nullptr;

    int found(BTreeNode *leaf, int slot)
    {
        result = BTreeRef::share(PyTuple_GET_ITEM(leaf->leaf.values[slot], 1));
        return btree_kept;
    }

    PyObject *missing()
    {
        result = BTreeRef::share(fallback);
        return pair_of(element, fallback);
    }
};

// Adds delta to a found item's value; a new item gets start + delta.
struct IncrementPairAction {
    PyObject *element;
    PyObject *delta;
    PyObject *start;
    BTreeRef result;
    PyObject *replaced = nullptr;

    int found(BTreeNode *leaf, int slot)
    {
        PyObject *old = leaf->leaf.values[slot];
        BTreeRef sum(PyNumber_Add(PyTuple_GET_ITEM(old, 1), delta));
        PyObject *pair = sum ? pair_of(PyTuple_GET_ITEM(old, 0), sum.get()) : nullptr;
        if (!pair)
            return -1;
        replaced = old;
        leaf->leaf.values[slot] = pair;
        result = std::move(sum);
        return btree_stored;
    }

    PyObject *missing()
    {
        BTreeRef sum(PyNumber_Add(start, delta));
        PyObject *pair = sum ? pair_of(element, sum.get()) : nullptr;
        if (pair)
            result = std::move(sum);
        return pair;
    }
};

}  // namespace

int btree_add_unique(BTreeCore *tree, PyObject *key, PyObject *value, PyObject *element)
{
    AddAction action{value};
    int rc = write_in_run(tree, key, element, action);
    return rc < 0 ? -1 : rc == btree_added;
}

int btree_store_pair(BTreeCore *tree, PyObject *key, PyObject *element, PyObject *value)
{
    StorePairAction action{element, value};
    return write_in_run(tree, key, element, action) < 0 ? -1 : 0;
}

PyObject *btree_setdefault_pair(BTreeCore *tree, PyObject *key, PyObject *element, PyObject *fallback)
{
    SetDefaultPairAction action{element, fallback};
    return write_in_run(tree, key, element, action) < 0 ? nullptr : action.result.release();
}

PyObject *btree_increment_pair(BTreeCore *tree, PyObject *key, PyObject *element, PyObject *delta, PyObject *start)
{
    IncrementPairAction action{element, delta, start};
    return write_in_run(tree, key, element, action) < 0 ? nullptr : action.result.release();
}
