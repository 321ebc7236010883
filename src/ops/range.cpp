#include "hints.h"
#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

struct LeafPos {
    BTreeNode *leaf;
    int pos;
};

// Calls `take(key)` for the keys of one leaf from `from` to `to`. Each key
// object is touched for its reference count; the objects some places ahead
// are asked for meanwhile, so that their cache misses overlap.
template <class Take>
BTREE_ALWAYS_INLINE inline int each_key(const BTreeNode *leaf, int from, int to, Take &&take)
{
    constexpr int ahead = 24;
    for (int i = from; i < to && i < from + ahead; i++)
        BTREE_PREFETCH_WRITE(leaf->keys[i]);
    for (int i = from; i < to; i++) {
        if (i + ahead < to)
            BTREE_PREFETCH_WRITE(leaf->keys[i + ahead]);
        if (take(leaf->keys[i]) < 0)
            return -1;
    }
    return 0;
}

// Calls `run(leaf, from, to)` for each run of keys from `at` along the leaf
// chain up to the upper bound (none when `probe` is NULL): a whole leaf at a
// time while its last key is inside, then a search in the leaf that ends it.
template <BTreeProbe Probe, class Run>
int range_walk(LeafPos at, Probe *probe, bool inclusive, Run &&run)
{
    for (BTreeNode *leaf = at.leaf; leaf; leaf = leaf->leaf.next, at.pos = 0) {
        // The walk usually goes on into the next leaf: its header and first
        // keys are on their way while this one is copied.
        if (BTreeNode *next = leaf->leaf.next) {
            BTREE_PREFETCH(next);
            btree_prefetch_array(next->keys);
        }
        int n = leaf->n;
        if (at.pos >= n)
            continue;
        if (!probe) {
            if (run(leaf, at.pos, n) < 0)
                return -1;
            continue;
        }
        probe->begin_node();
        int c = (*probe)(leaf, leaf->leaf.prims, n - 1);
        if (c == BTREE_CMP_ERROR)
            return -1;
        if (c < 0 || (c == 0 && inclusive)) {
            if (run(leaf, at.pos, n) < 0)
                return -1;
            continue;
        }
        int found = 0;
        int end = inclusive ? btree_bound<BTreeBound::Upper, true>(leaf, *probe, nullptr)
                            : btree_bound<BTreeBound::Lower, true>(leaf, *probe, &found);
        if (end < 0)
            return -1;
        return end > at.pos ? run(leaf, at.pos, end) : 0;
    }
    return 0;
}

// The keys from `start` up to the bound as a new list. When comparing with the
// bound runs no Python code the keys are counted first and the list is made
// at its size; otherwise it grows by appending, whole at every moment.
template <BTreeProbe Probe>
PyObject *range_list(LeafPos start, Probe *probe, bool inclusive)
{
    if constexpr (Probe::can_fail) {
        if (probe) {
            PyObject *list = PyList_New(0);
            if (list && range_walk(start, probe, inclusive, [&](const BTreeNode *leaf, int from, int to) {
                    return each_key(leaf, from, to, [&](PyObject *key) { return PyList_Append(list, key); });
                }) < 0)
                Py_CLEAR(list);
            return list;
        }
    }
    Py_ssize_t count = 0;
    range_walk(start, probe, inclusive, [&](const BTreeNode *, int from, int to) {
        count += to - from;
        return 0;
    });
    // A collection run by this allocation cannot change the tree: it is in
    // use, so reachable, and guarded against every call.
    PyObject *list = PyList_New(count);
    if (!list)
        return nullptr;
    Py_ssize_t filled = 0;
    range_walk(start, probe, inclusive, [&](const BTreeNode *leaf, int from, int to) {
        return each_key(leaf, from, to, [&](PyObject *key) {
            PyList_SET_ITEM(list, filled++, Py_NewRef(key));
            return 0;
        });
    });
    return list;
}

// The keys within the bounds (None: unbounded) as a new list; the guard is held.
PyObject *collect_range(BTreeEntry &entry, BTreeCore *tree, PyObject *min, PyObject *max, bool inclusive_min,
                        bool inclusive_max)
{
    if (!tree->root)
        return PyList_New(0);
    LeafPos start = {btree_leftmost_leaf(tree->root), 0};
    if (min != Py_None) {
        // The first key inside the lower bound; the place may be the leaf's
        // end, and the walk then goes on in the next leaf.
        BTreeLocalPath path;
        int found = 0;
        int slot = btree_descend_to(entry, tree, min, !inclusive_min, path, &found);
        if (slot < 0)
            return nullptr;
        start = {path.leaf(), slot};
    }
    // No upper bound: no comparison at all, as with any probe that cannot fail.
    if (max == Py_None)
        return range_list<BTreeI64Probe>(start, nullptr, false);
    return entry.with_key<BTreeAccess::Read>(max,
                                             [&](auto &probe) { return range_list(start, &probe, inclusive_max); });
}

}  // namespace

PyObject *btree_irange(BTreeCore *tree, PyObject *min, PyObject *max, PyObject *inclusive)
{
    // A missing bound is no bound.
    min = min ? min : Py_None;
    max = max ? max : Py_None;
    BTreeEntry entry(BTreeAccess::Read, tree, min, max);
    if (!entry)
        return nullptr;
    bool inclusive_min, inclusive_max;
    if (btree_parse_inclusive(inclusive, &inclusive_min, &inclusive_max) < 0)
        return nullptr;
    return collect_range(entry, tree, min, max, inclusive_min, inclusive_max);
}

int btree_parse_inclusive(PyObject *inclusive, bool *inclusive_min, bool *inclusive_max)
{
    *inclusive_min = true;
    *inclusive_max = true;
    if (!inclusive || inclusive == Py_None)
        return 0;
    PyObject *seq = PySequence_Fast(inclusive, "inclusive must be a 2-item sequence");
    if (!seq)
        return -1;
    if (PySequence_Fast_GET_SIZE(seq) != 2) {
        Py_DECREF(seq);
        PyErr_SetString(PyExc_ValueError, "inclusive must be length 2");
        return -1;
    }
    int lo = PyObject_IsTrue(PySequence_Fast_GET_ITEM(seq, 0));
    PyObject *first_error = lo < 0 ? PyErr_GetRaisedException() : nullptr;
    int hi = PyObject_IsTrue(PySequence_Fast_GET_ITEM(seq, 1));
    Py_DECREF(seq);
    if (first_error) {
        PyErr_Clear();
        PyErr_SetRaisedException(first_error);
        return -1;
    }
    if (hi < 0)
        return -1;
    *inclusive_min = lo;
    *inclusive_max = hi;
    return 0;
}
