#include "bulk/pairs.h"

#include "bulk/build.h"
#include "nodes/scratch.h"

BTreePairs::~BTreePairs()
{
    for (Py_ssize_t i = 0; i < count; i++) {
        Py_XDECREF(keys[i]);
        if (values)
            Py_XDECREF(values[i]);
    }
    btree_scratch_free(keys);
    btree_scratch_free(values);
    btree_scratch_free(prims);
}

namespace {

template <class T>
int grow(T *&array, Py_ssize_t n)
{
    void *grown = btree_scratch_realloc(array, static_cast<size_t>(n) * sizeof(T));
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    array = static_cast<T *>(grown);
    return 0;
}

}  // namespace

int BTreePairs::reserve(Py_ssize_t n)
{
    if (n <= capacity)
        return 0;
    // Each array grows on its own; the capacity moves once all three have.
    if (grow(keys, n) < 0 || (!keys_only_ && grow(values, n) < 0) || grow(prims, n) < 0)
        return -1;
    capacity = n;
    return 0;
}

int btree_build_pairs(BTreeCore *dst, BTreePairs &pairs)
{
    BTreeKnownKeys known{pairs.kind, pairs.prims, pairs.key_type};
    bool primitive = btree_kind_keeps_prims(pairs.kind);
    BTREE_ASSERT(dst->keys_only == !pairs.values || pairs.count == 0);
    if (btree_build_sorted(dst, pairs.keys, pairs.values, pairs.count, primitive ? &known : nullptr) < 0)
        return -1;
    // Every slot was taken over: nothing is left to release.
    pairs.count = 0;
    return 0;
}
