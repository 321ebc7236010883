#include "keys/kind.h"
#include "keys/search.h"
#include "nodes/release.h"
#include "nodes/slots.h"
#include "ops/ops.h"

namespace {

// Internal levels a descent can pass: every non-root internal node has at
// least 64 children, so no tree of 2^63 items comes near this.
constexpr int max_depth = 64;

// Top-down insertion below a root with room: every full child is split before
// the descent enters it. Returns 0 or -1; `*replaced` receives the value an
// existing key gave up.
template <class Probe>
int insert_descend(BTreeObject *tree, Probe &probe, int kind, const BTreePrim &prim, PyObject *key,
                   PyObject *value, BTreeChange &change, PyObject **replaced)
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
            change.mark();
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
    btree_shift_right(node->keys, i, n);
    btree_shift_right(node->leaf.values, i, n);
    if (copy_prims) {
        btree_shift_right(node->leaf.prims, i, n);
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
    BTreeChange change(tree, pending);
    int split = 0;
    if (btree_prepare_root(tree, &split) < 0)
        return -1;
    if (split)
        change.mark();
    BTreePrim prim{};
    int use_fast = 0;
    int kind = btree_writer_kind(tree, key, &prim, &use_fast);
    int result = -1;
    PyObject *replaced = nullptr;
    if (kind >= 0) {
        result = btree_with_probe(kind, prim, key, use_fast, [&](auto &probe) {
            return insert_descend(tree, probe, kind, prim, key, value, change, &replaced);
        });
    }
    if (result == 0)
        change.mark();
    pending.add(replaced);
    return result;
}
