// Adding and removing elements of the sorted sequences: one at a time, or
// a whole iterable at once through the bulk build.
#include "compat.h"
#include "btreemap/fill.h"
#include "btreemap/object.h"
#include "btreemap/positions.h"
#include "btreemap/seq.h"
#include "bulk/build.h"
#include "bulk/order.h"
#include "bulk/pairs.h"
#include "keys/kind.h"
#include "nodes/ref.h"
#include "ops/entry.h"

namespace {

bool keyed(PyObject *self)
{
    return btreeseq(self)->key != nullptr;
}

// Appends the key of each element of `iterable` (and, with a key function,
// the element beside it). 0 or -1.
int gather_elements(PyObject *self, PyObject *iterable, BTreePairs &pairs)
{
    // Another of this module's containers is read in one look, not walked
    // by an iterator that another thread's change would stop.
    BTreeRef snapshot;
    if (btreeseq_check(iterable) || btreemap_check(iterable)) {
        snapshot = BTreeRef(btreemap_item_list(
            iterable, btreeseq_check(iterable) ? btreeseq_elements(iterable) : BTreeItemKind::Keys));
        if (!snapshot)
            return -1;
        iterable = snapshot.get();
    }
    // Elements that are their own keys are read from a list or tuple in
    // place, their objects asked for ahead; nothing runs Python code there.
    if (!keyed(self) && (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(iterable);
        PyObject **items = PySequence_Fast_ITEMS(iterable);
        if (pairs.reserve(pairs.count + n) < 0)
            return -1;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (i + BTREE_KEYS_AHEAD < n)
                btree_prefetch_key(items[i + BTREE_KEYS_AHEAD]);
            if (pairs.append(Py_NewRef(items[i]), nullptr) < 0)
                return -1;
        }
        return 0;
    }
    BTreeRef it(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    Py_ssize_t hint = PyObject_LengthHint(iterable, 0);
    if (hint < 0 || pairs.reserve(pairs.count + hint) < 0)
        return -1;
    while (PyObject *element = PyIter_Next(it.get())) {
        PyObject *key = btreeseq_key_of(self, element);
        if (!key) {
            Py_DECREF(element);
            return -1;
        }
        if (!keyed(self))
            Py_DECREF(element);
        if (pairs.append(key, keyed(self) ? element : nullptr) < 0)
            return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int add_each(PyObject *self, BTreePairs &pairs)
{
    BTreeCore *tree = btreemap_core(self);
    bool is_set = btreeseq_is_set(self);
    for (Py_ssize_t i = 0; i < pairs.count; i++) {
        PyObject *value = pairs.values ? pairs.values[i] : nullptr;
        int rc = is_set ? btree_add_unique(tree, pairs.keys[i], value, value) : btree_add(tree, pairs.keys[i], value);
        if (rc < 0)
            return -1;
    }
    return 0;
}

// Hands the tree built aside to the object in place of its elements, unless
// the object changed since its version was `version` (a finaliser, or
// another thread): 1 then. `made` is left empty. 0, 1 or -1.
int replace_with(BTreeCore *tree, BTreeCore *made, uint64_t version)
{
    // The old elements are held by the built tree while the old nodes go, so
    // letting those go runs no finaliser.
    int rc = btree_replace(tree, made, version);
    btree_finalize(made);
    return rc;
}

// Builds an empty object of elements that are their own keys from a list
// or tuple, read in place: in one pass when the elements ascend (a set
// keeps the first of equal ones). 0, 1 when they ask for the general path,
// or -1.
int build_ascending(PyObject *self, PyObject *sequence)
{
    BTreeCore *tree = btreemap_core(self);
    uint64_t version = btree_version(tree);
    BTreeCore made;
    btree_init(&made, tree->texts, tree->keys_only, tree->equal_keys);
    int rc;
    // Where threads run at once, another may change the list meanwhile.
    Py_BEGIN_CRITICAL_SECTION(sequence);
    rc = btree_build_ascending(&made, PySequence_Fast_ITEMS(sequence), PySequence_Fast_GET_SIZE(sequence),
                               btreeseq_is_set(self));
    Py_END_CRITICAL_SECTION();
    if (rc != 0) {
        btree_finalize(&made);
        return rc;
    }
    return replace_with(tree, &made, version);
}

// Rebuilds the object from its elements and the new ones, ordered together:
// the bulk build's order is stable, so equal elements already there stay
// first (a set keeps those). Comparing runs Python code, and other threads
// run meanwhile: when the object changed before its new tree is ready, 1,
// and nothing is done. 0 or -1 otherwise.
int rebuild(PyObject *self, BTreePairs &added)
{
    BTreeCore *tree = btreemap_core(self);
    uint64_t version = btree_version(tree);
    // An empty object is built from the new elements as they were gathered.
    BTreePairs gathered(tree->keys_only);
    BTreePairs &pairs = btree_size(tree) ? gathered : added;
    if (btree_size(tree)) {
        if (btreemap_gather_tree(tree, pairs) < 0 || pairs.reserve(pairs.count + added.count) < 0)
            return -1;
        // The new elements stay in `added` too, for a retry one at a time.
        for (Py_ssize_t i = 0; i < added.count; i++) {
            if (pairs.append(Py_NewRef(added.keys[i]), added.values ? Py_XNewRef(added.values[i]) : nullptr) < 0)
                return -1;
        }
    }
    if (btree_order_pairs(pairs, false, !btreeseq_is_set(self)) < 0)
        return -1;
    BTreeCore made;
    btree_init(&made, tree->texts, tree->keys_only, tree->equal_keys);
    int rc = btree_version(tree) == version ? btree_build_pairs(&made, pairs) : 1;
    if (rc == 0)
        return replace_with(tree, &made, version);
    btree_finalize(&made);
    return rc;
}

}  // namespace

int btreeseq_update(PyObject *self, PyObject *iterable)
{
    if (!keyed(self) && !btree_size(btreemap_core(self)) && (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))) {
        int rc = build_ascending(self, iterable);
        if (rc <= 0)
            return rc;
    }
    BTreePairs pairs(btreemap_core(self)->keys_only);
    if (gather_elements(self, iterable, pairs) < 0)
        return -1;
    BTreeCore *tree = btreemap_core(self);
    // A set with a key function tells its elements apart by equality, which
    // only adding them one at a time asks.
    if (btreeseq_is_set(self) && keyed(self))
        return add_each(self, pairs);
    // Few new elements go in one at a time; more are ordered with the old
    // ones in one pass.
    if (pairs.count * 4 < btree_size(tree))
        return add_each(self, pairs);
    int rc = rebuild(self, pairs);
    return rc == 1 ? add_each(self, pairs) : rc;
}

int btreeseq_add(PyObject *self, PyObject *element)
{
    BTreeRef key(btreeseq_key_of(self, element));
    if (!key)
        return -1;
    PyObject *value = keyed(self) ? element : nullptr;
    BTreeCore *tree = btreemap_core(self);
    if (btreeseq_is_set(self))
        return btree_add_unique(tree, key.get(), value, value);
    return btree_add(tree, key.get(), value) < 0 ? -1 : 1;
}

int btreeseq_discard(PyObject *self, PyObject *element)
{
    BTreeRef key(btreeseq_key_of(self, element));
    if (!key)
        return -1;
    return btree_remove_in_run(btreemap_core(self), key.get(), keyed(self) ? element : nullptr, nullptr);
}
