// The node record shared by every tree algorithm, and the two pools of
// recycled nodes it is taken from.
#pragma once
#include <Python.h>
#include <cstddef>
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

// The values come last, so that a leaf of a tree that keeps no values (a
// sorted list or set of elements) is the same record cut short before them.
struct BTreeLeafBody {
    BTreePrim prims[BTREE_MAX_KEYS];   // prims[i] is the primitive of keys[i]
    BTreeNode *next;                   // the next leaf in key order; NULL for the last
    PyObject *values[BTREE_MAX_KEYS];  // values[i] belongs to keys[i]; strong references
};

struct BTreeInternalBody {
    BTreePrim prims[BTREE_MAX_KEYS];           // prims[i] is the primitive of separator keys[i]
    BTreeNode *children[BTREE_MAX_CHILDREN];  // children[0..n], the n + 1 subtrees
    Py_ssize_t sizes[BTREE_MAX_CHILDREN];      // sizes[i] counts the items below children[i]
};

// A leaf and an internal node share the header and the keys; a leaf's block
// ends after the leaf body, an internal node's is the whole record.
//
// Invariants of every node reachable from a tree's root, kept by every
// operation between two calls (the test build's check() verifies them all):
// - Fill: n <= BTREE_MAX_KEYS everywhere. A node other than the root holds at
//   least BTREE_MIN_KEYS keys, except the rightmost node of each level of a
//   tree made by the bulk build, which may hold fewer: an internal node down
//   to no key over one child, a leaf down to one item. The root of a
//   non-empty tree holds at least one key.
// - Order: a leaf's keys ascend strictly; no two keys of a tree are equal.
//   In a tree of equal keys (BTreeCore::equal_keys) they ascend or repeat:
//   a run of equal keys keeps the order they were added in, and may span
//   leaves.
// - Separators: keys[i] of an internal node is the very object that is the
//   first key of the subtree children[i + 1]; every key of children[i] is
//   less than it, so a key equal to a separator descends to the right. With
//   equal keys, the keys of children[i] are not greater than it: a key
//   equal to a separator may also lie to its left.
// - Depth: every leaf lies at the same depth.
// - Leaf chain: following `next` from the leftmost leaf visits every leaf
//   once, in key order; the last leaf's `next` is NULL.
// - Sizes: an internal node's sizes[i] is the number of items below
//   children[i] (a leaf's n, or the sum of an internal node's sizes). The
//   counts sit with the parent so that a walk by position reads one array
//   per level instead of a header in every child.
// - Primitives: prims[0..n-1] mirror keys[0..n-1] exactly when the tree's key
//   kind keeps primitives; otherwise nothing reads them.
// - References: keys[0..n-1] (and a leaf's values[0..n-1]) hold one strong
//   reference each; the slots from n on hold none.
// - Layout: every leaf of a tree that keeps no values is keys_only, and
//   only those.
struct BTreeNode {
    int32_t n;                  // keys in use
    int16_t is_leaf;            // 1 for a leaf, 0 for an internal node
    int16_t keys_only;          // 1 for a leaf without the value array
    BTreeNode *free_next;       // next node of a pool while in one; NULL in a live node
    PyObject *keys[BTREE_MAX_KEYS];  // a leaf's item keys, an internal node's separators
    union {
        BTreeLeafBody leaf;
        BTreeInternalBody inner;
    };
};

// Bytes of a leaf's block, of a keys-only leaf's and of an internal node's.
constexpr size_t BTREE_LEAF_BYTES = offsetof(BTreeNode, leaf) + sizeof(BTreeLeafBody);
constexpr size_t BTREE_KEYS_LEAF_BYTES = offsetof(BTreeNode, leaf) + offsetof(BTreeLeafBody, values);
constexpr size_t BTREE_INTERNAL_BYTES = sizeof(BTreeNode);

inline size_t btree_node_bytes(const BTreeNode *node)
{
    return !node->is_leaf ? BTREE_INTERNAL_BYTES : node->keys_only ? BTREE_KEYS_LEAF_BYTES : BTREE_LEAF_BYTES;
}

// Items below a node: the sum of its children's counts, or a leaf's n.
inline Py_ssize_t btree_node_size(const BTreeNode *node)
{
    if (node->is_leaf)
        return node->n;
    Py_ssize_t total = 0;
    for (int i = 0; i <= node->n; i++)
        total += node->inner.sizes[i];
    return total;
}

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

extern BTREE_PER_THREAD BTreeNode *btree_leaf_freelist;
extern BTREE_PER_THREAD Py_ssize_t btree_leaf_freelist_size;
extern BTREE_PER_THREAD BTreeNode *btree_keys_leaf_freelist;
extern BTREE_PER_THREAD Py_ssize_t btree_keys_leaf_freelist_size;
extern BTREE_PER_THREAD BTreeNode *btree_internal_freelist;
extern BTREE_PER_THREAD Py_ssize_t btree_internal_freelist_size;

// A block of `bytes` from the pool, zeroed unless the caller writes every
// field itself (`zeroed` false).
inline BTreeNode *btree_node_take(BTreeNode *&list, Py_ssize_t &list_size, size_t bytes, bool zeroed = true)
{
    BTreeNode *node = list;
    if (node) {
        list = node->free_next;
        list_size--;
    } else {
        node = static_cast<BTreeNode *>(btree_mem_malloc(bytes));
        if (!node)
            return nullptr;
    }
    if (zeroed)
        memset(static_cast<void *>(node), 0, bytes);
    return node;
}

// An empty leaf, without the value array when `keys_only`, or NULL when the
// allocator fails (no exception is set).
inline BTreeNode *btree_leaf_alloc(bool keys_only)
{
    BTreeNode *node = keys_only ? btree_node_take(btree_keys_leaf_freelist, btree_keys_leaf_freelist_size,
                                                  BTREE_KEYS_LEAF_BYTES)
                                : btree_node_take(btree_leaf_freelist, btree_leaf_freelist_size, BTREE_LEAF_BYTES);
    if (node) {
        node->is_leaf = 1;
        node->keys_only = keys_only;
    }
    return node;
}

// An empty keys-only leaf whose slots are left as the allocator gives them,
// for a caller that fills them all (and zeroes those it leaves unused), or
// NULL when the allocator fails.
inline BTreeNode *btree_keys_leaf_alloc_unfilled()
{
    BTreeNode *node =
        btree_node_take(btree_keys_leaf_freelist, btree_keys_leaf_freelist_size, BTREE_KEYS_LEAF_BYTES, false);
    if (node) {
        node->n = 0;
        node->is_leaf = 1;
        node->keys_only = 1;
        node->free_next = nullptr;
        node->leaf.next = nullptr;
    }
    return node;
}

// A zeroed internal node, or NULL when the allocator fails.
inline BTreeNode *btree_internal_alloc()
{
    return btree_node_take(btree_internal_freelist, btree_internal_freelist_size, BTREE_INTERNAL_BYTES);
}

// Releases a whole subtree: every key and value loses the tree's reference and
// the nodes go back to the pools (or to the allocator once a pool is full).
void btree_node_free(BTreeNode *node);

// Bytes of the nodes of a subtree, itself included.
size_t btree_subtree_bytes(const BTreeNode *node);

// Garbage-collector traversal of a subtree.
int btree_traverse_node(BTreeNode *node, visitproc visit, void *arg);
