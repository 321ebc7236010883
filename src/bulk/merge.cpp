#include "bulk/merge.h"

#include "btree/iter.h"
#include "bulk/build.h"
#include "keys/compare.h"
#include "keys/kind.h"
#include "keys/search.h"

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

    PyObject *build()
    {
        BTreeKnownKeys known;
        if (known_) {
            known = *known_;
            known.prims = prims_;
        }
        return reinterpret_cast<PyObject *>(btree_build_from_sorted(items_, count_, known_ ? &known : nullptr));
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

// One input side: its key iterator and the key it currently holds.
class Side {
public:
    explicit Side(PyObject *iter) : iter_(iter) {}
    Side(const Side &) = delete;
    Side &operator=(const Side &) = delete;
    ~Side()
    {
        Py_XDECREF(key_);
        Py_XDECREF(iter_);
    }

    // Fetches the next key: 0 (`key()` NULL at the end) or -1 with the
    // iteration's error, which ends the merge at once.
    int advance()
    {
        Py_CLEAR(key_);
        key_ = BTreeIter_iternext(iter_);
        if (key_)
            return 0;
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            return -1;
        PyErr_Clear();
        return 0;
    }

    PyObject *key() const { return key_; }
    const BTreePrim *prim() const { return nullptr; }
    PyObject *take()
    {
        PyObject *key = key_;
        key_ = nullptr;
        return key;
    }

private:
    PyObject *iter_;
    PyObject *key_ = nullptr;
};

// One input side of two trees of the same primitive key kind, read straight
// from the leaf chain: comparing primitives (and exact strings) runs no Python
// code, so neither tree can change during the walk.
class PrimSide {
public:
    PrimSide(BTreeObject *tree, int32_t kind) : kind_(kind)
    {
        BTreeNode *node = tree->root;
        while (node && !node->is_leaf)
            node = node->inner.children[0];
        leaf_ = node;
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
        if (kind_ == KEY_KIND_INT64)
            return (a.i > b.i) - (a.i < b.i);
        if (kind_ == KEY_KIND_FLOAT64)
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
    int32_t kind_;
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

PyObject *btree_set_merge(PyObject *left, PyObject *right, BTreeSetOp op)
{
    if (!btree_check(left) || !btree_check(right)) {
        PyErr_SetString(PyExc_TypeError, "expected BTree objects");
        return nullptr;
    }
    auto *lt = reinterpret_cast<BTreeObject *>(left);
    auto *rt = reinterpret_cast<BTreeObject *>(right);
    if (lt->key_kind > 0 && lt->key_kind == rt->key_kind) {
        if (btree_guard_test(lt) < 0 || btree_guard_test(rt) < 0)
            return nullptr;
        PrimSide x(lt, lt->key_kind), y(rt, rt->key_kind);
        // The result's keys are all of this kind; their common type is known
        // only when both trees have the same one.
        PyTypeObject *type = lt->key_type == rt->key_type ? lt->key_type : nullptr;
        BTreeKnownKeys known{lt->key_kind, nullptr, type};
        KeyList keys(&known);
        if (merge_walk(x, y, op, keys) < 0)
            return nullptr;
        return keys.build();
    }
    PyObject *left_iter = btree_iter_new(lt, BTREE_ITER_KEYS);
    Side x(left_iter);
    if (!left_iter)
        return nullptr;
    PyObject *right_iter = btree_iter_new(rt, BTREE_ITER_KEYS);
    Side y(right_iter);
    if (!right_iter)
        return nullptr;
    KeyList keys;
    if (x.advance() < 0 || y.advance() < 0 || merge_walk(x, y, op, keys) < 0)
        return nullptr;
    return keys.build();
}
