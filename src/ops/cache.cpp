#include "ops/cache.h"

int btree_path_reserve(BTreeCore *tree, Py_ssize_t need)
{
    if (tree->path_cap >= need)
        return 0;
    Py_ssize_t cap = tree->path_cap ? tree->path_cap : 8;
    while (cap < need)
        cap *= 2;
    // Each buffer grows on its own; the capacity moves once both have.
    void *grown = btree_mem_realloc(tree->path, static_cast<size_t>(cap) * sizeof(BTreeNode *));
    if (grown)
        tree->path = static_cast<BTreeNode **>(grown);
    void *grown_at = grown ? btree_mem_realloc(tree->path_at, static_cast<size_t>(cap) * sizeof(int)) : nullptr;
    if (!grown_at) {
        PyErr_NoMemory();
        return -1;
    }
    tree->path_at = static_cast<int *>(grown_at);
    tree->path_cap = cap;
    return 0;
}
