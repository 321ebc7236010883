// Binary search inside one node. One algorithm serves the int64, float64,
// string and object keys: a lower bound (first entry not less than the key,
// with whether it is equal) for leaves, and an upper bound (number of entries
// less than or equal to the key) for choosing the child of an internal node,
// so that a key equal to a separator descends to the right.
#pragma once
#include <Python.h>
#include <concepts>
#include <cstdint>

#include "keys/compare.h"
#include "nodes/node.h"

enum class BTreeBound { Lower, Upper };

// What a search needs of the sought key. `probe(node, prims, i)` compares the
// stored key i with it: -1, 0 or 1, or BTREE_CMP_ERROR with an exception set,
// which only a probe whose `can_fail` is true may answer. `begin_node()` is
// called before each node's search.
template <class P>
concept BTreeProbe = requires(P probe, const BTreeNode *node, const BTreePrim *prims, int i) {
    { P::can_fail } -> std::convertible_to<bool>;
    probe.begin_node();
    { probe(node, prims, i) } -> std::same_as<int>;
};

// A probe whose primitive alone orders most slots: the search runs on the
// primitive array and `settle` decides the slots whose primitives tie;
// `prim()` is the sought key's own primitive; `reads_keys` says whether
// settling a tie reads key objects.
template <class P>
concept BTreePrimProbe = BTreeProbe<P> && !P::can_fail && requires(const P probe, const BTreePrim &prim) {
    { P::reads_keys } -> std::convertible_to<bool>;
    { probe.less(prim) } -> std::same_as<bool>;
    { probe.not_greater(prim) } -> std::same_as<bool>;
    { probe.prim() } -> std::same_as<BTreePrim>;
};

// Number of primitives before the bound, with no data-dependent branch: the
// loop runs a fixed number of times for a given `n`, so nothing mispredicts.
template <BTreeBound B, BTreePrimProbe Probe>
inline int btree_prim_bound(const BTreePrim *prims, int n, const Probe &probe)
{
    if (n == 0)
        return 0;
    const BTreePrim *base = prims;
    while (n > 1) {
        int half = n >> 1;
        bool right = B == BTreeBound::Upper ? probe.not_greater(base[half - 1]) : probe.less(base[half - 1]);
        base += right ? half : 0;
        n -= half;
    }
    bool past = B == BTreeBound::Upper ? probe.not_greater(*base) : probe.less(*base);
    return static_cast<int>(base - prims) + past;
}

// Numeric probes: the primitive bound is the answer.
template <class Probe>
struct BTreeWholePrims {
    template <BTreeBound B>
    int settle(const BTreeNode *, const BTreePrim *prims, int n, int bound, int *found) const
    {
        if constexpr (B == BTreeBound::Lower)
            *found = bound < n && static_cast<const Probe *>(this)->equal(prims[bound]);
        return bound;
    }
};

// Sought int64 primitive.
struct BTreeI64Probe : BTreeWholePrims<BTreeI64Probe> {
    static constexpr bool can_fail = false;
    static constexpr bool reads_keys = false;
    int64_t key;
    void begin_node() {}
    int operator()(const BTreeNode *, const BTreePrim *prims, int i) const
    {
        int64_t s = prims[i].i;
        return (s > key) - (s < key);
    }
    bool less(const BTreePrim &p) const { return p.i < key; }
    bool not_greater(const BTreePrim &p) const { return p.i <= key; }
    bool equal(const BTreePrim &p) const { return p.i == key; }
    BTreePrim prim() const { return {.i = key}; }
};

// Sought float64 primitive. NaN orders above every number and equal to NaN,
// which keeps the order total although NaN keys never enter a tree.
inline int btree_f64_cmp(double s, double k)
{
    if (s < k)
        return -1;
    if (s > k)
        return 1;
    if (s == k)
        return 0;
    bool sn = s != s, kn = k != k;
    return sn == kn ? 0 : (sn ? 1 : -1);
}

struct BTreeF64Probe : BTreeWholePrims<BTreeF64Probe> {
    static constexpr bool can_fail = false;
    static constexpr bool reads_keys = false;
    double key;
    void begin_node() {}
    int operator()(const BTreeNode *, const BTreePrim *prims, int i) const
    {
        return btree_f64_cmp(prims[i].f, key);
    }
    // The same order as btree_f64_cmp, without branches.
    bool less(const BTreePrim &p) const { return (p.f < key) | ((p.f == p.f) & (key != key)); }
    bool not_greater(const BTreePrim &p) const { return (p.f <= key) | (key != key); }
    bool equal(const BTreePrim &p) const { return btree_f64_cmp(p.f, key) == 0; }
    BTreePrim prim() const { return {.f = key}; }
};

// Sought exact string, with its prefix: prefixes order the slots, and only
// the slots whose prefix equals the key's are told apart by whole strings.
struct BTreeStrProbe {
    static constexpr bool can_fail = false;
    static constexpr bool reads_keys = true;
    uint64_t key;
    PyObject *object;
    void begin_node() {}
    int operator()(const BTreeNode *node, const BTreePrim *prims, int i) const
    {
        uint64_t s = prims[i].u;
        if (s != key)
            return s < key ? -1 : 1;
        return btree_str_cmp(node->keys[i], object);
    }
    bool less(const BTreePrim &p) const { return p.u < key; }
    bool not_greater(const BTreePrim &p) const { return p.u <= key; }
    BTreePrim prim() const { return {.u = key}; }

    template <BTreeBound B>
    int settle(const BTreeNode *node, const BTreePrim *prims, int n, int bound, int *found) const
    {
        // The run of equal prefixes next to the bound, searched by strings.
        int lo = bound, hi = bound;
        // Distinct strings rarely share a prefix: a run of one is looked at
        // before the run's other end is searched for.
        if constexpr (B == BTreeBound::Lower) {
            *found = 0;
            if (bound == n || prims[bound].u != key)
                return bound;
            hi = bound + 1 == n || prims[bound + 1].u != key
                     ? bound + 1
                     : bound + btree_prim_bound<BTreeBound::Upper>(prims + bound, n - bound, *this);
        } else {
            if (bound == 0 || prims[bound - 1].u != key)
                return bound;
            lo = bound == 1 || prims[bound - 2].u != key ? bound - 1
                                                          : btree_prim_bound<BTreeBound::Lower>(prims, bound, *this);
        }
        while (lo < hi) {
            int mid = (lo + hi) >> 1;
            int c = btree_str_cmp(node->keys[mid], object);
            if (B == BTreeBound::Upper ? c > 0 : c >= 0) {
                hi = mid;
                if constexpr (B == BTreeBound::Lower)
                    *found = c == 0;
            } else {
                lo = mid + 1;
            }
        }
        return lo;
    }
};

// Sought key object; may run Python code and fail.
struct BTreeObjectProbe {
    static constexpr bool can_fail = true;
    BTreeObjectCmp cmp;
    BTreeObjectProbe(PyObject *key, PyTypeObject *type, bool use_fast) : cmp(key, type, use_fast) {}
    void begin_node() { cmp.begin_node(); }
    int operator()(const BTreeNode *node, const BTreePrim *, int i) { return cmp(node->keys[i]); }
};

// Asks for every cache line of a node's key or primitive array at once, so
// that the search waits for memory about once per node instead of once per
// probe.
inline void btree_prefetch_array(const void *start)
{
    constexpr size_t bytes = sizeof(void *) * BTREE_MAX_KEYS;
    const char *p = static_cast<const char *>(start);
    for (size_t off = 0; off < bytes; off += 64)
        __builtin_prefetch(p + off);
}

// Lower bound: returns the slot, with `*found` set when it holds an equal
// key. Upper bound: returns the child index. -1 with an exception set when a
// comparison fails (object probes only).
template <BTreeBound B, bool Leaf, BTreeProbe Probe>
inline int btree_bound(const BTreeNode *node, Probe &probe, int *found)
{
    probe.begin_node();
    const BTreePrim *prims = btree_prims_of<Leaf>(node);
    int n = node->n;
    if constexpr (!Probe::can_fail) {
        btree_prefetch_array(prims);
        // A leaf's string key is read when its prefix ties, and the keys are
        // shifted when the leaf is written: they come with the primitives.
        if constexpr (Leaf && Probe::reads_keys)
            btree_prefetch_array(node->keys);
        return probe.template settle<B>(node, prims, n, btree_prim_bound<B>(prims, n, probe), found);
    } else {
        btree_prefetch_array(node->keys);
        int lo = 0, hi = n, equal_at = -1;
        while (lo < hi) {
            int mid = (lo + hi) >> 1;
            // Whichever way this comparison goes, the next one reads one of
            // these two key objects: ask for both while this one is compared.
            int next_left = (lo + mid) >> 1, next_right = (mid + 1 + hi) >> 1;
            if (next_left < mid)
                __builtin_prefetch(node->keys[next_left]);
            if (next_right < hi)
                __builtin_prefetch(node->keys[next_right]);
            int c = probe(node, prims, mid);
            if (c == BTREE_CMP_ERROR)
                return -1;
            bool left = B == BTreeBound::Upper ? c > 0 : c >= 0;
            if (left) {
                hi = mid;
                if (c == 0)
                    equal_at = mid;
            } else {
                lo = mid + 1;
            }
        }
        if constexpr (B == BTreeBound::Lower)
            *found = equal_at == lo;
        return lo;
    }
}

// Child index of the upper-bound child selection.
template <BTreeProbe Probe>
inline int btree_child_index(const BTreeNode *node, Probe &probe)
{
    return btree_bound<BTreeBound::Upper, false>(node, probe, nullptr);
}

// Lower bound in a leaf.
template <BTreeProbe Probe>
inline int btree_leaf_index(const BTreeNode *node, Probe &probe, int *found)
{
    return btree_bound<BTreeBound::Lower, true>(node, probe, found);
}

// Runs `body(probe)` with the probe of the search mode, so that each
// operation is written once for every key representation.
template <class Body>
inline auto btree_with_probe(BTreeKeyKind mode, const BTreePrim &prim, PyObject *key, bool use_fast, Body &&body)
{
    switch (mode) {
    case BTreeKeyKind::Int64: {
        BTreeI64Probe p{{}, prim.i};
        return body(p);
    }
    case BTreeKeyKind::Float64: {
        BTreeF64Probe p{{}, prim.f};
        return body(p);
    }
    case BTreeKeyKind::Str: {
        BTreeStrProbe p{prim.u, key};
        return body(p);
    }
    default: {
        BTreeObjectProbe p(key, Py_TYPE(key), use_fast);
        return body(p);
    }
    }
}
