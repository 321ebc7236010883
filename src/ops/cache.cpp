#include "ops/cache.h"

void btree_cache_drop(BTreeCore *tree, BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = nullptr;
    tree->path_len = 0;
    tree->cache_version = 0;
}

void btree_cache_fill(BTreeCore *tree, PyObject *key, Py_ssize_t path_len, BTreeReleaseList &pending)
{
    pending.add(tree->cache_key);
    tree->cache_key = Py_NewRef(key);
    tree->path_len = path_len;
    tree->cache_version = tree->version;
}

int btree_path_reserve(BTreeCore *tree, Py_ssize_t need)
{
    if (tree->path_cap >= need)
        return 0;
    Py_ssize_t cap = tree->path_cap ? tree->path_cap : 8;
    while (cap < need)
        cap *= 2;
    void *grown = btree_mem_realloc(tree->path, static_cast<size_t>(cap) * sizeof(BTreeNode *));
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    tree->path = static_cast<BTreeNode **>(grown);
    tree->path_cap = cap;
    return 0;
}
