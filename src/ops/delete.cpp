#include "nodes/slots.h"
#include "ops/cache.h"
#include "ops/depth.h"
#include "ops/entry.h"
#include "ops/ops.h"

namespace {

// A new smallest key of a subtree, reported upwards so that the one separator
// that named the removed key can be refreshed.
struct FirstKey {
    PyObject *key = nullptr;
    BTreePrim prim{};
};

struct Removal {
    BTreeCore *tree;
    BTreeReleaseList &pending;
    BTreeChange &change;
    bool copy_prims;
    PyObject *key;
    PyObject **removed;  // receives the removed value (new reference), or NULL
};

// The result of a removal whose key is not in the tree; no exception is set.
constexpr int key_absent = 2;

// Takes slot `idx` out of a leaf; its key and value are released later.
void btree_remove_from_leaf(BTreeNode *leaf, int idx, bool copy_prims, BTreeReleaseList &pending)
{
    int n = leaf->n;
    BTREE_ASSERT(leaf->is_leaf && 0 <= idx && idx < n);
    // Their release comes last; ask for them now so the wait overlaps the moves.
    __builtin_prefetch(leaf->keys[idx], 1);
    __builtin_prefetch(leaf->leaf.values[idx], 1);
    pending.add(leaf->keys[idx]);
    pending.add(leaf->leaf.values[idx]);
    btree_shift_left(leaf->keys, idx, n);
    btree_shift_left(leaf->leaf.values, idx, n);
    if (copy_prims)
        btree_shift_left(leaf->leaf.prims, idx, n);
    leaf->keys[n - 1] = nullptr;
    leaf->leaf.values[n - 1] = nullptr;
    leaf->n = n - 1;
}

void replace_separator(Removal &r, BTreeNode *node, int at, const FirstKey &first)
{
    r.pending.add(node->keys[at]);
    node->keys[at] = Py_NewRef(first.key);
    if (r.copy_prims)
        node->inner.prims[at] = first.prim;
}

// Removes the item at `idx` of `leaf`; reports a new first key.
void remove_at(Removal &r, BTreeNode *leaf, int idx, FirstKey &first)
{
    r.change.mark();
    if (r.removed)
        *r.removed = Py_NewRef(leaf->leaf.values[idx]);
    btree_remove_from_leaf(leaf, idx, r.copy_prims, r.pending);
    r.tree->size--;
    if (idx == 0 && leaf->n > 0) {
        first.key = leaf->keys[0];
        first.prim = leaf->leaf.prims[0];
    }
}

// After a removal from the leaf below `path[0..depth-1]` (the walk went to
// child `at[d]` of `path[d]`): each count on the path loses the item, and
// a new first key of the leaf renames the one separator that named the
// removed key, held by the nearest node where the walk went right of one.
void finish_removal(Removal &r, BTreeNode *const *path, const int *at, Py_ssize_t depth, const FirstKey &first)
{
    for (Py_ssize_t d = 0; d < depth; d++)
        path[d]->inner.sizes[at[d]]--;
    if (!first.key)
        return;
    for (Py_ssize_t d = depth - 1; d >= 0; d--) {
        if (at[d] > 0) {
            replace_separator(r, path[d], at[d] - 1, first);
            return;
        }
    }
}

// Tops up `children[idx]` of `node` before the walk enters it; returns the
// index that now holds its entries. Inlined: it is on every level's path.
[[gnu::always_inline]] inline int top_up(Removal &r, BTreeNode *node, int idx, bool leaves)
{
    // A leaf's key count is its parent's count of its items: the leaf's own
    // memory is asked for meanwhile instead of waited for here.
    BTreeNode *child = node->inner.children[idx];
    Py_ssize_t keys;
    if (leaves) {
        __builtin_prefetch(child);
        btree_prefetch_array(child->leaf.prims);
        keys = node->inner.sizes[idx];
    } else {
        keys = child->n;
    }
    if (keys > BTREE_MIN_KEYS)
        return idx;
    r.change.mark();
    btree_fill(node, idx, r.copy_prims, r.pending);
    return idx > node->n ? idx - 1 : idx;  // the child joined its left sibling
}

// Removal by a descent from the root that tops up every child before it
// enters it, so that the leaf can lose an item: 0, key_absent or -1.
template <BTreeProbe Probe>
int btree_remove(Removal &r, Probe &probe)
{
    BTreeDepthGuard depth_guard(" in btree_remove");
    BTreeNode *path[BTREE_MAX_DEPTH];
    int at[BTREE_MAX_DEPTH];
    int depth = 0;
    BTreeNode *node = r.tree->root;
    while (!node->is_leaf) {
        if (depth_guard.enter() < 0)
            return -1;
        if (depth == BTREE_MAX_DEPTH) {
            PyErr_SetString(PyExc_MemoryError, "BTree is too deep");
            return -1;
        }
        int lo = btree_child_index(node, probe);
        if (lo < 0)
            return -1;
        lo = top_up(r, node, lo, depth + 1 == r.tree->height);
        path[depth] = node;
        at[depth++] = lo;
        node = node->inner.children[lo];
    }
    int found = 0;
    int idx = btree_leaf_index(node, probe, &found);
    if (idx < 0)
        return -1;
    if (!found)
        return key_absent;
    FirstKey first;
    remove_at(r, node, idx, first);
    finish_removal(r, path, at, depth, first);
    return 0;
}

int child_position(const BTreeNode *parent, const BTreeNode *child)
{
    for (int k = 0; k <= parent->n; k++)
        if (parent->inner.children[k] == child)
            return k;
    return -1;
}

constexpr int cached_gave_up = 1;

// Removal along the path of the last successful lookup of this very key
// object: no key comparison above the leaf. Every link is confirmed before it
// is followed. 0, key_absent, -1 with an exception, or cached_gave_up.
template <BTreeProbe Probe>
int cached_removal(Removal &r, Probe &probe)
{
    BTreeCore *tree = r.tree;
    if (tree->cache_key != r.key || tree->cache_version != tree->version || tree->path_len < 1 ||
        tree->path_len > BTREE_MAX_DEPTH || tree->path[0] != tree->root)
        return cached_gave_up;
    // Topping up nodes empties the cache, so the path is read from locals.
    BTreeNode **path = tree->path;
    Py_ssize_t len = tree->path_len;
    int position[BTREE_MAX_DEPTH];
    BTreeNode *node = path[0];
    const int *hint = tree->path_at;
    for (Py_ssize_t i = 0; i + 1 < len; i++) {
        if (node->is_leaf)
            return cached_gave_up;
        // A top-up above may have moved the child within this node.
        int k = hint[i];
        if (k > node->n || node->inner.children[k] != path[i + 1])
            k = child_position(node, path[i + 1]);
        if (k < 0)
            return cached_gave_up;
        k = top_up(r, node, k, i + 1 == tree->height);
        position[i] = k;
        node = path[i + 1] = node->inner.children[k];
    }
    if (!node->is_leaf)
        return cached_gave_up;
    int found = 0, idx = hint[len - 1];
    // The slot holds the key unless a top-up moved the leaf's items.
    if (idx < node->n && node->keys[idx] == r.key)
        found = 1;
    else if constexpr (Probe::can_fail) {
        // The key is usually the very object stored: find it without
        // running a comparison.
        for (int i = 0; i < node->n; i++) {
            if (node->keys[i] == r.key) {
                idx = i;
                found = 1;
                break;
            }
        }
    }
    if (!found) {
        idx = btree_leaf_index(node, probe, &found);
        if (idx < 0)
            return -1;
        // A key object changed since its lookup (a mutable probe) may now
        // belong in another leaf: the full descent finds it.
        if (!found)
            return cached_gave_up;
    }
    FirstKey first;
    remove_at(r, node, idx, first);
    finish_removal(r, path, position, len - 1, first);
    return 0;
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

// The removal once the guard is held, inlined into its callers: 0,
// key_absent or -1.
[[gnu::always_inline]] inline int remove_key(BTreeEntry &entry, BTreeCore *tree, PyObject *key, PyObject **removed)
{
    if (!tree->root)
        return key_absent;
    BTreeChange change(tree, entry.pending);
    Removal r{tree, entry.pending, change, btree_kind_keeps_prims(tree->key_kind), key, removed};
    int rc = entry.with_key<BTreeAccess::Read>(key, [&](auto &probe) {
        int c = cached_removal(r, probe);
        if (c != cached_gave_up)
            return c;
        // The cached walk may have merged the root's last two children.
        if (change.marked())
            collapse_root(tree);
        return btree_remove(r, probe);
    });
    // A failed deletion may have merged at the root too: the tree never keeps
    // a root without keys, which a later top-up could not handle.
    if (rc == 0 || change.marked())
        collapse_root(tree);
    return rc;
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
    BTreeEntry entry(tree, key);
    if (!entry)
        return -1;
    return reported(remove_key(entry, tree, key, nullptr), key);
}

int btree_pop_key(BTreeCore *tree, PyObject *key, PyObject **value)
{
    BTreeEntry entry(tree, key);
    if (!entry)
        return -1;
    int rc = remove_key(entry, tree, key, value);
    return rc == key_absent ? 0 : rc < 0 ? -1 : 1;
}

int btree_remove_key(BTreeEntry &entry, BTreeCore *tree, PyObject *key)
{
    return reported(remove_key(entry, tree, key, nullptr), key);
}
