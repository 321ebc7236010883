// The node record shared by every tree algorithm, and the two pools of
// recycled nodes it is taken from.
#pragma once
#include <Python.h>
#include <cstdint>
#include <cstring>

#include "nodes/memory.h"

constexpr int BTREE_MAX_KEYS = 127;
constexpr int BTREE_MAX_CHILDREN = 128;
constexpr int BTREE_MIN_KEYS = 63;
constexpr Py_ssize_t BTREE_FREELIST_MAX = 1024;

// Raw machine copy of a key: int64 in an int tree, double in a float tree,
// the leading bytes of the key in a tree of strings.
union BTreePrim {
    int64_t i;
    double f;
    uint64_t u;
};

struct BTreeNode;

struct BTreeLeafBody {
    PyObject *values[BTREE_MAX_KEYS];
    BTreePrim prims[BTREE_MAX_KEYS];
    BTreeNode *next;
};

struct BTreeInternalBody {
    BTreePrim prims[BTREE_MAX_KEYS];
    BTreeNode *children[BTREE_MAX_CHILDREN];
};

struct BTreeNode {
    int32_t n;
    int32_t is_leaf;
    Py_ssize_t subtree_size;
    BTreeNode *free_next;
    PyObject *keys[BTREE_MAX_KEYS];
    union {
        BTreeLeafBody leaf;
        BTreeInternalBody inner;
    };
};

static_assert(sizeof(BTreeLeafBody) == sizeof(BTreeInternalBody),
              "leaves and internal nodes are blocks of one size");

inline BTreePrim *btree_prims(BTreeNode *node)
{
    return node->is_leaf ? node->leaf.prims : node->inner.prims;
}

template <bool Leaf>
inline const BTreePrim *btree_prims_of(const BTreeNode *node)
{
    if constexpr (Leaf)
        return node->leaf.prims;
    else
        return node->inner.prims;
}

extern BTreeNode *btree_leaf_freelist;
extern Py_ssize_t btree_leaf_freelist_size;
extern BTreeNode *btree_internal_freelist;
extern Py_ssize_t btree_internal_freelist_size;

inline BTreeNode *btree_node_take(BTreeNode *&list, Py_ssize_t &list_size)
{
    BTreeNode *node = list;
    if (node) {
        list = node->free_next;
        list_size--;
    } else {
        node = static_cast<BTreeNode *>(btree_mem_malloc(sizeof(BTreeNode)));
        if (!node)
            return nullptr;
    }
    memset(static_cast<void *>(node), 0, sizeof(BTreeNode));
    return node;
}

// An empty leaf, or NULL when the allocator fails (no exception is set).
inline BTreeNode *btree_leaf_alloc()
{
    BTreeNode *node = btree_node_take(btree_leaf_freelist, btree_leaf_freelist_size);
    if (node)
        node->is_leaf = 1;
    return node;
}

// A zeroed internal node, or NULL when the allocator fails.
inline BTreeNode *btree_internal_alloc()
{
    return btree_node_take(btree_internal_freelist, btree_internal_freelist_size);
}

// Releases a whole subtree: every key and value loses the tree's reference and
// the nodes go back to the pools (or to the allocator once a pool is full).
void btree_node_free(BTreeNode *node);

// Garbage-collector traversal of a subtree.
int btree_traverse_node(BTreeNode *node, visitproc visit, void *arg);
