#include "bulk/order.h"

#include "keys/compare.h"
#include "keys/kind.h"
#include "nodes/memory.h"

namespace {

// Index of the first key not above the one before it, or n; -1 on error.
Py_ssize_t ascending_prefix(PyObject **keys, Py_ssize_t n)
{
    for (Py_ssize_t i = 1; i < n; i++) {
        int c = btree_key_order(keys[i - 1], keys[i]);
        if (c == BTREE_CMP_ERROR)
            return -1;
        if (c >= 0)
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

// Rearranges one array after `order`, through `spare`.
void permute(PyObject **items, const Py_ssize_t *order, PyObject **spare, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++)
        spare[i] = items[order[i]];
    memcpy(items, spare, static_cast<size_t>(n) * sizeof(PyObject *));
}

int sort_pairs(PyObject **keys, PyObject **values, Py_ssize_t n)
{
    size_t bytes = static_cast<size_t>(n) * sizeof(Py_ssize_t);
    auto *order = static_cast<Py_ssize_t *>(btree_mem_malloc(bytes));
    auto *spare = static_cast<Py_ssize_t *>(btree_mem_malloc(bytes));
    if (!order || !spare) {
        btree_mem_free(order);
        btree_mem_free(spare);
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++)
        order[i] = i;
    int rc = merge_sort(keys, order, spare, n);
    // Even after a failure the arrays stay a permutation of what they held.
    static_assert(sizeof(Py_ssize_t) == sizeof(PyObject *));
    permute(keys, order, reinterpret_cast<PyObject **>(spare), n);
    permute(values, order, reinterpret_cast<PyObject **>(spare), n);
    btree_mem_free(order);
    btree_mem_free(spare);
    return rc;
}

// Folds runs of equal keys, now adjacent, into their first key and last value.
int fold_equal(PyObject **keys, PyObject **values, Py_ssize_t *n)
{
    Py_ssize_t kept = *n ? 1 : 0;
    for (Py_ssize_t i = 1; i < *n; i++) {
        int c = btree_key_order(keys[kept - 1], keys[i]);
        if (c == BTREE_CMP_ERROR) {
            // The slots from `kept` to i - 1 are moved out or released: fill
            // the gap so that every slot below *n holds a reference again.
            Py_ssize_t gap = i - kept;
            for (Py_ssize_t j = i; j < *n; j++) {
                keys[j - gap] = keys[j];
                values[j - gap] = values[j];
            }
            *n -= gap;
            return -1;
        }
        if (c == 0) {
            PyObject *old = values[kept - 1];
            values[kept - 1] = values[i];
            Py_DECREF(old);
            Py_DECREF(keys[i]);
        } else {
            keys[kept] = keys[i];
            values[kept] = values[i];
            kept++;
        }
    }
    *n = kept;
    return 0;
}

}  // namespace

int btree_order_pairs(PyObject **keys, PyObject **values, Py_ssize_t *n, bool trusted)
{
    // A NaN would compare as neither less, equal nor greater.
    for (Py_ssize_t i = 0; i < *n; i++)
        if (btree_nan_check(keys[i]) < 0)
            return -1;
    Py_ssize_t sorted = ascending_prefix(keys, *n);
    if (sorted < 0)
        return -1;
    if (sorted == *n)
        return 0;
    if (trusted) {
        PyErr_Format(PyExc_ValueError, "keys must ascend strictly: %R at position %zd follows %R", keys[sorted],
                     sorted, keys[sorted - 1]);
        return -1;
    }
    if (sort_pairs(keys, values, *n) < 0)
        return -1;
    return fold_equal(keys, values, n);
}
