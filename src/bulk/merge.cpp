#include "bulk/merge.h"

#include "bulk/build.h"
#include "hints.h"
#include "keys/compare.h"
#include "keys/records.h"
#include "nodes/cursor.h"
#include "nodes/ref.h"
#include "nodes/scratch.h"
#include "ops/entry.h"

namespace {

// The merged keys, each slot holding a reference of its own, beside them
// their primitives when both inputs are trees of one primitive key kind, and
// their values when the merge carries them.
class KeyList {
public:
    explicit KeyList(bool with_values, const BTreeKnownKeys *known = nullptr)
        : known_(known), with_values_(with_values)
    {
    }
    KeyList(const KeyList &) = delete;
    KeyList &operator=(const KeyList &) = delete;
    ~KeyList()
    {
        for (Py_ssize_t i = 0; i < count_; i++) {
            Py_XDECREF(items_[i]);
            if (with_values_)
                Py_XDECREF(values_[i]);
        }
        btree_scratch_free(items_);
        btree_scratch_free(prims_);
        btree_scratch_free(values_);
    }

    // Takes over `key` and, when values are carried, `value`; releases them
    // when the list cannot grow.
    template <bool Values>
    BTREE_ALWAYS_INLINE int append(PyObject *key, const BTreePrim *prim, PyObject *value)
    {
        if (count_ == capacity_ && grow(capacity_ ? capacity_ * 2 : 256) < 0) {
            Py_DECREF(key);
            Py_XDECREF(value);
            return -1;
        }
        if (prim)
            prims_[count_] = *prim;
        if constexpr (Values)
            values_[count_] = value;
        items_[count_++] = key;
        return 0;
    }

    bool with_values() const { return with_values_; }

    // Room for the most keys a merge of trees of these sizes can give, taken
    // at once: a merge then never moves the list as it grows.
    int reserve(BTreeSetOp op, Py_ssize_t left, Py_ssize_t right)
    {
        Py_ssize_t most = op == BTreeSetOp::Intersection ? (left < right ? left : right)
                          : op == BTreeSetOp::Difference ? left
                                                         : left + right;
        return most > capacity_ ? grow(most) : 0;
    }

    int build(BTreeCore *dst)
    {
        BTreeKnownKeys known;
        if (known_) {
            known = *known_;
            known.prims = prims_;
        }
        if (btree_build_sorted(dst, items_, values_, count_, known_ ? &known : nullptr) < 0)
            return -1;
        count_ = 0;  // every slot was taken over
        return 0;
    }

private:
    int grow(Py_ssize_t capacity)
    {
        void *items = btree_scratch_realloc(items_, static_cast<size_t>(capacity) * sizeof(PyObject *));
        if (!items)
            return PyErr_NoMemory(), -1;
        items_ = static_cast<PyObject **>(items);
        if (known_) {
            void *prims = btree_scratch_realloc(prims_, static_cast<size_t>(capacity) * sizeof(BTreePrim));
            if (!prims)
                return PyErr_NoMemory(), -1;
            prims_ = static_cast<BTreePrim *>(prims);
        }
        if (with_values_) {
            void *values = btree_scratch_realloc(values_, static_cast<size_t>(capacity) * sizeof(PyObject *));
            if (!values)
                return PyErr_NoMemory(), -1;
            values_ = static_cast<PyObject **>(values);
        }
        capacity_ = capacity;
        return 0;
    }

    const BTreeKnownKeys *known_;
    bool with_values_;
    PyObject **items_ = nullptr;
    BTreePrim *prims_ = nullptr;
    PyObject **values_ = nullptr;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = 0;
};

// One input side: a walk along the tree's leaf chain, holding the key it is
// at, its value only when the merge carries values or reads pairs, and its
// element: the key, or the (key, value) pair as a tuple when the side is read
// by its pairs. Comparing keys runs Python code,
// which may change the tree: every step first checks that it has not changed.
class Side {
public:
    // `with_values`: the merge carries values, which the side then holds.
    Side(const BTreeCore *tree, BTreeElements as, bool with_values)
        : tree_(tree), cursor_(btree_cursor_start(tree)), as_(as), values_(with_values || pairs())
    {
    }

    // Moves to the next key: 0 (`key()` NULL at the end), or -1 when the tree
    // changed under the walk or the pair cannot be made.
    int advance()
    {
        pair_.reset();
        key_.reset();
        value_.reset();
        if (!btree_cursor_valid(cursor_, tree_))
            return -1;
        int slot;
        if (BTreeNode *leaf = btree_cursor_next(cursor_, &slot, values_)) {
            key_ = BTreeRef::share(leaf->keys[slot]);
            if (!values_)
                return 0;
            value_ = BTreeRef::share(leaf->leaf.values[slot]);
            if (pairs()) {
                pair_ = BTreeRef(PyTuple_Pack(2, key_.get(), value_.get()));
                if (!pair_)
                    return -1;
            }
        }
        return 0;
    }

    PyObject *key() const { return key_.get(); }
    PyObject *value() const { return value_.get(); }
    PyObject *element() const { return pairs() ? pair_.get() : key_.get(); }
    bool pairs() const { return as_ == BTreeElements::Pairs; }
    const BTreePrim *prim() const { return nullptr; }
    PyObject *take() { return pairs() ? pair_.release() : key_.release(); }
    PyObject *take_value() { return value_.release(); }

private:
    const BTreeCore *tree_;
    BTreeCursor cursor_;
    BTreeElements as_;
    bool values_;
    BTreeRef key_;
    BTreeRef value_;
    BTreeRef pair_;
};

// One input side of two trees of the same primitive key kind, read straight
// from the leaf chain: comparing primitives, and keys by the record's tie,
// runs no Python code, so neither tree can change during the walk.
template <BTreeKindRecord R>
class PrimSide {
public:
    explicit PrimSide(const BTreeCore *tree) : leaf_(btree_cursor_start(tree).leaf) { settle(); }

    int advance()
    {
        pos_++;
        settle();
        return 0;
    }

    PyObject *key() const { return leaf_ ? leaf_->keys[pos_] : nullptr; }
    PyObject *take() const { return Py_NewRef(leaf_->keys[pos_]); }
    PyObject *take_value() const { return Py_NewRef(leaf_->leaf.values[pos_]); }
    const BTreePrim *prim() const { return &leaf_->leaf.prims[pos_]; }

    int compare(const PrimSide &other) const
    {
        return btree_kind_order<R>(*prim(), *other.prim(), key(), other.key());
    }

private:
    void settle()
    {
        // A step leaves its leaf once in a leaf's worth of steps.
        while (leaf_ && pos_ >= leaf_->n) [[unlikely]] {
            leaf_ = leaf_->leaf.next;
            pos_ = 0;
        }
        // Taking a key writes its reference count: ask for the objects a few
        // places ahead so that their cache misses overlap.
        if (leaf_ && pos_ + ahead < leaf_->n) [[likely]]
            BTREE_PREFETCH_WRITE(leaf_->keys[pos_ + ahead]);
    }

    static constexpr int ahead = 8;

    BTreeNode *leaf_;
    int pos_ = 0;
};

template <BTreeKindRecord R>
int compare(const PrimSide<R> &x, const PrimSide<R> &y, BTreeSetOp)
{
    return x.compare(y);
}

// The (key, value) of the element a side is at: its pair, or a tuple of two
// read by keys. False for any other element.
bool pair_of(const Side &side, PyObject **key, PyObject **value)
{
    if (side.pairs()) {
        *key = side.key();
        *value = side.value();
        return true;
    }
    PyObject *element = side.element();
    if (!PyTuple_CheckExact(element) || PyTuple_GET_SIZE(element) != 2)
        return false;
    *key = PyTuple_GET_ITEM(element, 0);
    *value = PyTuple_GET_ITEM(element, 1);
    return true;
}

// Two pairs of equal keys are one element when their values are equal too.
// Otherwise their values are ordered only when the result keeps both; else
// one counts as the lesser, which the walk handles as it would a lesser key,
// and values that have no order still merge: the pair of a side read by keys,
// which may hold several pairs of one key, else the left one.
int compare(const Side &x, const Side &y, BTreeSetOp op)
{
    PyObject *xk, *xv, *yk, *yv;
    if (!(x.pairs() || y.pairs()) || !pair_of(x, &xk, &xv) || !pair_of(y, &yk, &yv))
        return btree_key_order(x.element(), y.element());
    int c = btree_key_order(xk, yk);
    if (c != 0)
        return c;
    int equal = PyObject_RichCompareBool(xv, yv, Py_EQ);
    if (equal != 0)
        return equal < 0 ? BTREE_CMP_ERROR : 0;
    if (op != BTreeSetOp::Union && op != BTreeSetOp::SymmetricDifference)
        return x.pairs() && !y.pairs() ? 1 : -1;
    int less = PyObject_RichCompareBool(xv, yv, Py_LT);
    return less < 0 ? BTREE_CMP_ERROR : less ? -1 : 1;
}

// Appends the item `side` is at: its key, and with `Values` its value.
// Inlined: it is most of the loop of a merge of primitives.
template <bool Values, class S>
BTREE_ALWAYS_INLINE inline int append(KeyList &keys, S &side)
{
    PyObject *value = Values ? side.take_value() : nullptr;
    return keys.append<Values>(side.take(), side.prim(), value);
}

template <bool Values, class S>
int drain(S &side, KeyList &keys)
{
    while (side.key()) {
        if (append<Values>(keys, side) < 0 || side.advance() < 0)
            return -1;
    }
    return 0;
}

template <bool Values, class S>
int merge_walk(S &x, S &y, BTreeSetOp op, KeyList &keys)
{
    bool keep_left = op != BTreeSetOp::Intersection;
    bool keep_right = op == BTreeSetOp::Union || op == BTreeSetOp::SymmetricDifference;
    bool keep_both = op == BTreeSetOp::Union || op == BTreeSetOp::Intersection;
    while (x.key() && y.key()) {
        int c = compare(x, y, op);
        if (c == BTREE_CMP_ERROR)
            return -1;
        int rc;
        if (c < 0)
            rc = keep_left ? append<Values>(keys, x) : 0;
        else if (c > 0)
            rc = keep_right ? append<Values>(keys, y) : 0;
        else
            rc = keep_both ? append<Values>(keys, x) : 0;
        if (rc < 0)
            return -1;
        if (c <= 0 && x.advance() < 0)
            return -1;
        if (c >= 0 && y.advance() < 0)
            return -1;
    }
    if (keep_left && drain<Values>(x, keys) < 0)
        return -1;
    if (keep_right && drain<Values>(y, keys) < 0)
        return -1;
    return 0;
}

// The walk of a merge that carries values, or not.
template <class S>
int merge_walk(S &x, S &y, BTreeSetOp op, KeyList &keys)
{
    return keys.with_values() ? merge_walk<true>(x, y, op, keys) : merge_walk<false>(x, y, op, keys);
}

// `body()` with both trees entered as `entry` says; 0 or -1.
template <class Body>
int entered_both(BTreeCore *left, BTreeCore *right, BTreeMergeEntry entry, Body &&body)
{
    if (entry == BTreeMergeEntry::Hold) {
        BTreeHoldBoth held(left, right);
        return held ? body() : -1;
    }
    BTreeLookBoth look(left, right);
    return look ? body() : -1;
}

int merge_entered(BTreeCore *dst, BTreeCore *left, BTreeCore *right, BTreeSetOp op, bool with_values)
{
    // Trees of one primitive kind are walked by their primitives.
    BTreeKeyKind kind = left->key_kind == right->key_kind ? left->key_kind : BTreeKeyKind::Object;
    return btree_with_kind_record(
        kind,
        [&]<class R>(R) {
            PrimSide<R> x(left), y(right);
            // The result's keys are all of this kind; their common type is
            // known only when both trees have the same one.
            PyTypeObject *type = left->key_type == right->key_type ? left->key_type : nullptr;
            BTreeKnownKeys known{R::kind, nullptr, type};
            KeyList keys(with_values, &known);
            if (keys.reserve(op, left->size, right->size) < 0 || merge_walk(x, y, op, keys) < 0)
                return -1;
            return keys.build(dst);
        },
        [&] {
            Side x(left, BTreeElements::Keys, with_values), y(right, BTreeElements::Keys, with_values);
            KeyList keys(with_values);
            if (keys.reserve(op, left->size, right->size) < 0 || x.advance() < 0 || y.advance() < 0 ||
                merge_walk(x, y, op, keys) < 0)
                return -1;
            return keys.build(dst);
        });
}

}  // namespace

int btree_set_merge(BTreeCore *dst, BTreeCore *left, BTreeCore *right, BTreeSetOp op, BTreeMergeEntry entry,
                    bool with_values)
{
    return entered_both(left, right, entry, [&] { return merge_entered(dst, left, right, op, with_values); });
}

int btree_set_merge_elements(BTreeCore *dst, BTreeCore *left, BTreeElements left_as, BTreeCore *right,
                             BTreeElements right_as, BTreeSetOp op)
{
    return entered_both(left, right, BTreeMergeEntry::Hold, [&] {
        if (left_as == BTreeElements::Keys && right_as == BTreeElements::Keys)
            return merge_entered(dst, left, right, op, false);
        Side x(left, left_as, false), y(right, right_as, false);
        KeyList keys(false);
        if (keys.reserve(op, left->size, right->size) < 0 || x.advance() < 0 || y.advance() < 0 ||
            merge_walk(x, y, op, keys) < 0)
            return -1;
        return keys.build(dst);
    });
}
