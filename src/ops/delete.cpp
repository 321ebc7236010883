#include "hints.h"
#include "nodes/slots.h"
#include "ops/depth.h"
#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// Takes slot `idx` out of a leaf; its key and value are released later.
BTREE_ALWAYS_INLINE inline void remove_from_leaf(BTreeNode *leaf, int idx, bool copy_prims, BTreeReleaseList &pending)
{
    int n = leaf->n;
    BTREE_ASSERT(leaf->is_leaf && 0 <= idx && idx < n);
    // Their release comes last; ask for them now so the wait overlaps the moves.
    BTREE_PREFETCH_WRITE(leaf->keys[idx]);
    pending.add(leaf->keys[idx]);
    btree_shift_left(leaf->keys, idx, n);
    leaf->keys[n - 1] = nullptr;
    if (!leaf->keys_only) {
        BTREE_PREFETCH_WRITE(leaf->leaf.values[idx]);
        pending.add(leaf->leaf.values[idx]);
        btree_shift_left(leaf->leaf.values, idx, n);
        leaf->leaf.values[n - 1] = nullptr;
    }
    if (copy_prims)
        btree_shift_left(leaf->leaf.prims, idx, n);
    leaf->n = n - 1;
}

int child_position(const BTreeNode *parent, const BTreeNode *child)
{
    for (int k = 0; k <= parent->n; k++)
        if (parent->inner.children[k] == child)
            return k;
    return -1;
}

// Tops up `children[idx]` of `node` before the walk enters it; returns the
// index that now holds its entries. Inlined: it is on every level's path.
BTREE_ALWAYS_INLINE inline int top_up(BTreeNode *node, int idx, bool leaves, bool copy_prims, BTreeChange &change,
                                         BTreeReleaseList &pending)
{
    // A leaf's key count is its parent's count of its items: the leaf's own
    // memory is asked for meanwhile instead of waited for here.
    BTreeNode *child = node->inner.children[idx];
    Py_ssize_t keys;
    if (leaves) {
        BTREE_PREFETCH(child);
        btree_prefetch_array(child->leaf.prims);
        keys = node->inner.sizes[idx];
    } else {
        keys = child->n;
    }
    if (keys > BTREE_MIN_KEYS)
        return idx;
    change.mark();
    btree_fill(node, idx, copy_prims, pending);
    return idx > node->n ? idx - 1 : idx;  // the child joined its left sibling
}

// A root left without keys gives way to its only child; an empty root leaf
// leaves the tree empty.
void collapse_root(BTreeCore *tree)
{
    BTreeNode *root = tree->root;
    if (!root || root->n > 0)
        return;
    if (root->is_leaf) {
        btree_reset_empty(tree);
        return;
    }
    tree->root = root->inner.children[0];
    tree->height--;
    btree_mem_free(root);
}

// The removal along a path; `Runs`: the tree holds equal keys side by side.
template <bool Runs>
void remove_at(BTreeCore *tree, BTreePath &path, BTreeChange &change, BTreeReleaseList &pending, PyObject **removed)
{
    BTREE_ASSERT(path.shape_version == tree->shape_version);
    bool copy_prims = btree_kind_keeps_prims(tree->key_kind);
    // The item is found again by its key object once its leaf is topped up;
    // where equal keys repeat, one object may be the key of several items, so
    // the place follows from the leaf and its left sibling instead: a leaf
    // joined to the end of that sibling moves by the sibling's items, one
    // that borrowed from it by the items borrowed, any other not at all.
    BTreeNode *leaf = path.leaf();
    int slot = path.slot();
    [[maybe_unused]] int leaf_n = leaf->n, left_n = 0;
    [[maybe_unused]] BTreeNode *left = nullptr;
    PyObject *target = leaf->keys[slot];
    change.mark();
    // A top-up may move the next node of the path within its parent (a
    // borrow shifts nothing there, a merge into the left sibling does) or
    // merge it away: each link is confirmed, or found again, before it is
    // followed.
    BTreeNode *node = path.nodes[0];
    for (int d = 0; d < path.depth; d++) {
        int k = path.at[d];
        if (k > node->n || node->inner.children[k] != path.nodes[d + 1])
            k = child_position(node, path.nodes[d + 1]);
        BTREE_ASSERT(k >= 0);
        if (Runs && d + 1 == path.depth && k > 0) {
            left = node->inner.children[k - 1];
            left_n = left->n;
        }
        k = top_up(node, k, d + 1 == tree->height, copy_prims, change, pending);
        path.at[d] = k;
        node = path.nodes[d + 1] = node->inner.children[k];
    }
    int idx = slot;
    if constexpr (!Runs) {
        if (idx >= node->n || node->keys[idx] != target) {
            idx = 0;
            while (node->keys[idx] != target)
                idx++;
        }
    } else if (node != leaf) {
        idx += node->n - leaf_n;
    } else if (left && left->n < left_n) {
        idx += left_n - left->n;
    }
    BTREE_ASSERT(0 <= idx && idx < node->n && node->keys[idx] == target);
    if (removed)
        *removed = Py_NewRef(node->keys_only ? node->keys[idx] : node->leaf.values[idx]);
    remove_from_leaf(node, idx, copy_prims, pending);
    btree_set_size(tree, tree->size - 1);
    // Each count on the path loses the item, and a new first key of the leaf
    // renames the one separator that named the removed key, held by the
    // nearest node where the path went right of one.
    for (int d = 0; d < path.depth; d++)
        path.nodes[d]->inner.sizes[path.at[d]]--;
    if (idx == 0 && node->n > 0) {
        for (int d = path.depth - 1; d >= 0; d--) {
            if (path.at[d] > 0) {
                BTreeNode *parent = path.nodes[d];
                pending.add(parent->keys[path.at[d] - 1]);
                parent->keys[path.at[d] - 1] = Py_NewRef(node->keys[0]);
                if (copy_prims)
                    parent->inner.prims[path.at[d] - 1] = node->leaf.prims[0];
                break;
            }
        }
    }
    path.at[path.depth] = idx;
    collapse_root(tree);
}

}  // namespace

void btree_remove_at(BTreeCore *tree, BTreePath &path, BTreeChange &change, BTreeReleaseList &pending,
                     PyObject **removed)
{
    if (tree->equal_keys)
        remove_at<true>(tree, path, change, pending, removed);
    else
        remove_at<false>(tree, path, change, pending, removed);
}

namespace {

// The result of a removal whose key is not in the tree; no exception is set.
constexpr int key_absent = 2;

// The removal by key once the guard is held, inlined into its callers: the
// path of the last lookup of this very key object when the tree has not
// changed since, else a descent. 0, key_absent or -1.
BTREE_ALWAYS_INLINE inline int remove_key(BTreeEntry &entry, BTreeCore *tree, PyObject *key, PyObject **removed)
{
    if (!tree->root)
        return key_absent;
    BTreeDepthGuard depth;
    if (depth.enter(" in btree_remove") < 0)
        return -1;
    BTreeChange change(tree, entry.pending);
    return entry.with_key<BTreeAccess::Read>(key, [&](auto &probe) {
        BTreeLocalPath local;
        BTreePath path;
        // The cached slot held an equal key at the lookup; a key object
        // changed since (a mutable probe) is looked for afresh.
        bool cached = btree_cache_path(tree, key, &path);
        if (cached && path.leaf()->keys[path.slot()] != key) {
            probe.begin_node();
            int c = probe(path.leaf(), path.leaf()->leaf.prims, path.slot());
            if (c == BTREE_CMP_ERROR)
                return -1;
            cached = c == 0 && btree_cache_path(tree, key, &path);
        }
        if (!cached) {
            path = local;
            int found = 0;
            if (btree_descend<BTreeBound::Lower>(tree, probe, path, &found) < 0)
                return -1;
            if (!found)
                return key_absent;
        }
        btree_remove_at(tree, path, change, entry.pending, removed);
        return 0;
    });
}

int reported(int rc, PyObject *key)
{
    if (rc == key_absent) {
        btree_set_key_error(key);
        return -1;
    }
    return rc;
}

}  // namespace

int btree_delete_item(BTreeCore *tree, PyObject *key)
{
    BTreeEntry entry(BTreeAccess::Write, tree, key);
    if (!entry)
        return -1;
    return reported(remove_key(entry, tree, key, nullptr), key);
}

int btree_pop_key(BTreeCore *tree, PyObject *key, PyObject **value)
{
    BTreeEntry entry(BTreeAccess::Write, tree, key);
    if (!entry)
        return -1;
    int rc = remove_key(entry, tree, key, value);
    return rc == key_absent ? 0 : rc < 0 ? -1 : 1;
}
