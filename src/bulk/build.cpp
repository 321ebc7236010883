#include "bulk/build.h"

#include <cstring>
#include <utility>

#include "keys/kind.h"
#include "nodes/tree.h"

namespace {

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

}  // namespace

int btree_build_sorted(BTreeCore *tree, PyObject **keys, PyObject **values, Py_ssize_t n, const BTreeKnownKeys *known)
{
    BTREE_ASSERT(!(values && tree->keys_only));
    if (n == 0)
        return 0;
    // Keys with known primitives come from trees, which hold no NaN.
    if (!known && nan_prescan(keys, n) < 0)
        return -1;
    Level first, second;
    Level *level = &first, *above = &second;
    if (build_leaves(tree, keys, values, n, known, *level) < 0) {
        btree_detach(tree);  // the levels free what was built
        return -1;
    }
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
