#include "bulk/merge.h"

#include "btree/iter.h"
#include "bulk/build.h"
#include "keys/compare.h"

namespace {

// The merged keys, each slot holding a reference of its own.
class KeyList {
public:
    KeyList() = default;
    KeyList(const KeyList &) = delete;
    KeyList &operator=(const KeyList &) = delete;
    ~KeyList()
    {
        for (Py_ssize_t i = 0; i < count_; i++)
            Py_XDECREF(items_[i]);
        btree_mem_free(items_);
    }

    // Takes over `key`; releases it when the list cannot grow.
    int append(PyObject *key)
    {
        if (count_ == capacity_) {
            Py_ssize_t capacity = capacity_ ? capacity_ * 2 : 256;
            void *grown = btree_mem_realloc(items_, static_cast<size_t>(capacity) * sizeof(PyObject *));
            if (!grown) {
                Py_DECREF(key);
                PyErr_NoMemory();
                return -1;
            }
            items_ = static_cast<PyObject **>(grown);
            capacity_ = capacity;
        }
        items_[count_++] = key;
        return 0;
    }

    PyObject *build() { return reinterpret_cast<PyObject *>(btree_build_from_sorted(items_, count_)); }

private:
    PyObject **items_ = nullptr;
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

int compare_keys(PyObject *x, PyObject *y)
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

int drain(Side &side, KeyList &keys)
{
    while (side.key()) {
        if (keys.append(side.take()) < 0 || side.advance() < 0)
            return -1;
    }
    return 0;
}

int merge_walk(Side &x, Side &y, BTreeSetOp op, KeyList &keys)
{
    bool keep_left = op != BTreeSetOp::Intersection;
    bool keep_right = op == BTreeSetOp::Union;
    bool keep_both = op != BTreeSetOp::Difference;
    while (x.key() && y.key()) {
        int c = compare_keys(x.key(), y.key());
        if (c == BTREE_CMP_ERROR)
            return -1;
        int rc;
        if (c < 0)
            rc = keep_left ? keys.append(x.take()) : 0;
        else if (c > 0)
            rc = keep_right ? keys.append(y.take()) : 0;
        else
            rc = keep_both ? keys.append(x.take()) : 0;
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
    PyObject *left_iter = btree_iter_new(reinterpret_cast<BTreeObject *>(left), BTREE_ITER_KEYS);
    Side x(left_iter);
    if (!left_iter)
        return nullptr;
    PyObject *right_iter = btree_iter_new(reinterpret_cast<BTreeObject *>(right), BTREE_ITER_KEYS);
    Side y(right_iter);
    if (!right_iter)
        return nullptr;
    KeyList keys;
    if (x.advance() < 0 || y.advance() < 0 || merge_walk(x, y, op, keys) < 0)
        return nullptr;
    return keys.build();
}
