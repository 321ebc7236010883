// The node record shared by every tree algorithm, and the two pools of
// recycled nodes it is taken from.
#pragma once
#include <Python.h>
#include <cstdint>
#include <cstring>

#include "nodes/assert.h"
#include "nodes/memory.h"

// Keys per node, leaf or internal.
constexpr int BTREE_MAX_KEYS = 127;
// Children per internal node: one more than its separators.
constexpr int BTREE_MAX_CHILDREN = BTREE_MAX_KEYS + 1;
// Fewest keys a node other than the root keeps through deletions; a split
// leaves one more than this on its left and this many on its right.
constexpr int BTREE_MIN_KEYS = BTREE_MAX_KEYS / 2;
// Recycled nodes kept per pool.
constexpr Py_ssize_t BTREE_FREELIST_MAX = 1024;
// Levels a walk may pass: every internal node but the root has more than
// BTREE_MIN_KEYS children, so no tree of 2^63 items comes near this.
constexpr int BTREE_MAX_DEPTH = 64;

// What the primitive slots of a tree's nodes hold, one kind per tree.
enum class BTreeKeyKind : int32_t {
    None = -1,    // no key yet: the next insertion chooses
    Object = 0,   // keys of mixed or other types: primitives unused
    Int64 = 1,    // every key an exact int within 64 bits or a bool: its value
    Float64 = 2,  // every key an exact float: its value
    Str = 3,      // every key an exact str: its first eight UTF-8 bytes
};

constexpr bool btree_kind_keeps_prims(BTreeKeyKind kind)
{
    return kind > BTreeKeyKind::Object;
}

// Raw machine copy of a key, read as the tree's kind says.
union BTreePrim {
    int64_t i;   // Int64
    double f;    // Float64
    uint64_t u;  // Str: the prefix as a big-endian number
};

struct BTreeNode;

struct BTreeLeafBody {
    PyObject *values[BTREE_MAX_KEYS];  // values[i] belongs to keys[i]; strong references
    BTreePrim prims[BTREE_MAX_KEYS];   // prims[i] is the primitive of keys[i]
    BTreeNode *next;                   // the next leaf in key order; NULL for the last
};

struct BTreeInternalBody {
    BTreePrim prims[BTREE_MAX_KEYS];           // prims[i] is the primitive of separator keys[i]
    BTreeNode *children[BTREE_MAX_CHILDREN];  // children[0..n], the n + 1 subtrees
};

// One block of one size serves as a leaf or as an internal node.
//
// Invariants of every node reachable from a tree's root, kept by every
// operation between two calls (the test build's check() verifies them all):
// - Fill: n <= BTREE_MAX_KEYS everywhere. A node other than the root holds at
//   least BTREE_MIN_KEYS keys, except the rightmost node of each level of a
//   tree made by the bulk build, which may hold fewer: an internal node down
//   to no key over one child, a leaf down to one item. The root of a
//   non-empty tree holds at least one key.
// - Order: a leaf's keys ascend strictly; no two keys of a tree are equal.
// - Separators: keys[i] of an internal node is the very object that is the
//   first key of the subtree children[i + 1]; every key of children[i] is
//   less than it, so a key equal to a separator descends to the right.
// - Depth: every leaf lies at the same depth.
// - Leaf chain: following `next` from the leftmost leaf visits every leaf
//   once, in key order; the last leaf's `next` is NULL.
// - Sizes: a leaf's subtree_size is its n; an internal node's is the sum of
//   its children's; the root's is the tree's size.
// - Primitives: prims[0..n-1] mirror keys[0..n-1] exactly when the tree's key
//   kind keeps primitives; otherwise nothing reads them.
// - References: keys[0..n-1] (and a leaf's values[0..n-1]) hold one strong
//   reference each; the slots from n on hold none.
struct BTreeNode {
    int32_t n;                  // keys in use
    int32_t is_leaf;            // 1 for a leaf, 0 for an internal node
    Py_ssize_t subtree_size;    // items stored below this node
    BTreeNode *free_next;       // next node of a pool while in one; NULL in a live node
    PyObject *keys[BTREE_MAX_KEYS];  // a leaf's item keys, an internal node's separators
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

// The first leaf of a subtree in key order.
inline BTreeNode *btree_leftmost_leaf(BTreeNode *node)
{
    while (!node->is_leaf)
        node = node->inner.children[0];
    return node;
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

// Nodes of a subtree, itself included.
Py_ssize_t btree_subtree_nodes(const BTreeNode *node);

// Garbage-collector traversal of a subtree.
int btree_traverse_node(BTreeNode *node, visitproc visit, void *arg);
