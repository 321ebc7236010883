#include "bulk/build.h"

#include <cstring>
#include <utility>

#include "hints.h"
#include "keys/kind.h"
#include "nodes/tree.h"

namespace {

// Children a parent's grouping asks for ahead of the one it reads.
constexpr Py_ssize_t BUILD_NODES_AHEAD = 8;

// One level of nodes under construction, owned until a parent adopts them.
struct Level {
    BTreeNode **nodes = nullptr;
    Py_ssize_t count = 0;   // nodes in the level
    Py_ssize_t owned = 0;   // nodes from this index on still belong to the level

    Level() = default;
    Level(const Level &) = delete;
    Level &operator=(const Level &) = delete;
    ~Level() { reset(); }

    void reset()
    {
        for (Py_ssize_t i = owned; i < count; i++)
            btree_node_free(nodes[i]);
        btree_mem_free(nodes);
        nodes = nullptr;
        count = owned = 0;
    }

    int allocate(Py_ssize_t n)
    {
        nodes = static_cast<BTreeNode **>(btree_mem_malloc(static_cast<size_t>(n) * sizeof(BTreeNode *)));
        if (!nodes) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
};

int nan_prescan(PyObject **keys, Py_ssize_t n)
{
    for (Py_ssize_t g = 0; g < n; g++)
        if (btree_nan_check(keys[g]) < 0)
            return -1;
    return 0;
}

// Moves `c` items from slot g on into the empty leaf, with the primitives
// the caller knows: whole runs copied, no key object read.
void move_known(BTreeNode *leaf, PyObject **keys, PyObject **values, Py_ssize_t g, int c, const BTreePrim *prims)
{
    size_t bytes = static_cast<size_t>(c) * sizeof(PyObject *);
    memcpy(leaf->keys, keys + g, bytes);
    memset(keys + g, 0, bytes);
    if (values) {
        memcpy(leaf->leaf.values, values + g, bytes);
        memset(values + g, 0, bytes);
    } else if (!leaf->keys_only) {
        for (int j = 0; j < c; j++)
            leaf->leaf.values[j] = Py_NewRef(Py_None);
    }
    memcpy(leaf->leaf.prims, prims + g, static_cast<size_t>(c) * sizeof(BTreePrim));
    leaf->n = c;
}

// Moves the input into full leaves, deriving the key type and kind key by
// key as insertion would. The tree takes them once every leaf is filled; on
// a failure before, the caller detaches the tree, which clears them.
int build_leaves(BTreeCore *tree, PyObject **keys, PyObject **values, Py_ssize_t n, const BTreeKnownKeys *known,
                 Level &leaves)
{
    Py_ssize_t count = (n + BTREE_MAX_KEYS - 1) / BTREE_MAX_KEYS;
    if (leaves.allocate(count) < 0)
        return -1;
    PyTypeObject *key_type = known ? known->key_type : Py_TYPE(keys[0]);
    BTreeKeyKind kind = known ? known->kind : BTreeKeyKind::None;
    BTreeNode *prev = nullptr;
    Py_ssize_t g = 0;
    for (Py_ssize_t l = 0; l < count; l++) {
        BTreeNode *leaf = btree_leaf_alloc(tree->keys_only);
        if (!leaf) {
            PyErr_NoMemory();
            return -1;
        }
        leaves.nodes[leaves.count++] = leaf;
        if (prev)
            prev->leaf.next = leaf;
        prev = leaf;
        int c = static_cast<int>(n - g < BTREE_MAX_KEYS ? n - g : BTREE_MAX_KEYS);
        if (known) {
            move_known(leaf, keys, values, g, c, known->prims);
            g += c;
            continue;
        }
        for (int j = 0; j < c; j++, g++) {
            PyObject *key = keys[g];
            if (g + BTREE_KEYS_AHEAD < n)
                btree_prefetch_key(keys[g + BTREE_KEYS_AHEAD]);
            leaf->keys[j] = key;
            keys[g] = nullptr;
            if (values) {
                leaf->leaf.values[j] = values[g];
                values[g] = nullptr;
            } else if (!leaf->keys_only) {
                leaf->leaf.values[j] = Py_NewRef(Py_None);
            }
            leaf->n = j + 1;
            if (key_type && Py_TYPE(key) != key_type)
                key_type = nullptr;
            if (kind == BTreeKeyKind::Object)
                continue;
            BTreePrim prim;
            std::optional<BTreeKeyKind> cls = btree_key_class(key, &prim);
            if (!cls)
                return -1;
            if (kind == BTreeKeyKind::None && *cls != BTreeKeyKind::Object)
                kind = *cls;
            if (*cls == kind)
                leaf->leaf.prims[j] = prim;
            else
                kind = BTreeKeyKind::Object;
        }
    }
    tree->key_type = key_type;
    tree->key_kind = kind;
    return 0;
}

// Groups the nodes of `below` under full parents (the last may hold fewer); the
// separator before each child is the first key of its leftmost leaf.
int build_parents(Level &below, Level &above, bool copy_prims)
{
    Py_ssize_t m = below.count;
    Py_ssize_t count = (m + BTREE_MAX_CHILDREN - 1) / BTREE_MAX_CHILDREN;
    if (above.allocate(count) < 0)
        return -1;
    for (Py_ssize_t p = 0; p < count; p++) {
        BTreeNode *parent = btree_internal_alloc();
        if (!parent) {
            PyErr_NoMemory();
            return -1;
        }
        above.nodes[above.count++] = parent;
        Py_ssize_t s = p * BTREE_MAX_CHILDREN;
        int k = static_cast<int>(m - s < BTREE_MAX_CHILDREN ? m - s : BTREE_MAX_CHILDREN);
        for (int t = 0; t < k; t++) {
            // A child's header and first primitive, read below, lie on two
            // lines that a level too large for the cache no longer holds.
            if (s + t + BUILD_NODES_AHEAD < m) {
                const BTreeNode *ahead = below.nodes[s + t + BUILD_NODES_AHEAD];
                BTREE_PREFETCH(ahead);
                BTREE_PREFETCH(ahead->leaf.prims);
            }
            BTreeNode *child = below.nodes[s + t];
            parent->inner.children[t] = child;
            parent->inner.sizes[t] = btree_node_size(child);
            if (t > 0) {
                const BTreeNode *first = btree_leftmost_leaf(child);
                parent->keys[t - 1] = Py_NewRef(first->keys[0]);
                if (copy_prims)
                    parent->inner.prims[t - 1] = first->leaf.prims[0];
            }
            parent->n = t;
        }
        below.owned = s + k;
    }
    return 0;
}

// Builds the levels above the leaves of `leaves`, which hold the n items,
// and hands the whole to the tree, whose key type and kind are set. After a
// failure the tree is empty and the levels free what was built. 0 or -1.
int build_upper(BTreeCore *tree, Level &leaves, Py_ssize_t n)
{
    Level other;
    Level *level = &leaves, *above = &other;
    // Separator primitives follow the kind reached after the whole leaf level.
    bool copy_prims = btree_kind_keeps_prims(tree->key_kind);
    while (level->count > 1) {
        if (build_parents(*level, *above, copy_prims) < 0) {
            btree_detach(tree);
            return -1;
        }
        level->reset();
        std::swap(level, above);
        tree->height++;
    }
    tree->root = level->nodes[0];
    level->owned = level->count;
    btree_set_size(tree, n);
    return 0;
}

// Fills keys-only leaves straight from `items` while every key is of the
// record's kind and none sorts before the one kept last: equal keys are all
// kept, in input order, or with `unique` only the first. Unzeroed leaves
// save a pass over each. 0 with every item read (*kept of them in the
// leaves); 1 at the first key that is not of the kind or out of order; -1
// with an exception (a NaN, or no memory). The leaves belong to `leaves`.
template <BTreeKindRecord R>
int stream_leaves(PyObject *const *items, Py_ssize_t n, bool unique, Level &leaves, Py_ssize_t *kept)
{
    BTreePrim last;
    BTreeMade made = R::make(items[0], &last);
    if (made != BTreeMade::Prim)
        return made == BTreeMade::Error ? -1 : 1;
    if (leaves.allocate((n + BTREE_MAX_KEYS - 1) / BTREE_MAX_KEYS) < 0)
        return -1;
    PyObject *last_key = items[0];
    BTreeNode *prev = nullptr;
    Py_ssize_t i = 0, total = 0;
    int rc = 0;
    while (i < n && rc == 0) {
        BTreeNode *leaf = btree_keys_leaf_alloc_unfilled();
        if (!leaf) {
            PyErr_NoMemory();
            return -1;
        }
        if (prev)
            prev->leaf.next = leaf;
        leaves.nodes[leaves.count++] = prev = leaf;
        int c = 0;
        if (i == 0) {
            leaf->keys[0] = Py_NewRef(last_key);
            leaf->leaf.prims[0] = last;
            c = i = 1;
        }
        // The checks ask `less` first: ascending keys take one comparison.
        for (; c < BTREE_MAX_KEYS && i < n; i++) {
            if (i + BTREE_KEYS_AHEAD < n)
                btree_prefetch_key(items[i + BTREE_KEYS_AHEAD]);
            PyObject *key = items[i];
            BTreePrim prim;
            made = R::make(key, &prim);
            if (made != BTreeMade::Prim) {
                rc = made == BTreeMade::Error ? -1 : 1;
                break;
            }
            if (R::less(prim, last)) {
                rc = 1;
                break;
            }
            if (!R::less(last, prim)) {
                int tie = btree_kind_tie<R>(last_key, key);
                if (tie > 0) {
                    rc = 1;
                    break;
                }
                if (tie == 0 && unique)
                    continue;
            }
            leaf->keys[c] = Py_NewRef(key);
            leaf->leaf.prims[c] = prim;
            c++;
            last = prim;
            last_key = key;
        }
        leaf->n = c;
        total += c;
        if (c < BTREE_MAX_KEYS) {
            size_t unused = static_cast<size_t>(BTREE_MAX_KEYS - c);
            memset(leaf->keys + c, 0, unused * sizeof(PyObject *));
            memset(leaf->leaf.prims + c, 0, unused * sizeof(BTreePrim));
        }
    }
    *kept = total;
    return rc;
}

}  // namespace

int btree_build_ascending(BTreeCore *tree, PyObject *const *items, Py_ssize_t n, bool unique)
{
    BTREE_ASSERT(tree->keys_only && !tree->root);
    if (n == 0)
        return 0;
    BTreePrim first;
    std::optional<BTreeKeyKind> kind = btree_key_class(items[0], &first);
    if (!kind)
        return -1;
    Level leaves;
    Py_ssize_t kept = 0;
    int rc = btree_with_kind_record(
        *kind, [&]<class R>(R) { return stream_leaves<R>(items, n, unique, leaves, &kept); }, [] { return 1; });
    if (rc != 0)
        return rc;
    // Each record claims keys of one exact type.
    tree->key_type = Py_TYPE(items[0]);
    tree->key_kind = *kind;
    return build_upper(tree, leaves, kept);
}

int btree_build_sorted(BTreeCore *tree, PyObject **keys, PyObject **values, Py_ssize_t n, const BTreeKnownKeys *known)
{
    BTREE_ASSERT(!(values && tree->keys_only));
    if (n == 0)
        return 0;
    // Keys with known primitives come from trees, which hold no NaN.
    if (!known && nan_prescan(keys, n) < 0)
        return -1;
    Level leaves;
    if (build_leaves(tree, keys, values, n, known, leaves) < 0) {
        btree_detach(tree);  // the level frees what was built
        return -1;
    }
    return build_upper(tree, leaves, n);
}
