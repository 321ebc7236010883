#include "keys/kind.h"
#include "keys/search.h"
#include "nodes/release.h"
#include "ops/ops.h"

namespace {

// Internal levels a descent can pass: every non-root internal node has at
// least 64 children, so no tree of 2^63 items comes near this.
constexpr int max_depth = 64;

template <class T>
void shift_right(T *slots, int from, int n)
{
    if (n > from)
        memmove(static_cast<void *>(slots + from + 1), static_cast<const void *>(slots + from),
                static_cast<size_t>(n - from) * sizeof(T));
}

// Top-down insertion below a root with room: every full child is split before
// the descent enters it. Returns 0 or -1; `*split` tells whether any node was
// split, `*replaced` receives the value an existing key gave up.
template <class Probe>
int insert_descend(BTreeObject *tree, Probe &probe, int kind, const BTreePrim &prim, PyObject *key,
                   PyObject *value, int *split, PyObject **replaced)
{
    BTreeNode *stack[max_depth];
    int depth = 0;
    BTreeNode *node = tree->root;
    int copy_prims = kind > 0;
    while (!node->is_leaf) {
        if (depth == max_depth) {
            PyErr_SetString(PyExc_MemoryError, "BTree is too deep");
            return -1;
        }
        stack[depth++] = node;
        int i = btree_child_index(node, probe);
        if (i < 0)
            return -1;
        if (node->inner.children[i]->n == BTREE_MAX_KEYS) {
            if (btree_split_child(node, i, copy_prims) < 0)
                return -1;
            *split = 1;
            probe.begin_node();
            int c = probe(node, node->inner.prims, i);
            if constexpr (Probe::can_fail) {
                if (c == BTREE_CMP_ERROR)
                    return -1;
            }
            if (c <= 0)
                i++;
        }
        node = node->inner.children[i];
    }
    int found = 0;
    int i = btree_leaf_index(node, probe, &found);
    if (i < 0)
        return -1;
    if (found) {
        // The new value is in place before the old one can be released.
        *replaced = node->leaf.values[i];
        node->leaf.values[i] = Py_NewRef(value);
        return 0;
    }
    int n = node->n;
    shift_right(node->keys, i, n);
    shift_right(node->leaf.values, i, n);
    if (copy_prims) {
        shift_right(node->leaf.prims, i, n);
        node->leaf.prims[i] = prim;
    }
    node->keys[i] = Py_NewRef(key);
    node->leaf.values[i] = Py_NewRef(value);
    node->n = n + 1;
    node->subtree_size = n + 1;
    for (int d = 0; d < depth; d++)
        stack[d]->subtree_size++;
    tree->size++;
    return 0;
}

}  // namespace

int btree_insert_item(BTreeObject *tree, PyObject *key, PyObject *value)
{
    if (btree_nan_check(key) < 0 || btree_guard_test(tree) < 0)
        return -1;
    BTreeBusy busy(tree);
    BTreeReleaseList pending;
    int split = 0;
    if (btree_prepare_root(tree, &split) < 0)
        return -1;
    BTreePrim prim{};
    int use_fast = 0;
    int kind = btree_writer_kind(tree, key, &prim, &use_fast);
    int result = -1;
    PyObject *replaced = nullptr;
    if (kind >= 0) {
        result = btree_with_probe(kind, prim, key, use_fast, [&](auto &probe) {
            return insert_descend(tree, probe, kind, prim, key, value, &split, &replaced);
        });
    }
    // A failure after a split has moved entries between nodes: iterators and
    // the path cache must not trust their positions any more.
    if (result == 0 || split)
        btree_mutated(tree, pending);
    pending.add(replaced);
    return result;
}
