#include "btree/tree.h"
#include "nodes/copy.h"

namespace {

// Links every leaf of a copied subtree, in key order, after `*prev`.
void btree_fixup_leaf_links(BTreeNode *node, BTreeNode **prev)
{
    if (!node)
        return;
    if (node->is_leaf) {
        if (*prev)
            (*prev)->leaf.next = node;
        *prev = node;
        return;
    }
    for (int i = 0; i <= node->n; i++)
        btree_fixup_leaf_links(node->inner.children[i], prev);
}

// Copies a subtree node for node, sharing the key and value objects. NULL
// for a NULL node, or with MemoryError after freeing what was copied.
BTreeNode *btree_copy_node(const BTreeNode *node, int32_t kind)
{
    if (!node)
        return nullptr;
    BTreeNode *copy = node->is_leaf ? btree_leaf_alloc() : btree_internal_alloc();
    if (!copy) {
        PyErr_NoMemory();
        return nullptr;
    }
    int n = node->n;
    copy->n = n;
    copy->subtree_size = node->subtree_size;
    for (int i = 0; i < n; i++)
        copy->keys[i] = Py_NewRef(node->keys[i]);
    if (node->is_leaf) {
        for (int i = 0; i < n; i++)
            copy->leaf.values[i] = Py_NewRef(node->leaf.values[i]);
        if (kind > 0)
            memcpy(copy->leaf.prims, node->leaf.prims, sizeof(BTreePrim) * static_cast<size_t>(n));
        return copy;
    }
    if (kind > 0)
        memcpy(copy->inner.prims, node->inner.prims, sizeof(BTreePrim) * static_cast<size_t>(n));
    for (int i = 0; i <= n; i++) {
        BTreeNode *child = btree_copy_node(node->inner.children[i], kind);
        if (!child && PyErr_Occurred()) {
            for (int j = 0; j < i; j++)
                btree_node_free(copy->inner.children[j]);
            for (int j = 0; j < n; j++)
                Py_DECREF(copy->keys[j]);
            btree_mem_free(copy);
            return nullptr;
        }
        copy->inner.children[i] = child;
    }
    return copy;
}

}  // namespace

BTreeObject *btree_copy_tree(BTreeObject *source)
{
    BTreeObject *tree = btree_new_tree();
    if (!tree)
        return nullptr;
    tree->key_type = source->key_type;
    tree->key_kind = source->key_kind;
    if (source->root) {
        BTreeNode *root = btree_copy_node(source->root, source->key_kind);
        if (!root) {
            Py_DECREF(tree);
            return nullptr;
        }
        tree->root = root;
        BTreeNode *prev = nullptr;
        btree_fixup_leaf_links(root, &prev);
    }
    tree->size = source->size;
    return tree;
}
