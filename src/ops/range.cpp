#include "keys/kind.h"
#include "keys/search.h"
#include "ops/ops.h"

namespace {

struct LeafPos {
    BTreeNode *leaf;
    int pos;
};

LeafPos leftmost(BTreeNode *node)
{
    while (!node->is_leaf)
        node = node->inner.children[0];
    return {node, 0};
}

// First key inside the lower bound: one descent, then a search in the leaf.
// The position may be the leaf's end; the walk continues in the next leaf.
template <class Probe>
int range_start(BTreeNode *node, Probe &probe, int inclusive, LeafPos *start)
{
    while (!node->is_leaf) {
        int i = btree_child_index(node, probe);
        if (i < 0)
            return -1;
        node = node->inner.children[i];
    }
    int found = 0;
    int pos = inclusive ? btree_bound<BTreeBound::Lower, true>(node, probe, &found)
                        : btree_bound<BTreeBound::Upper, true>(node, probe, nullptr);
    if (pos < 0)
        return -1;
    *start = {node, pos};
    return 0;
}

int append_run(PyObject *list, BTreeNode *leaf, int from, int to)
{
    // Each key object is touched for its reference count; ask for a few
    // ahead so that their cache misses overlap.
    constexpr int ahead = 24;
    for (int i = from; i < to && i < from + ahead; i++)
        __builtin_prefetch(leaf->keys[i], 1);
    for (int i = from; i < to; i++) {
        if (i + ahead < to)
            __builtin_prefetch(leaf->keys[i + ahead], 1);
        if (PyList_Append(list, leaf->keys[i]) < 0)
            return -1;
    }
    return 0;
}

// Appends keys along the leaf chain until the upper bound: a whole leaf at a
// time while its last key is inside, then a search in the leaf that ends it.
template <class Probe>
int range_collect(LeafPos at, Probe *probe, int inclusive, PyObject *list)
{
    for (BTreeNode *leaf = at.leaf; leaf; leaf = leaf->leaf.next, at.pos = 0) {
        // The walk usually goes on into the next leaf: its header and first
        // keys are on their way while this one is copied.
        if (BTreeNode *next = leaf->leaf.next) {
            __builtin_prefetch(next);
            btree_prefetch_array(next->keys);
        }
        int n = leaf->n;
        if (at.pos >= n)
            continue;
        if (!probe) {
            if (append_run(list, leaf, at.pos, n) < 0)
                return -1;
            continue;
        }
        probe->begin_node();
        int c = (*probe)(leaf, leaf->leaf.prims, n - 1);
        if (c == BTREE_CMP_ERROR)
            return -1;
        if (c < 0 || (c == 0 && inclusive)) {
            if (append_run(list, leaf, at.pos, n) < 0)
                return -1;
            continue;
        }
        int found = 0;
        int end = inclusive ? btree_bound<BTreeBound::Upper, true>(leaf, *probe, nullptr)
                            : btree_bound<BTreeBound::Lower, true>(leaf, *probe, &found);
        if (end < 0)
            return -1;
        return append_run(list, leaf, at.pos, end);
    }
    return 0;
}

int bound_mode(BTreeObject *tree, PyObject *bound, BTreePrim *prim, int *use_fast)
{
    *use_fast = btree_use_fast(tree->key_type, bound);
    return btree_search_mode(tree->key_kind, bound, prim);
}

}  // namespace

int btree_collect_range(BTreeObject *tree, PyObject *list, PyObject *min, PyObject *max, int inclusive_min,
                        int inclusive_max)
{
    if (!tree->root)
        return 0;
    LeafPos start = leftmost(tree->root);
    BTreePrim prim{};
    int use_fast = 0;
    if (min != Py_None) {
        int mode = bound_mode(tree, min, &prim, &use_fast);
        if (mode < 0)
            return -1;
        int rc = btree_with_probe(mode, prim, min, use_fast,
                                  [&](auto &probe) { return range_start(tree->root, probe, inclusive_min, &start); });
        if (rc < 0)
            return -1;
    }
    if (max == Py_None)
        return range_collect<BTreeObjectProbe>(start, nullptr, 0, list);
    int mode = bound_mode(tree, max, &prim, &use_fast);
    if (mode < 0)
        return -1;
    return btree_with_probe(mode, prim, max, use_fast,
                            [&](auto &probe) { return range_collect(start, &probe, inclusive_max, list); });
}

int btree_parse_inclusive(PyObject *inclusive, int *inclusive_min, int *inclusive_max)
{
    *inclusive_min = 1;
    *inclusive_max = 1;
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
    // Both flags are always evaluated; the second runs with no exception set,
    // and the first flag's error is the one reported.
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
