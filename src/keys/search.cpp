#include "keys/search.h"

// Each routine reads the primitives of the node's own kind.
template <class Probe>
static int btree_find_in(const BTreeNode *node, Probe &probe, int *found)
{
    if (node->is_leaf)
        return btree_bound<BTreeBound::Lower, true>(node, probe, found);
    return btree_bound<BTreeBound::Lower, false>(node, probe, found);
}

int btree_find_index_i64(const BTreeNode *node, int64_t key, int *found)
{
    BTreeI64Probe probe{key};
    return btree_find_in(node, probe, found);
}

int btree_find_index_f64(const BTreeNode *node, int *found, double key)
{
    BTreeF64Probe probe{key};
    return btree_find_in(node, probe, found);
}

int btree_find_index_typed(const BTreeNode *node, PyObject *key, int *found, PyTypeObject *type, int use_fast)
{
    BTreeObjectProbe probe(key, type, use_fast);
    int f = 0;
    int i = btree_find_in(node, probe, &f);
    if (i >= 0)
        *found = f;
    return i;
}
