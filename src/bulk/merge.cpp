#include "bulk/merge.h"

#include "bulk/build.h"
#include "keys/compare.h"
#include "keys/search.h"
#include "nodes/cursor.h"
#include "nodes/ref.h"
#include "ops/guard.h"

namespace {

// The merged keys, each slot holding a reference of its own, and beside them
// their primitives when both inputs are trees of one primitive key kind.
class KeyList {
public:
    explicit KeyList(const BTreeKnownKeys *known = nullptr) : known_(known) {}
    KeyList(const KeyList &) = delete;
    KeyList &operator=(const KeyList &) = delete;
    ~KeyList()
    {
        for (Py_ssize_t i = 0; i < count_; i++)
            Py_XDECREF(items_[i]);
        btree_mem_free(items_);
        btree_mem_free(prims_);
    }

    // Takes over `key`; releases it when the list cannot grow.
    int append(PyObject *key, const BTreePrim *prim = nullptr)
    {
        if (count_ == capacity_ && grow() < 0) {
            Py_DECREF(key);
            return -1;
        }
        if (prim)
            prims_[count_] = *prim;
        items_[count_++] = key;
        return 0;
    }

    int build(BTreeCore *dst)
    {
        BTreeKnownKeys known;
        if (known_) {
            known = *known_;
            known.prims = prims_;
        }
        return btree_build_sorted(dst, items_, nullptr, count_, known_ ? &known : nullptr);
    }

private:
    int grow()
    {
        Py_ssize_t capacity = capacity_ ? capacity_ * 2 : 256;
        void *items = btree_mem_realloc(items_, static_cast<size_t>(capacity) * sizeof(PyObject *));
        if (!items)
            return PyErr_NoMemory(), -1;
        items_ = static_cast<PyObject **>(items);
        if (known_) {
            void *prims = btree_mem_realloc(prims_, static_cast<size_t>(capacity) * sizeof(BTreePrim));
            if (!prims)
                return PyErr_NoMemory(), -1;
            prims_ = static_cast<BTreePrim *>(prims);
        }
        capacity_ = capacity;
        return 0;
    }

    const BTreeKnownKeys *known_;
    PyObject **items_ = nullptr;
    BTreePrim *prims_ = nullptr;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = 0;
};

// One input side: a walk along the tree's leaf chain, holding the key it is
// at. Comparing keys runs Python code, which may change the tree: every step
// first checks that it has not changed.
class Side {
public:
    explicit Side(const BTreeCore *tree) : tree_(tree), cursor_(btree_cursor_start(tree)) {}

    // Moves to the next key: 0 (`key()` NULL at the end), or -1 when the tree
    // changed under the walk.
    int advance()
    {
        key_.reset();
        if (!btree_cursor_valid(cursor_, tree_))
            return -1;
        int slot;
        if (BTreeNode *leaf = btree_cursor_next(cursor_, &slot))
            key_ = BTreeRef::share(leaf->keys[slot]);
        return 0;
    }

    PyObject *key() const { return key_.get(); }
    const BTreePrim *prim() const { return nullptr; }
    PyObject *take() { return key_.release(); }

private:
    const BTreeCore *tree_;
    BTreeCursor cursor_;
    BTreeRef key_;
};

// One input side of two trees of the same primitive key kind, read straight
// from the leaf chain: comparing primitives (and exact strings) runs no Python
// code, so neither tree can change during the walk.
class PrimSide {
public:
    PrimSide(const BTreeCore *tree, BTreeKeyKind kind) : leaf_(btree_cursor_start(tree).leaf), kind_(kind)
    {
        settle();
    }

    int advance()
    {
        pos_++;
        settle();
        return 0;
    }

    PyObject *key() const { return leaf_ ? leaf_->keys[pos_] : nullptr; }
    PyObject *take() const { return Py_NewRef(leaf_->keys[pos_]); }
    const BTreePrim *prim() const { return &leaf_->leaf.prims[pos_]; }

    int compare(const PrimSide &other) const
    {
        const BTreePrim &a = leaf_->leaf.prims[pos_], &b = other.leaf_->leaf.prims[other.pos_];
        if (kind_ == BTreeKeyKind::Int64)
            return (a.i > b.i) - (a.i < b.i);
        if (kind_ == BTreeKeyKind::Float64)
            return btree_f64_cmp(a.f, b.f);
        if (a.u != b.u)
            return a.u < b.u ? -1 : 1;
        return btree_str_cmp(key(), other.key());
    }

private:
    void settle()
    {
        while (leaf_ && pos_ >= leaf_->n) {
            leaf_ = leaf_->leaf.next;
            pos_ = 0;
        }
        // Taking a key writes its reference count: ask for the objects a few
        // places ahead so that their cache misses overlap.
        if (leaf_ && pos_ + ahead < leaf_->n)
            __builtin_prefetch(leaf_->keys[pos_ + ahead], 1);
    }

    static constexpr int ahead = 8;

    BTreeNode *leaf_;
    int pos_ = 0;
    BTreeKeyKind kind_;
};

int compare(const PrimSide &x, const PrimSide &y)
{
    return x.compare(y);
}

int compare_objects(PyObject *x, PyObject *y)
{
    if (x == y)
        return 0;
    PyTypeObject *type = Py_TYPE(x);
    // Two objects of one exact type can use that type's shortcut.
    if (type == Py_TYPE(y) && type->tp_richcompare) {
        int c = btree_key_cmp_fast(x, y, type);
        if (c != BTREE_CMP_UNDECIDED)
            return c;
    }
    return btree_key_cmp(x, y);
}

int compare(const Side &x, const Side &y)
{
    return compare_objects(x.key(), y.key());
}

template <class S>
int drain(S &side, KeyList &keys)
{
    while (side.key()) {
        if (keys.append(side.take(), side.prim()) < 0 || side.advance() < 0)
            return -1;
    }
    return 0;
}

template <class S>
int merge_walk(S &x, S &y, BTreeSetOp op, KeyList &keys)
{
    bool keep_left = op != BTreeSetOp::Intersection;
    bool keep_right = op == BTreeSetOp::Union;
    bool keep_both = op != BTreeSetOp::Difference;
    while (x.key() && y.key()) {
        int c = compare(x, y);
        if (c == BTREE_CMP_ERROR)
            return -1;
        int rc;
        if (c < 0)
            rc = keep_left ? keys.append(x.take(), x.prim()) : 0;
        else if (c > 0)
            rc = keep_right ? keys.append(y.take(), y.prim()) : 0;
        else
            rc = keep_both ? keys.append(x.take(), x.prim()) : 0;
        if (rc < 0)
            return -1;
        if (c <= 0 && x.advance() < 0)
            return -1;
        if (c >= 0 && y.advance() < 0)
            return -1;
    }
    if (keep_left && drain(x, keys) < 0)
        return -1;
    if (keep_right && drain(y, keys) < 0)
        return -1;
    return 0;
}

}  // namespace

int btree_set_merge(BTreeCore *dst, BTreeCore *left, BTreeCore *right, BTreeSetOp op)
{
    if (btree_guard_test(left) < 0 || btree_guard_test(right) < 0)
        return -1;
    if (btree_kind_keeps_prims(left->key_kind) && left->key_kind == right->key_kind) {
        PrimSide x(left, left->key_kind), y(right, right->key_kind);
        // The result's keys are all of this kind; their common type is known
        // only when both trees have the same one.
        PyTypeObject *type = left->key_type == right->key_type ? left->key_type : nullptr;
        BTreeKnownKeys known{left->key_kind, nullptr, type};
        KeyList keys(&known);
        if (merge_walk(x, y, op, keys) < 0)
            return -1;
        return keys.build(dst);
    }
    Side x(left), y(right);
    KeyList keys;
    if (x.advance() < 0 || y.advance() < 0 || merge_walk(x, y, op, keys) < 0)
        return -1;
    return keys.build(dst);
}
