#include "hints.h"
#include "ops/cache.h"
#include "ops/entry.h"
#include "ops/ops.h"
#include "ops/descend.h"

namespace {

// The lookup, inlined into both of its entries. It descends into the path
// cache's own buffer, which a hit then keeps. On free-threaded builds readers
// share the tree, so none of them writes the cache: the descent goes into a
// path of its own.
BTREE_ALWAYS_INLINE inline int lookup(BTreeCore *tree, PyObject *key, PyObject **value)
{
    BTreeEntry entry(BTreeAccess::Read, tree, key);
    if (!entry)
        return -1;
    if (!tree->root)
        return 0;
#ifdef Py_GIL_DISABLED
    BTreeLocalPath path;
#else
    if (btree_path_reserve(tree, tree->height + 1) < 0)
        return -1;
    BTreePath path = btree_cache_buffer(tree);
#endif
    int rc = entry.with_key<BTreeAccess::Read>(key, [&](auto &probe) {
        int found = 0;
        int slot = btree_descend<BTreeBound::Lower>(tree, probe, path, &found);
        return slot < 0 ? -1 : found;
    });
#ifdef Py_GIL_DISABLED
    if (rc > 0)
        *value = Py_NewRef(path.leaf()->leaf.values[path.slot()]);
#else
    if (rc <= 0) {
        // The path buffer stays; only the cache is emptied.
        btree_cache_drop(tree, entry.pending);
        return rc;
    }
    // The value is taken before the old cached key is released, which may
    // run a finaliser.
    *value = Py_NewRef(path.leaf()->leaf.values[path.slot()]);
    btree_cache_fill(tree, key, path, entry.pending);
#endif
    return rc;
}

}  // namespace

int btree_lookup(BTreeCore *tree, PyObject *key, PyObject **value)
{
    return lookup(tree, key, value);
}

PyObject *btree_search_item(BTreeCore *tree, PyObject *key)
{
    PyObject *value = nullptr;
    int rc = lookup(tree, key, &value);
    if (rc == 0)
        btree_set_key_error(key);
    return value;
}
