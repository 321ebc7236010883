#include "nodes/copy.h"

namespace {

// Links every leaf of a copied subtree, in key order, after `*prev`.
void btree_fixup_leaf_links(BTreeNode *node, BTreeNode **prev)
{
    if (node->is_leaf) {
        if (*prev)
            (*prev)->leaf.next = node;
        *prev = node;
        return;
    }
    for (int i = 0; i <= node->n; i++)
        btree_fixup_leaf_links(node->inner.children[i], prev);
}

// Copies a subtree node for node, sharing the key and value objects; NULL
// with MemoryError after freeing what was copied.
BTreeNode *btree_copy_node(const BTreeNode *node, bool copy_prims)
{
    BTreeNode *copy = node->is_leaf ? btree_leaf_alloc(node->keys_only) : btree_internal_alloc();
    if (!copy) {
        PyErr_NoMemory();
        return nullptr;
    }
    int n = node->n;
    for (int i = 0; i < n; i++)
        copy->keys[i] = Py_NewRef(node->keys[i]);
    if (node->is_leaf) {
        for (int i = 0; i < n && !node->keys_only; i++)
            copy->leaf.values[i] = Py_NewRef(node->leaf.values[i]);
        if (copy_prims)
            memcpy(copy->leaf.prims, node->leaf.prims, sizeof(BTreePrim) * static_cast<size_t>(n));
        copy->n = n;
        return copy;
    }
    if (copy_prims)
        memcpy(copy->inner.prims, node->inner.prims, sizeof(BTreePrim) * static_cast<size_t>(n));
    memcpy(copy->inner.sizes, node->inner.sizes, sizeof(Py_ssize_t) * static_cast<size_t>(n + 1));
    for (int i = 0; i <= n; i++) {
        BTreeNode *child = btree_copy_node(node->inner.children[i], copy_prims);
        if (!child) {
            for (int j = 0; j < i; j++)
                btree_node_free(copy->inner.children[j]);
            for (int j = 0; j < n; j++)
                Py_DECREF(copy->keys[j]);
            btree_mem_free(copy);
            return nullptr;
        }
        copy->inner.children[i] = child;
    }
    copy->n = n;
    return copy;
}

}  // namespace

int btree_copy_into(BTreeCore *dst, const BTreeCore *src)
{
    if (!src->root)
        return 0;
    BTreeNode *root = btree_copy_node(src->root, btree_kind_keeps_prims(src->key_kind));
    if (!root)
        return -1;
    BTreeNode *prev = nullptr;
    btree_fixup_leaf_links(root, &prev);
    dst->root = root;
    btree_set_size(dst, src->size);
    dst->height = src->height;
    dst->key_type = src->key_type;
    dst->key_kind = src->key_kind;
    return 0;
}
