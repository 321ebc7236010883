#include "ops/cache.h"

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
