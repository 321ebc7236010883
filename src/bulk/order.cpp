#include "bulk/order.h"

#include <algorithm>
#include <cstring>

#include "bulk/radix.h"
#include "keys/compare.h"
#include "keys/kind.h"
#include "nodes/scratch.h"

namespace {

// Two buffers released together.
struct Buffers {
    void *first = nullptr;
    void *second = nullptr;

    Buffers(const Buffers &) = delete;
    Buffers &operator=(const Buffers &) = delete;
    explicit Buffers(size_t bytes)
    {
        first = btree_scratch_malloc(bytes);
        second = first ? btree_scratch_malloc(bytes) : nullptr;
        if (!second)
            PyErr_NoMemory();
    }
    ~Buffers()
    {
        btree_scratch_free(first);
        btree_scratch_free(second);
    }
    bool ok() const { return second != nullptr; }
};

int disorder(PyObject **keys, Py_ssize_t i, bool keep)
{
    PyErr_Format(PyExc_ValueError, keep ? "keys must ascend: %R at position %zd follows %R"
                                        : "keys must ascend strictly: %R at position %zd follows %R",
                 keys[i], i, keys[i - 1]);
    return -1;
}

// Rearranges one array after `order`, through `spare`.
template <class T>
void permute(T *items, const Py_ssize_t *order, T *spare, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++)
        spare[i] = items[order[i]];
    memcpy(items, spare, static_cast<size_t>(n) * sizeof(T));
}

void permute_pairs(BTreePairs &pairs, const Py_ssize_t *order, void *spare)
{
    static_assert(sizeof(BTreePrim) == sizeof(PyObject *));
    permute(pairs.keys, order, static_cast<PyObject **>(spare), pairs.count);
    if (pairs.values)
        permute(pairs.values, order, static_cast<PyObject **>(spare), pairs.count);
    if (btree_kind_keeps_prims(pairs.kind))
        permute(pairs.prims, order, static_cast<BTreePrim *>(spare), pairs.count);
}

// Folds runs of equal keys, now adjacent, into their first key and last
// value; with `Prims`, their primitives move with the keys. `order(i, j)`
// compares the keys at i and j: -1, 0, 1 or BTREE_CMP_ERROR.
template <bool Prims, class Order>
int fold_equal(BTreePairs &pairs, Order order)
{
    PyObject **keys = pairs.keys, **values = pairs.values;
    BTreePrim *prims = pairs.prims;
    Py_ssize_t n = pairs.count;
    Py_ssize_t kept = n ? 1 : 0;
    for (Py_ssize_t i = 1; i < n; i++) {
        int c = order(kept - 1, i);
        if (c == BTREE_CMP_ERROR) {
            // The slots from `kept` to i - 1 are moved out or released: fill
            // the gap so that every slot below the count holds a reference.
            Py_ssize_t gap = i - kept;
            for (Py_ssize_t j = i; j < n; j++) {
                keys[j - gap] = keys[j];
                if (values)
                    values[j - gap] = values[j];
            }
            pairs.count = n - gap;
            return -1;
        }
        if (c == 0) {
            if (values) {
                PyObject *old = values[kept - 1];
                values[kept - 1] = values[i];
                Py_XDECREF(old);
            }
            Py_DECREF(keys[i]);
        } else {
            keys[kept] = keys[i];
            if (values)
                values[kept] = values[i];
            if constexpr (Prims)
                prims[kept] = prims[i];
            kept++;
        }
    }
    pairs.count = kept;
    return 0;
}

// --- Keys of one primitive kind ---

// Asks `less` first: ascending neighbours, the common case, take one
// comparison.
template <BTreeKindRecord R>
int prim_order(const BTreePairs &pairs, Py_ssize_t i, Py_ssize_t j)
{
    const BTreePrim &a = pairs.prims[i], &b = pairs.prims[j];
    if (R::less(a, b))
        return -1;
    if (R::less(b, a))
        return 1;
    return btree_kind_tie<R>(pairs.keys[i], pairs.keys[j]);
}

// Keys sorted by prefix: each run of one prefix sorted by the record's tie,
// equal keys in input order. Runs longer than one are rare: the scan looks
// at each neighbour once.
template <BTreeKindRecord R>
void sort_prefix_ties(BTreeRanked *sorted, PyObject **keys, Py_ssize_t n)
{
    for (Py_ssize_t i = 1; i < n; i++) {
        if (sorted[i].order != sorted[i - 1].order) [[likely]]
            continue;
        Py_ssize_t lo = i - 1, hi = i + 1;
        while (hi < n && sorted[hi].order == sorted[lo].order)
            hi++;
        std::sort(sorted + lo, sorted + hi, [keys](const BTreeRanked &a, const BTreeRanked &b) {
            int c = R::tie(keys[a.index], keys[b.index]);
            return c ? c < 0 : a.index < b.index;
        });
        i = hi;
    }
}

// Runs no Python code but the finalisers of dropped pairs, and fails only
// for want of memory.
template <BTreeKindRecord R>
int order_by_prims(BTreePairs &pairs, bool trusted, bool keep)
{
    Py_ssize_t n = pairs.count;
    Py_ssize_t i = 1;
    while (i < n && prim_order<R>(pairs, i - 1, i) < keep)
        i++;
    if (i >= n)
        return 0;
    if (trusted)
        return disorder(pairs.keys, i, keep);
    Buffers buffers(static_cast<size_t>(n) * sizeof(BTreeRanked));
    if (!buffers.ok())
        return -1;
    auto *records = static_cast<BTreeRanked *>(buffers.first);
    for (Py_ssize_t r = 0; r < n; r++)
        records[r] = {R::order(pairs.prims[r]), r};
    BTreeRanked *sorted = btree_radix_sort(records, static_cast<BTreeRanked *>(buffers.second), n);
    if constexpr (!R::whole)
        sort_prefix_ties<R>(sorted, pairs.keys, n);
    // The positions go to the free buffer; the sorted records' one is then
    // the spare of the permutation.
    auto *order = reinterpret_cast<Py_ssize_t *>(sorted == records ? buffers.second : buffers.first);
    for (Py_ssize_t r = 0; r < n; r++)
        order[r] = sorted[r].index;
    permute_pairs(pairs, order, sorted);
    if (keep)
        return 0;
    return fold_equal<true>(pairs, [&pairs](Py_ssize_t a, Py_ssize_t b) { return prim_order<R>(pairs, a, b); });
}

// --- Keys of other kinds ---

// Index of the first key not above (with `keep`, below) the one before it,
// or n; -1 on error.
Py_ssize_t ascending_prefix(PyObject **keys, Py_ssize_t n, bool keep)
{
    for (Py_ssize_t i = 1; i < n; i++) {
        int c = btree_key_order(keys[i - 1], keys[i]);
        if (c == BTREE_CMP_ERROR)
            return -1;
        if (c >= static_cast<int>(keep))
            return i;
    }
    return n;
}

// Stable bottom-up merge sort of the positions in `order` by their keys,
// `spare` a buffer of the same length. Stops at the first comparison that
// fails, leaving `order` a permutation still.
int merge_sort(PyObject **keys, Py_ssize_t *order, Py_ssize_t *spare, Py_ssize_t n)
{
    Py_ssize_t *from = order, *to = spare;
    for (Py_ssize_t width = 1; width < n; width *= 2) {
        for (Py_ssize_t lo = 0; lo < n; lo += 2 * width) {
            Py_ssize_t mid = lo + width < n ? lo + width : n;
            Py_ssize_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            Py_ssize_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                int c = btree_key_order(keys[from[j]], keys[from[i]]);
                if (c == BTREE_CMP_ERROR) {
                    // The halves already merged and the rest are copied so
                    // that `order` holds every position once.
                    while (i < mid)
                        to[k++] = from[i++];
                    while (j < hi)
                        to[k++] = from[j++];
                    for (Py_ssize_t r = hi; r < n; r++)
                        to[r] = from[r];
                    if (to != order)
                        memcpy(order, to, static_cast<size_t>(n) * sizeof(Py_ssize_t));
                    return -1;
                }
                to[k++] = c < 0 ? from[j++] : from[i++];
            }
            while (i < mid)
                to[k++] = from[i++];
            while (j < hi)
                to[k++] = from[j++];
        }
        Py_ssize_t *t = from;
        from = to;
        to = t;
    }
    if (from != order)
        memcpy(order, from, static_cast<size_t>(n) * sizeof(Py_ssize_t));
    return 0;
}

int order_by_objects(BTreePairs &pairs, bool trusted, bool keep)
{
    PyObject **keys = pairs.keys;
    Py_ssize_t n = pairs.count;
    // A NaN would compare as neither less, equal nor greater.
    for (Py_ssize_t i = 0; i < n; i++)
        if (btree_nan_check(keys[i]) < 0)
            return -1;
    Py_ssize_t sorted = ascending_prefix(keys, n, keep);
    if (sorted < 0)
        return -1;
    if (sorted == n)
        return 0;
    if (trusted)
        return disorder(keys, sorted, keep);
    Buffers buffers(static_cast<size_t>(n) * sizeof(Py_ssize_t));
    if (!buffers.ok())
        return -1;
    auto *order = static_cast<Py_ssize_t *>(buffers.first);
    for (Py_ssize_t i = 0; i < n; i++)
        order[i] = i;
    int rc = merge_sort(keys, order, static_cast<Py_ssize_t *>(buffers.second), n);
    // Even after a failure the arrays stay a permutation of what they held.
    permute_pairs(pairs, order, buffers.second);
    if (rc < 0 || keep)
        return rc;
    return fold_equal<false>(pairs, [keys](Py_ssize_t a, Py_ssize_t b) { return btree_key_order(keys[a], keys[b]); });
}

}  // namespace

int btree_order_pairs(BTreePairs &pairs, bool trusted, bool keep_equal)
{
    return btree_with_kind_record(
        pairs.kind, [&]<class R>(R) { return order_by_prims<R>(pairs, trusted, keep_equal); },
        [&] { return order_by_objects(pairs, trusted, keep_equal); });
}
