// Removal of a run of positions. The two ends are found by position; the
// subtrees strictly between the two paths are cut off whole, the nodes on the
// paths lose what lies inside the run, and the two edges left behind are
// joined level by level. Node work is a constant per level: O(log n), plus
// the release of the k references taken out.
#include "nodes/scratch.h"
#include "nodes/slots.h"
#include "ops/cache.h"
#include "ops/depth.h"
#include "ops/descend.h"
#include "ops/entry.h"
#include "ops/ops.h"
#include "ops/path.h"

namespace {

// What a removal takes out of the tree, let go once the tree is consistent
// and its guard free, since a finaliser may run any Python code: the keys,
// values and separators cut from the nodes on the two paths, and the subtrees
// cut off whole. Its room is reserved before the tree is touched, so that the
// removal cannot fail halfway.
class Removed {
public:
    Removed() = default;
    Removed(const Removed &) = delete;
    Removed &operator=(const Removed &) = delete;
    ~Removed()
    {
        for (Py_ssize_t i = 0; i < refs_; i++)
            Py_DECREF(static_cast<PyObject *>(slots_[i]));
        for (Py_ssize_t i = 0; i < nodes_; i++)
            btree_node_free(static_cast<BTreeNode *>(slots_[capacity_ - 1 - i]));
        btree_node_free(whole_);
        btree_scratch_free(slots_);
    }

    // Room for `count` references and subtrees together. 0, or -1 with
    // MemoryError.
    int reserve(Py_ssize_t count)
    {
        if (count == 0)
            return 0;
        slots_ = static_cast<void **>(btree_scratch_malloc(static_cast<size_t>(count) * sizeof(void *)));
        if (!slots_) {
            PyErr_NoMemory();
            return -1;
        }
        capacity_ = count;
        return 0;
    }

    // References fill the room from the front, subtrees from the back.
    void add(PyObject *op)
    {
        BTREE_ASSERT(refs_ + nodes_ < capacity_);
        slots_[refs_++] = op;
    }
    void add(BTreeNode *node)
    {
        BTREE_ASSERT(refs_ + nodes_ < capacity_);
        slots_[capacity_ - 1 - nodes_++] = node;
    }
    // The nodes of a tree emptied at once.
    void add_whole(BTreeNode *root) { whole_ = root; }

private:
    void **slots_ = nullptr;
    Py_ssize_t capacity_ = 0;
    Py_ssize_t refs_ = 0;
    Py_ssize_t nodes_ = 0;
    BTreeNode *whole_ = nullptr;
};

// Removes the items [from, to) of a leaf.
void cut_leaf(BTreeNode *leaf, int from, int to, bool copy_prims, Removed &removed)
{
    int n = leaf->n;
    for (int i = from; i < to; i++) {
        removed.add(leaf->keys[i]);
        if (!leaf->keys_only)
            removed.add(leaf->leaf.values[i]);
    }
    btree_move_leaf_items(leaf, from, leaf, to, n - to, copy_prims);
    btree_clear_leaf_slots(leaf, n - (to - from), n);
    leaf->n = n - (to - from);
}

// Removes the children [from, to) of an internal node with as many
// separators: those before them, or those after them when `from` is 0 (a
// node keeps a first child, not a first separator).
void cut_children(BTreeNode *node, int from, int to, Removed &removed)
{
    int n = node->n;
    int first_key = from > 0 ? from - 1 : 0;
    int gone = to - from;
    for (int i = from; i < to; i++)
        removed.add(node->inner.children[i]);
    for (int i = first_key; i < first_key + gone; i++)
        removed.add(node->keys[i]);
    btree_move_slots(node->keys + first_key, node->keys + first_key + gone, n - first_key - gone);
    btree_move_slots(node->inner.prims + first_key, node->inner.prims + first_key + gone, n - first_key - gone);
    btree_move_slots(node->inner.children + from, node->inner.children + to, n + 1 - to);
    btree_move_slots(node->inner.sizes + from, node->inner.sizes + to, n + 1 - to);
    memset(static_cast<void *>(node->keys + n - gone), 0, sizeof(PyObject *) * gone);
    memset(static_cast<void *>(node->inner.children + n + 1 - gone), 0, sizeof(BTreeNode *) * gone);
    memset(static_cast<void *>(node->inner.sizes + n + 1 - gone), 0, sizeof(Py_ssize_t) * gone);
    node->n = n - gone;
}

// Makes `want` items the share of the left of the leaves children[li] and
// children[li + 1], the rest going to the right one; the separator between
// them names the right one's new first key.
void share_leaves(BTreeNode *parent, int li, int want, bool copy_prims, BTreeReleaseList &pending)
{
    BTreeNode *a = parent->inner.children[li], *b = parent->inner.children[li + 1];
    int an = a->n, bn = b->n, total = an + bn;
    if (want > an) {
        int m = want - an;
        btree_move_leaf_items(a, an, b, 0, m, copy_prims);
        btree_move_leaf_items(b, 0, b, m, bn - m, copy_prims);
        btree_clear_leaf_slots(b, bn - m, bn);
    } else if (want < an) {
        int m = an - want;
        btree_move_leaf_items(b, m, b, 0, bn, copy_prims);
        btree_move_leaf_items(b, 0, a, want, m, copy_prims);
        btree_clear_leaf_slots(a, want, an);
    }
    a->n = want;
    b->n = total - want;
    parent->inner.sizes[li] = want;
    parent->inner.sizes[li + 1] = total - want;
    pending.add(parent->keys[li]);
    parent->keys[li] = Py_NewRef(b->keys[0]);
    parent->inner.prims[li] = b->leaf.prims[0];
}

// Joins the leaves children[li] and children[li + 1] into one when they fit,
// else shares their items evenly.
void join_leaves(BTreeNode *parent, int li, bool copy_prims, BTreeReleaseList &pending)
{
    int total = parent->inner.children[li]->n + parent->inner.children[li + 1]->n;
    if (total <= BTREE_MAX_KEYS)
        btree_merge(parent, li, copy_prims, pending);
    else
        share_leaves(parent, li, total / 2, copy_prims, pending);
}

// Makes `want` children the share of the left of the internal nodes
// children[li] and children[li + 1]: the entries between them rotate through
// the parent's separator, which stays the first key of the right subtree.
void share_children(BTreeNode *parent, int li, int want)
{
    BTreeNode *a = parent->inner.children[li], *b = parent->inner.children[li + 1];
    int an = a->n, bn = b->n, ca = an + 1;
    Py_ssize_t moved = 0;
    if (want > ca) {
        int m = want - ca;
        a->keys[an] = parent->keys[li];
        a->inner.prims[an] = parent->inner.prims[li];
        btree_move_slots(a->keys + an + 1, b->keys, m - 1);
        btree_move_slots(a->inner.prims + an + 1, b->inner.prims, m - 1);
        btree_move_slots(a->inner.children + ca, b->inner.children, m);
        btree_move_slots(a->inner.sizes + ca, b->inner.sizes, m);
        for (int i = 0; i < m; i++)
            moved += b->inner.sizes[i];
        parent->keys[li] = b->keys[m - 1];
        parent->inner.prims[li] = b->inner.prims[m - 1];
        btree_move_slots(b->keys, b->keys + m, bn - m);
        btree_move_slots(b->inner.prims, b->inner.prims + m, bn - m);
        btree_move_slots(b->inner.children, b->inner.children + m, bn + 1 - m);
        btree_move_slots(b->inner.sizes, b->inner.sizes + m, bn + 1 - m);
        memset(static_cast<void *>(b->keys + bn - m), 0, sizeof(PyObject *) * m);
        memset(static_cast<void *>(b->inner.children + bn + 1 - m), 0, sizeof(BTreeNode *) * m);
        memset(static_cast<void *>(b->inner.sizes + bn + 1 - m), 0, sizeof(Py_ssize_t) * m);
        a->n = an + m;
        b->n = bn - m;
        parent->inner.sizes[li] += moved;
        parent->inner.sizes[li + 1] -= moved;
    } else if (want < ca) {
        int m = ca - want;
        btree_move_slots(b->keys + m, b->keys, bn);
        btree_move_slots(b->inner.prims + m, b->inner.prims, bn);
        btree_move_slots(b->inner.children + m, b->inner.children, bn + 1);
        btree_move_slots(b->inner.sizes + m, b->inner.sizes, bn + 1);
        b->keys[m - 1] = parent->keys[li];
        b->inner.prims[m - 1] = parent->inner.prims[li];
        btree_move_slots(b->keys, a->keys + want, m - 1);
        btree_move_slots(b->inner.prims, a->inner.prims + want, m - 1);
        btree_move_slots(b->inner.children, a->inner.children + want, m);
        btree_move_slots(b->inner.sizes, a->inner.sizes + want, m);
        for (int i = 0; i < m; i++)
            moved += b->inner.sizes[i];
        parent->keys[li] = a->keys[want - 1];
        parent->inner.prims[li] = a->inner.prims[want - 1];
        memset(static_cast<void *>(a->keys + want - 1), 0, sizeof(PyObject *) * m);
        memset(static_cast<void *>(a->inner.children + want), 0, sizeof(BTreeNode *) * m);
        memset(static_cast<void *>(a->inner.sizes + want), 0, sizeof(Py_ssize_t) * m);
        a->n = want - 1;
        b->n = bn + m;
        parent->inner.sizes[li] -= moved;
        parent->inner.sizes[li + 1] += moved;
    }
}

// Brings the short child `children[j]` of `parent` (which has another child)
// back to the fewest keys, from a sibling: the two merge when they fit in one
// node, else share their entries. A child without keys may sit over a short
// child of its own, which then meets siblings of its own and is settled in
// turn; its holder gets the larger share, so that it keeps the fewest keys
// after that settling takes one.
void settle(BTreeNode *parent, int j, bool copy_prims, BTreeReleaseList &pending)
{
    for (;;) {
        BTREE_ASSERT(!parent->is_leaf && parent->n >= 1);
        BTreeNode *node = parent->inner.children[j];
        bool from_left = j > 0;
        int li = from_left ? j - 1 : j;
        BTreeNode *a = parent->inner.children[li], *b = parent->inner.children[li + 1];
        if (node->is_leaf) {
            join_leaves(parent, li, copy_prims, pending);
            return;
        }
        bool short_below = node->n == 0 && node->inner.children[0]->n < BTREE_MIN_KEYS;
        int an = a->n, children = a->n + b->n + 2;
        BTreeNode *holder;
        int at;
        if (children - 1 <= BTREE_MAX_KEYS) {
            btree_merge(parent, li, copy_prims, pending);
            holder = a;
            at = from_left ? an + 1 : 0;
        } else {
            share_children(parent, li, from_left ? children / 2 : (children + 1) / 2);
            holder = from_left ? b : a;
            at = from_left ? b->n : 0;
        }
        if (!short_below)
            return;
        parent = holder;
        j = at;
    }
}

// The nodes from the root down to where the two edges were joined, and the
// child taken at each: every node off it is whole, those on it may be short.
struct Seam {
    BTreeNode *nodes[BTREE_MAX_DEPTH + 1];
    int at[BTREE_MAX_DEPTH + 1];
};

// Joins the children s and s + 1 of `node`, at level d: the left one's last
// edge and the right one's first edge were cut. Top down, the two merge when
// they fit in one node, else share their entries without parting the two
// children at the seam below, which are then joined in the same way. Fills
// the seam from level d down.
void join_edges(BTreeNode *node, int s, int d, bool copy_prims, BTreeReleaseList &pending, Seam &seam)
{
    for (;; d++) {
        seam.nodes[d] = node;
        seam.at[d] = s;
        BTreeNode *a = node->inner.children[s], *b = node->inner.children[s + 1];
        if (a->is_leaf) {
            join_leaves(node, s, copy_prims, pending);
            seam.nodes[d + 1] = a;
            return;
        }
        int ca = a->n + 1, children = a->n + b->n + 2;
        if (children - 1 <= BTREE_MAX_KEYS) {
            btree_merge(node, s, copy_prims, pending);
            node = a;
            s = ca - 1;
            continue;
        }
        // Both shares keep the fewest keys: there are at least 2 * MIN + 3
        // children, so the middle can move by one off the seam.
        int want = children / 2;
        if (want == ca)
            want++;
        share_children(node, s, want);
        if (want > ca) {
            node = a;
            s = ca - 1;
        } else {
            seam.at[d] = s + 1;
            node = b;
            s = ca - 1 - want;
        }
    }
}

// The deepest level where the two paths share their node; 0 when one is
// absent.
int parting_level(int height, const BTreePath *left, const BTreePath *right)
{
    int d = 0;
    if (left && right) {
        while (d < height && left->nodes[d + 1] == right->nodes[d + 1])
            d++;
    }
    return d;
}

// References and subtrees a removal of [start, stop) takes out of the nodes
// on its paths, the ends given by `left` (on the item before start) and
// `right` (on the item at stop), either absent at the tree's edge.
Py_ssize_t count_removed(int height, const BTreePath *left, const BTreePath *right)
{
    Py_ssize_t count = 0;
    int d = parting_level(height, left, right);
    if (left && right) {
        if (d == height)
            return 2 * static_cast<Py_ssize_t>(right->slot() - left->slot() - 1);
        // The children strictly between the two paths, and the separators
        // from the left path's on, one of which is named again.
        count += 2 * static_cast<Py_ssize_t>(right->at[d] - left->at[d]) - 1;
        d++;
    }
    for (; d < height; d++) {
        if (left)
            count += 2 * static_cast<Py_ssize_t>(left->nodes[d]->n - left->at[d]);
        if (right)
            count += 2 * static_cast<Py_ssize_t>(right->at[d]);
    }
    if (left)
        count += 2 * static_cast<Py_ssize_t>(left->leaf()->n - left->slot() - 1);
    if (right)
        count += 2 * static_cast<Py_ssize_t>(right->slot());
    return count;
}

}  // namespace

namespace {

// Removes the items at positions [start, stop), 0 <= start < stop <= size,
// under the entry's guard. 0, or -1 with MemoryError and nothing changed.
int remove_span(BTreeEntry &entry, Removed &removed, BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop)
{
    BTreeChange change(tree, entry.pending);
    if (start == 0 && stop == tree->size) {
        removed.add_whole(btree_detach(tree));
        change.mark();
        return 0;
    }
    // The edges kept: the item before the run and the item after it.
    BTreeLocalPath left_path, right_path;
    BTreePath *left = nullptr, *right = nullptr;
    if (start > 0) {
        btree_descend_at(tree, start - 1, left_path);
        left = &left_path;
    }
    if (stop < tree->size) {
        btree_descend_at(tree, stop, right_path);
        right = &right_path;
    }
    int height = tree->height;
    if (removed.reserve(count_removed(height, left, right)) < 0)
        return -1;
    change.mark();
    bool copy_prims = btree_kind_keeps_prims(tree->key_kind);
    Py_ssize_t gone = stop - start;
    btree_set_size(tree, tree->size - gone);
    Seam seam;
    int top = parting_level(height, left, right);
    const BTreePath &kept = left ? *left : *right;
    for (int d = 0; d < top; d++) {
        kept.nodes[d]->inner.sizes[kept.at[d]] -= gone;
        seam.nodes[d] = kept.nodes[d];
        seam.at[d] = kept.at[d];
    }
    if (left && right && top == height) {
        cut_leaf(left->leaf(), left->slot() + 1, right->slot(), copy_prims, removed);
        seam.nodes[height] = left->leaf();
    } else {
        PyObject *first_right = right ? right->leaf()->keys[right->slot()] : nullptr;
        BTreePrim first_prim = right ? right->leaf()->leaf.prims[right->slot()] : BTreePrim{};
        if (left) {
            BTreeNode *leaf = left->leaf();
            cut_leaf(leaf, left->slot() + 1, leaf->n, copy_prims, removed);
            leaf->leaf.next = right ? right->leaf() : nullptr;
        }
        if (right)
            cut_leaf(right->leaf(), 0, right->slot(), copy_prims, removed);
        // Each edge's nodes lose what lies beyond it, from the leaves up, so
        // that each count is taken from a child already cut.
        int below_top = left && right ? top + 1 : 0;
        for (int d = height - 1; d >= below_top; d--) {
            if (left) {
                BTreeNode *node = left->nodes[d];
                int at = left->at[d];
                cut_children(node, at + 1, node->n + 1, removed);
                node->inner.sizes[at] = btree_node_size(left->nodes[d + 1]);
            }
            if (right) {
                BTreeNode *node = right->nodes[d];
                cut_children(node, 0, right->at[d], removed);
                node->inner.sizes[0] = btree_node_size(right->nodes[d + 1]);
                right->at[d] = 0;
            }
        }
        if (left && right) {
            // The node where the paths part loses the children between them;
            // the separator left between the two edges names the first key
            // kept on the right.
            BTreeNode *node = left->nodes[top];
            int at = left->at[top];
            cut_children(node, at + 1, right->at[top], removed);
            removed.add(node->keys[at]);
            node->keys[at] = Py_NewRef(first_right);
            node->inner.prims[at] = first_prim;
            node->inner.sizes[at] = btree_node_size(left->nodes[top + 1]);
            node->inner.sizes[at + 1] = btree_node_size(right->nodes[top + 1]);
            join_edges(node, at, top, copy_prims, entry.pending, seam);
        } else {
            for (int d = 0; d <= height; d++) {
                seam.nodes[d] = kept.nodes[d];
                seam.at[d] = kept.at[d];
            }
        }
    }
    // Bottom up, each short node on the seam is settled with a sibling; a
    // node over a single child leaves it to the level above.
    for (int d = height; d >= 1; d--) {
        BTreeNode *parent = seam.nodes[d - 1];
        if (seam.nodes[d]->n < BTREE_MIN_KEYS && parent->n >= 1)
            settle(parent, seam.at[d - 1], copy_prims, entry.pending);
    }
    BTreeNode *root = tree->root;
    while (!root->is_leaf && root->n == 0) {
        tree->root = root->inner.children[0];
        tree->height--;
        btree_mem_free(root);
        root = tree->root;
    }
    return 0;
}

// The number of keys before `key` (or, with `or_equal`, not after it), found
// by one descent; -1 with an exception.
Py_ssize_t bound_rank(BTreeEntry &entry, BTreeCore *tree, PyObject *key, bool or_equal)
{
    BTreeLocalPath path;
    int found = 0;
    return btree_descend_to(entry, tree, key, or_equal, path, &found) < 0 ? -1 : btree_path_rank(tree, path);
}

}  // namespace

namespace {

// Removes the positions that `clip(size, &start, &stop)` gives, in one
// entry; the number removed, or -1.
template <class Clip>
Py_ssize_t remove_positions(BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop, Clip &&clip)
{
    Removed removed;  // released after the entry: once the guard is free
    BTreeEntry entry(BTreeAccess::Write, tree);
    if (!entry)
        return -1;
    clip(tree->size, &start, &stop);
    if (start >= stop)
        return 0;
    return remove_span(entry, removed, tree, start, stop) < 0 ? -1 : stop - start;
}

}  // namespace

Py_ssize_t btree_remove_range(BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop)
{
    return remove_positions(tree, start, stop, [](Py_ssize_t size, Py_ssize_t *from, Py_ssize_t *to) {
        *from = *from < 0 ? 0 : *from;
        *to = *to > size ? size : *to;
    });
}

Py_ssize_t btree_remove_slice(BTreeCore *tree, Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step)
{
    return remove_positions(tree, start, stop, [step](Py_ssize_t size, Py_ssize_t *from, Py_ssize_t *to) {
        Py_ssize_t count = PySlice_AdjustIndices(size, from, to, step);
        *from = step > 0 ? *from : *to + 1;
        *to = *from + count;
    });
}

Py_ssize_t btree_remove_range_keys(BTreeCore *tree, PyObject *min, PyObject *max, bool inclusive_min,
                                   bool inclusive_max, PyObject **count)
{
    min = min ? min : Py_None;
    max = max ? max : Py_None;
    Removed removed;
    BTreeEntry entry(BTreeAccess::Write, tree, min, max);
    if (!entry)
        return -1;
    BTreeDepthGuard depth;
    if (depth.enter(" in btree_remove_range") < 0)
        return -1;
    Py_ssize_t start = 0, stop = tree->size;
    if (tree->root && min != Py_None && (start = bound_rank(entry, tree, min, !inclusive_min)) < 0)
        return -1;
    if (tree->root && max != Py_None && (stop = bound_rank(entry, tree, max, inclusive_max)) < 0)
        return -1;
    stop = stop > start ? stop : start;
    // The count's object is made before anything goes, so that failing to
    // make it removes nothing. A collection it runs cannot change the tree:
    // the tree is in use, so reachable, and guarded against every call.
    if (count && !(*count = PyLong_FromSsize_t(stop - start)))
        return -1;
    if (start < stop && remove_span(entry, removed, tree, start, stop) < 0) {
        if (count)
            Py_CLEAR(*count);
        return -1;
    }
    return stop - start;
}

int btree_delete_at(BTreeCore *tree, Py_ssize_t index)
{
    BTreeEntry entry(BTreeAccess::Write, tree, nullptr);
    if (!entry)
        return -1;
    if (index < 0)
        index += tree->size;
    if (index < 0 || index >= tree->size) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return -1;
    }
    BTreeLocalPath path;
    btree_descend_at(tree, index, path);
    BTreeChange change(tree, entry.pending);
    btree_remove_at(tree, path, change, entry.pending, nullptr);
    return 0;
}
