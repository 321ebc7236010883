// check(tree, strict=True): walks the whole tree once and raises
// AssertionError at the first broken invariant, naming the node by the child
// indices that lead to it from the root.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "btreemap/object.h"
#include "introspect.h"
#include "keys/compare.h"
#include "keys/kind.h"
#include "nodes/cursor.h"
#include "nodes/ref.h"
#include "ops/entry.h"

namespace {

// A corrupt tree may link a node into its own subtree; no real tree comes
// near this height.
constexpr int max_height = BTREE_MAX_DEPTH;

struct Where {
    int index[max_height];
    int depth;
};

struct Checker {
    BTreeCore *tree;
    bool strict;
    int leaf_depth;       // depth of the first leaf met, -1 before
    BTreeNode *prev_leaf; // last leaf met in key order
    PyObject *prev_key;   // last key met in key order
};

// Sets AssertionError "<where>: <message>" and returns -1.
int fail(const Where &w, const char *fmt, ...)
{
    char where[8 + 4 * max_height] = "root";
    if (w.depth > 0) {
        size_t len = static_cast<size_t>(snprintf(where, sizeof where, "node"));
        for (int d = 0; d < w.depth && len < sizeof where; d++)
            len += static_cast<size_t>(snprintf(where + len, sizeof where - len, "%c%d", d ? '/' : ' ', w.index[d]));
    }
    va_list ap;
    va_start(ap, fmt);
    PyObject *message = PyUnicode_FromFormatV(fmt, ap);
    va_end(ap);
    if (message) {
        PyErr_Format(PyExc_AssertionError, "%s: %U", where, message);
        Py_DECREF(message);
    }
    return -1;
}

// Kind, type and primitive of one stored key (an item key or a separator).
int check_key(const Checker &c, const Where &w, BTreeNode *node, int slot)
{
    const char *what = node->is_leaf ? "key" : "separator";
    PyObject *key = node->keys[slot];
    if (!key)
        return fail(w, "%s %d is NULL", what, slot);
    if (PyFloat_Check(key) && std::isnan(PyFloat_AS_DOUBLE(key)))
        return fail(w, "%s %d is a NaN", what, slot);
    PyTypeObject *key_type = c.tree->key_type;
    if (key_type && !Py_IS_TYPE(key, key_type))
        return fail(w, "%s %d %R has type %s, but key_type is %s", what, slot, key, Py_TYPE(key)->tp_name,
                    key_type->tp_name);
    BTreePrim prim = btree_prims(node)[slot];
    if (c.tree->key_kind == BTreeKeyKind::Int64) {
        long long value;
        if (Py_IS_TYPE(key, &PyBool_Type)) {
            value = key == Py_True;
        } else if (PyLong_CheckExact(key)) {
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(key, &overflow);
            if (overflow)
                return fail(w, "%s %d %R is beyond 64 bits in an int64 tree", what, slot, key);
        } else {
            return fail(w, "%s %d %R of type %s in an int64 tree", what, slot, key, Py_TYPE(key)->tp_name);
        }
        if (prim.i != value)
            return fail(w, "%s %d %R has primitive %lld", what, slot, key, static_cast<long long>(prim.i));
    } else if (c.tree->key_kind == BTreeKeyKind::Float64) {
        if (!PyFloat_CheckExact(key))
            return fail(w, "%s %d %R of type %s in a float64 tree", what, slot, key, Py_TYPE(key)->tp_name);
        double value = PyFloat_AS_DOUBLE(key);
        if (memcmp(&prim.f, &value, sizeof value) != 0) {
            PyObject *stored = PyFloat_FromDouble(prim.f);
            if (!stored)
                return -1;
            fail(w, "%s %d %R has primitive %R", what, slot, key, stored);
            Py_DECREF(stored);
            return -1;
        }
    } else if (c.tree->key_kind == BTreeKeyKind::Str) {
        if (!PyUnicode_CheckExact(key))
            return fail(w, "%s %d %R of type %s in a string tree", what, slot, key, Py_TYPE(key)->tp_name);
        // The prefix worked out again from the codec, independently of the
        // module's own encoder.
        PyObject *utf8 = PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass");
        if (!utf8)
            return -1;
        unsigned char bytes[8] = {};
        Py_ssize_t len = PyBytes_GET_SIZE(utf8);
        memcpy(bytes, PyBytes_AS_STRING(utf8), static_cast<size_t>(len < 8 ? len : 8));
        Py_DECREF(utf8);
        uint64_t value = 0;
        for (unsigned char b : bytes)
            value = value << 8 | b;
        if (prim.u != value)
            return fail(w, "%s %d %R has prefix %llx, not %llx", what, slot, key,
                        static_cast<unsigned long long>(prim.u), static_cast<unsigned long long>(value));
    }
    return 0;
}

// Walks the subtree below `node`; `*first` and `*last` receive its smallest
// and largest key (borrowed), `*items` the items counted in its leaves.
// `rightmost`: the node ends its level.
int check_node(Checker &c, BTreeNode *node, Where &w, bool rightmost, PyObject **first, PyObject **last,
               Py_ssize_t *items)
{
    if (w.depth >= max_height)
        return fail(w, "the tree is deeper than %d levels", max_height);
    if (node->is_leaf != 0 && node->is_leaf != 1)
        return fail(w, "is_leaf is %d", node->is_leaf);
    if (node->free_next)
        return fail(w, "a live node has free_next set");
    int n = node->n;
    if (n < 0 || n > BTREE_MAX_KEYS)
        return fail(w, "holds %d keys", n);
    if (w.depth > 0 && n < BTREE_MIN_KEYS) {
        if (c.strict || !rightmost)
            return fail(w, "holds %d keys, fewer than %d", n, BTREE_MIN_KEYS);
        if (node->is_leaf && n == 0)
            return fail(w, "is an empty leaf");
    }
    if (w.depth == 0 && n == 0)
        return fail(w, "the root of a non-empty tree holds no key");
    if (node->is_leaf) {
        if (c.leaf_depth < 0)
            c.leaf_depth = w.depth;
        else if (c.leaf_depth != w.depth)
            return fail(w, "leaf at depth %d, but the first leaf is at depth %d", w.depth, c.leaf_depth);
        if (c.prev_leaf && c.prev_leaf->leaf.next != node)
            return fail(w, "the leaf chain does not lead from the previous leaf to this one");
        c.prev_leaf = node;
        if (node->keys_only != c.tree->keys_only)
            return fail(w, "a leaf whose keys_only is %d in a tree whose keys_only is %d", node->keys_only,
                        c.tree->keys_only);
        *items = n;
        for (int i = 0; i < n; i++) {
            if (check_key(c, w, node, i) < 0)
                return -1;
            if (!node->keys_only && !node->leaf.values[i])
                return fail(w, "value %d is NULL", i);
            PyObject *value = node->keys_only ? nullptr : node->leaf.values[i];
            if (c.tree->pair_values && !(PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2))
                return fail(w, "value %d %R of a tree of pairs is not a pair", i, value);
            PyObject *key = node->keys[i];
            if (c.prev_key) {
                int order = btree_key_cmp(c.prev_key, key);
                if (order == BTREE_CMP_ERROR)
                    return -1;
                if (order != -1 && !(order == 0 && c.tree->equal_keys))
                    return fail(w, "key %d %R does not come after %R", i, key, c.prev_key);
            }
            c.prev_key = key;
        }
        *first = node->keys[0];
        *last = node->keys[n - 1];
        return 0;
    }
    for (int i = 0; i <= n; i++) {
        if (!node->inner.children[i])
            return fail(w, "child %d of %d is NULL", i, n + 1);
    }
    for (int i = 0; i < n; i++) {
        if (check_key(c, w, node, i) < 0)
            return -1;
    }
    Py_ssize_t total = 0;
    w.depth++;
    for (int i = 0; i <= n; i++) {
        w.index[w.depth - 1] = i;
        BTreeNode *child = node->inner.children[i];
        PyObject *child_first = nullptr, *child_last = nullptr;
        Py_ssize_t child_items = 0;
        if (check_node(c, child, w, rightmost && i == n, &child_first, &child_last, &child_items) < 0)
            return -1;
        if (node->inner.sizes[i] != child_items) {
            w.depth--;
            return fail(w, "sizes[%d] is %zd, but child %d holds %zd items", i, node->inner.sizes[i], i,
                        child_items);
        }
        if (i == 0) {
            *first = child_first;
        } else if (node->keys[i - 1] != child_first) {
            w.depth--;
            return fail(w, "separator %d %R is not the first key %R below child %d", i - 1, node->keys[i - 1],
                        child_first, i);
        }
        *last = child_last;
        total += child_items;
    }
    w.depth--;
    for (int i = n + 1; i < BTREE_MAX_CHILDREN; i++) {
        if (node->inner.sizes[i] != 0)
            return fail(w, "sizes[%d] is %zd past the last child", i, node->inner.sizes[i]);
    }
    *items = total;
    return 0;
}

// The cached path, when it claims to be current: root to the leaf that holds
// a key equal to cache_key.
int check_cache(BTreeCore *tree)
{
    Where w{};
    if (tree->equal_keys && tree->cache_key)
        return fail(w, "a tree of equal keys caches the path of %R", tree->cache_key);
    if (!tree->cache_key) {
        if (tree->path_len != 0 || tree->cache_version != 0)
            return fail(w, "empty path cache with path_len %zd and cache_version %llu", tree->path_len,
                        static_cast<unsigned long long>(tree->cache_version));
        return 0;
    }
    if (tree->cache_version != tree->version)
        return 0;
    Py_ssize_t len = tree->path_len;
    if (len < 1)
        return fail(w, "current path cache of %R with path_len %zd", tree->cache_key, len);
    if (tree->path[0] != tree->root)
        return fail(w, "cached path does not start at the root");
    for (Py_ssize_t d = 0; d + 1 < len; d++) {
        BTreeNode *node = tree->path[d];
        if (node->is_leaf)
            return fail(w, "cached path entry %zd is a leaf above the end of the path", d);
        int i = 0;
        while (i <= node->n && node->inner.children[i] != tree->path[d + 1])
            i++;
        if (i > node->n)
            return fail(w, "cached path entry %zd is not a child of entry %zd", d + 1, d);
        if (tree->path_at[d] != i)
            return fail(w, "cached path entry %zd says child %d, not %d", d, tree->path_at[d], i);
        w.index[w.depth++] = i;
    }
    BTreeNode *leaf = tree->path[len - 1];
    if (!leaf->is_leaf)
        return fail(w, "cached path ends in an internal node");
    // The cached key is the object the lookup was given: equal to the stored
    // key at the cached slot, not necessarily the same object.
    int slot = tree->path_at[len - 1];
    if (slot < 0 || slot >= leaf->n)
        return fail(w, "cached slot %d of a leaf of %d keys", slot, leaf->n);
    int c = btree_key_cmp(leaf->keys[slot], tree->cache_key);
    if (c == BTREE_CMP_ERROR)
        return -1;
    if (c == 0)
        return 0;
    return fail(w, "the cached slot holds no key equal to cache_key %R", tree->cache_key);
}

int check_tree(BTreeCore *tree, bool strict)
{
    Where w{};
    int kind = static_cast<int>(tree->key_kind);
    // A kind is None, Object, or one with a record.
    bool known = btree_with_kind_record(
        tree->key_kind, [](auto) { return true; },
        [tree] { return tree->key_kind == BTreeKeyKind::None || tree->key_kind == BTreeKeyKind::Object; });
    if (!known)
        return fail(w, "key_kind %d", kind);
    if (tree->size < 0)
        return fail(w, "size %zd", tree->size);
    if (tree->pair_values && (tree->keys_only || !tree->equal_keys))
        return fail(w, "a tree of pairs with keys_only %d and equal_keys %d", tree->keys_only, tree->equal_keys);
    if (!tree->root != (tree->size == 0))
        return fail(w, "root %s with size %zd", tree->root ? "set" : "NULL", tree->size);
    if ((tree->key_kind == BTreeKeyKind::None) != (tree->size == 0))
        return fail(w, "key_kind %d with size %zd", kind, tree->size);
    if (tree->size == 0 && tree->key_type)
        return fail(w, "empty tree with key_type %s", tree->key_type->tp_name);
    // A buffer may be grown alone when the other's growth fails: the
    // capacity moves only once both have.
    if (tree->path_len < 0 || tree->path_len > tree->path_cap || (tree->path_cap && (!tree->path || !tree->path_at)))
        return fail(w, "path buffers %s and %s with path_len %zd and path_cap %zd", tree->path ? "set" : "NULL",
                    tree->path_at ? "set" : "NULL", tree->path_len, tree->path_cap);
    Py_ssize_t items = 0;
    if (tree->root) {
        Checker c{tree, strict, -1, nullptr, nullptr};
        PyObject *first = nullptr, *last = nullptr;
        if (check_node(c, tree->root, w, true, &first, &last, &items) < 0)
            return -1;
        if (c.prev_leaf->leaf.next)
            return fail(w, "the last leaf's next is not NULL");
        if (c.leaf_depth != tree->height)
            return fail(w, "leaves at depth %d, but the tree's height is %d", c.leaf_depth, tree->height);
    } else if (tree->height != 0) {
        return fail(w, "empty tree of height %d", tree->height);
    }
    if (check_cache(tree) < 0)
        return -1;
    // Last of all, so that a failure here says that every other invariant
    // holds: the count of every node below the root is exact by now.
    if (items != tree->size)
        return fail(w, "the leaves hold %zd items, but the tree's size is %zd", items, tree->size);
    return 0;
}

// In a keyed map, every item's key is key(k) of its pair's k, and no two
// pairs of a run hold equal keys.
int check_keyed_map(PyObject *map)
{
    BTreeCore *tree = btreemap_core(map);
    PyObject *key_function = reinterpret_cast<BTreeMapObject *>(map)->key;
    Where w{};
    BTreeRef run(PyList_New(0));  // the keys k of the run so far
    if (!run)
        return -1;
    BTreeCursor cursor = btree_cursor_start(tree);
    PyObject *prev = nullptr;
    int slot;
    for (Py_ssize_t i = 0; BTreeNode *leaf = btree_cursor_next(cursor, &slot); i++) {
        PyObject *k = PyTuple_GET_ITEM(leaf->leaf.values[slot], 0);
        BTreeRef expected(PyObject_CallOneArg(key_function, k));
        int same = expected ? PyObject_RichCompareBool(expected.get(), leaf->keys[slot], Py_EQ) : -1;
        if (same <= 0)
            return same < 0 ? -1 : fail(w, "item %zd holds %R under %R, not under its key", i, k, leaf->keys[slot]);
        int order = prev ? btree_key_cmp(prev, leaf->keys[slot]) : -1;
        if (order == BTREE_CMP_ERROR || (order != 0 && PyList_SetSlice(run.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0))
            return -1;
        int held = PySequence_Contains(run.get(), k);
        if (held != 0)
            return held < 0 ? -1 : fail(w, "item %zd holds %R, a key its run holds already", i, k);
        if (PyList_Append(run.get(), k) < 0)
            return -1;
        prev = leaf->keys[slot];
    }
    return 0;
}

}  // namespace

PyObject *introspect_check(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"tree", "strict", nullptr};
    PyObject *arg;
    int strict = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|p:check", const_cast<char **>(kwlist), &arg, &strict))
        return nullptr;
    BTreeCore *tree = introspect_tree_arg(arg);
    if (!tree)
        return nullptr;
    // Comparisons run Python code, which must not reach the tree meanwhile.
    BTreeEntry entry(BTreeAccess::Write, tree);
    if (!entry || check_tree(tree, strict) < 0)
        return nullptr;
    if (btreemap_check(arg) && btreemap_keyed(arg) && check_keyed_map(arg) < 0)
        return nullptr;
    Py_RETURN_NONE;
}
