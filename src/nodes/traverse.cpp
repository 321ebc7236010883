#include "nodes/tree.h"

int btree_traverse_node(BTreeNode *node, visitproc visit, void *arg)
{
    if (!node)
        return 0;
    if (node->is_leaf) {
        for (int i = 0; i < node->n; i++) {
            Py_VISIT(node->keys[i]);
            if (!node->keys_only)
                Py_VISIT(node->leaf.values[i]);
        }
        return 0;
    }
    // Separators are strong references like item keys.
    for (int i = 0; i < node->n; i++)
        Py_VISIT(node->keys[i]);
    for (int i = 0; i <= node->n; i++) {
        int r = btree_traverse_node(node->inner.children[i], visit, arg);
        if (r)
            return r;
    }
    return 0;
}

size_t btree_subtree_bytes(const BTreeNode *node)
{
    if (node->is_leaf)
        return btree_node_bytes(node);
    size_t total = BTREE_INTERNAL_BYTES;
    for (int i = 0; i <= node->n; i++)
        total += btree_subtree_bytes(node->inner.children[i]);
    return total;
}

int btree_traverse_tree(const BTreeCore *tree, visitproc visit, void *arg)
{
    int r = btree_traverse_node(tree->root, visit, arg);
    if (r)
        return r;
    Py_VISIT(tree->cache_key);
    return 0;
}
