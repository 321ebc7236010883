#include "bulk/radix.h"

#include <utility>

BTreeRanked *btree_radix_sort(BTreeRanked *records, BTreeRanked *spare, Py_ssize_t n)
{
    // One counting pass gives the histograms of all eight bytes.
    Py_ssize_t counts[8][256] = {};
    for (Py_ssize_t i = 0; i < n; i++) {
        uint64_t v = records[i].order;
        for (int b = 0; b < 8; b++)
            counts[b][(v >> (8 * b)) & 0xFF]++;
    }
    BTreeRanked *from = records, *to = spare;
    for (int b = 0; b < 8; b++) {
        int shift = 8 * b;
        // A byte every record shares would leave the order as it is.
        if (n == 0 || counts[b][(from[0].order >> shift) & 0xFF] == n)
            continue;
        Py_ssize_t start = 0;
        for (Py_ssize_t &c : counts[b]) {
            Py_ssize_t m = c;
            c = start;
            start += m;
        }
        for (Py_ssize_t i = 0; i < n; i++)
            to[counts[b][(from[i].order >> shift) & 0xFF]++] = from[i];
        std::swap(from, to);
    }
    return from;
}
