// Binary search inside one node. One algorithm serves the keys of every kind,
// through its record, and key objects: a lower bound (first entry not less
// than the key, with whether it is equal) for leaves, and an upper bound
// (number of entries less than or equal to the key) for choosing the child of
// an internal node, so that a key equal to a separator descends to the right.
#pragma once
#include <Python.h>
#include <concepts>
#include <cstdint>

#include "hints.h"
#include "keys/compare.h"
#include "keys/records.h"
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

// Sought key of a whole kind: primitives alone order the slots.
template <BTreeKindRecord R>
struct BTreeWholeProbe {
    static_assert(R::whole);
    static constexpr bool can_fail = false;
    static constexpr bool reads_keys = false;
    BTreePrim key;
    void begin_node() {}
    int operator()(const BTreeNode *, const BTreePrim *prims, int i) const { return R::compare(prims[i], key); }
    bool less(const BTreePrim &p) const { return R::less(p, key); }
    bool not_greater(const BTreePrim &p) const { return R::not_greater(p, key); }
    BTreePrim prim() const { return key; }

    // The primitive bound is the answer; the slot at a lower bound is not
    // below the key, so it is equal when it is not above it.
    template <BTreeBound B>
    int settle(const BTreeNode *, const BTreePrim *prims, int n, int bound, int *found) const
    {
        if constexpr (B == BTreeBound::Lower)
            *found = bound < n && not_greater(prims[bound]);
        return bound;
    }
};

// Ops name it where any probe that cannot fail will do.
using BTreeI64Probe = BTreeWholeProbe<BTreeInt64Kind>;

// Sought key of a prefix kind, with its object: prefixes order the slots, and
// only the slots whose prefix equals the key's are told apart by the record's
// tie.
template <BTreeKindRecord R>
struct BTreePrefixProbe {
    static_assert(!R::whole);
    static constexpr bool can_fail = false;
    static constexpr bool reads_keys = true;
    BTreePrim key;
    PyObject *object;
    void begin_node() {}
    int operator()(const BTreeNode *node, const BTreePrim *prims, int i) const
    {
        return btree_kind_order<R>(prims[i], key, node->keys[i], object);
    }
    bool less(const BTreePrim &p) const { return R::less(p, key); }
    bool not_greater(const BTreePrim &p) const { return R::not_greater(p, key); }
    BTreePrim prim() const { return key; }

    // A prefix next to the bound ties with the key's exactly when it is not
    // above it (at or after a lower bound) or not below it (before an upper
    // bound).
    template <BTreeBound B>
    int settle(const BTreeNode *node, const BTreePrim *prims, int n, int bound, int *found) const
    {
        // The run of equal prefixes next to the bound, searched by keys.
        int lo = bound, hi = bound;
        // Distinct keys rarely share a prefix: a run of one is looked at
        // before the run's other end is searched for.
        if constexpr (B == BTreeBound::Lower) {
            *found = 0;
            if (bound == n || !not_greater(prims[bound]))
                return bound;
            hi = bound + 1 == n || !not_greater(prims[bound + 1])
                     ? bound + 1
                     : bound + btree_prim_bound<BTreeBound::Upper>(prims + bound, n - bound, *this);
        } else {
            if (bound == 0 || less(prims[bound - 1]))
                return bound;
            lo = bound == 1 || less(prims[bound - 2]) ? bound - 1
                                                       : btree_prim_bound<BTreeBound::Lower>(prims, bound, *this);
        }
        while (lo < hi) {
            int mid = (lo + hi) >> 1;
            int c = R::tie(node->keys[mid], object);
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
        BTREE_PREFETCH(p + off);
}

// The bound among key objects, one comparison per step.
template <BTreeBound B, BTreeProbe Probe>
inline int btree_object_bound(const BTreeNode *node, const BTreePrim *prims, int n, Probe &probe, int *found)
{
    btree_prefetch_array(node->keys);
    int lo = 0, hi = n, equal_at = -1;
    while (lo < hi) {
        int mid = (lo + hi) >> 1;
        // Whichever way this comparison goes, the next one reads one of
        // these two key objects: ask for both while this one is compared.
        int next_left = (lo + mid) >> 1, next_right = (mid + 1 + hi) >> 1;
        if (next_left < mid)
            BTREE_PREFETCH(node->keys[next_left]);
        if (next_right < hi)
            BTREE_PREFETCH(node->keys[next_right]);
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

// Lower bound: returns the slot, with `*found` set when it holds an equal
// key. Upper bound: returns the child index. -1 with an exception set when a
// comparison fails (object probes only). With `Keys` the caller reads the
// leaf's key objects at the place found. A search on primitives is a few
// instructions, always inlined: as a call of its own it would cost a tenth
// more.
template <BTreeBound B, bool Leaf, bool Keys = false, BTreeProbe Probe>
BTREE_ALWAYS_INLINE inline int btree_bound(const BTreeNode *node, Probe &probe, int *found)
{
    probe.begin_node();
    const BTreePrim *prims = btree_prims_of<Leaf>(node);
    int n = node->n;
    if constexpr (!Probe::can_fail) {
        btree_prefetch_array(prims);
        // A leaf's string key is read when its prefix ties, the keys are
        // shifted when the leaf is written, and a caller may read the key it
        // finds: they come with the primitives.
        if constexpr (Leaf && (Keys || Probe::reads_keys))
            btree_prefetch_array(node->keys);
        return probe.template settle<B>(node, prims, n, btree_prim_bound<B>(prims, n, probe), found);
    } else {
        return btree_object_bound<B>(node, prims, n, probe, found);
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
    return btree_with_kind_record(
        mode,
        [&]<class R>(R) {
            if constexpr (R::whole) {
                BTreeWholeProbe<R> p{prim};
                return body(p);
            } else {
                BTreePrefixProbe<R> p{prim, key};
                return body(p);
            }
        },
        [&] {
            BTreeObjectProbe p(key, Py_TYPE(key), use_fast);
            return body(p);
        });
}
