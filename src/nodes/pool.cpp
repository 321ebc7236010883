#include "nodes/node.h"

#include <initializer_list>

BTREE_PER_THREAD BTreeNode *btree_leaf_freelist = nullptr;
BTREE_PER_THREAD Py_ssize_t btree_leaf_freelist_size = 0;
BTREE_PER_THREAD BTreeNode *btree_keys_leaf_freelist = nullptr;
BTREE_PER_THREAD Py_ssize_t btree_keys_leaf_freelist_size = 0;
BTREE_PER_THREAD BTreeNode *btree_internal_freelist = nullptr;
BTREE_PER_THREAD Py_ssize_t btree_internal_freelist_size = 0;

#ifdef Py_GIL_DISABLED
namespace {

// Lets go of a thread's pools as the thread exits.
struct PoolsOfThread {
    ~PoolsOfThread()
    {
        for (BTreeNode **list : {&btree_leaf_freelist, &btree_keys_leaf_freelist, &btree_internal_freelist}) {
            while (BTreeNode *node = *list) {
                *list = node->free_next;
                btree_mem_free(node);
            }
        }
        btree_leaf_freelist_size = btree_keys_leaf_freelist_size = btree_internal_freelist_size = 0;
    }
    void keep() {}
};

thread_local PoolsOfThread pools_of_thread;

}  // namespace
#endif

static void btree_node_recycle(BTreeNode *node)
{
    BTreeNode *&list = !node->is_leaf    ? btree_internal_freelist
                       : node->keys_only ? btree_keys_leaf_freelist
                                         : btree_leaf_freelist;
    Py_ssize_t &list_size = !node->is_leaf    ? btree_internal_freelist_size
                            : node->keys_only ? btree_keys_leaf_freelist_size
                                              : btree_leaf_freelist_size;
    if (list_size >= BTREE_FREELIST_MAX) {
        btree_mem_free(node);
        return;
    }
#ifdef Py_GIL_DISABLED
    pools_of_thread.keep();
#endif
    memset(static_cast<void *>(node), 0, btree_node_bytes(node));
    node->free_next = list;
    list = node;
    list_size++;
}

void btree_node_free(BTreeNode *node)
{
    if (!node)
        return;
    if (node->is_leaf) {
        for (int i = 0; i < node->n; i++) {
            Py_XDECREF(node->keys[i]);
            if (!node->keys_only)
                Py_XDECREF(node->leaf.values[i]);
        }
    } else {
        // Children go before the node's own separators.
        for (int i = 0; i <= node->n; i++)
            btree_node_free(node->inner.children[i]);
        for (int i = 0; i < node->n; i++)
            Py_XDECREF(node->keys[i]);
    }
    btree_node_recycle(node);
}
