#include "keys/kind.h"

#include "btree/tree.h"

int btree_writer_kind(BTreeObject *tree, PyObject *key, BTreePrim *prim, int *use_fast)
{
    PyTypeObject *type = Py_TYPE(key);
    if (tree->size == 0)
        tree->key_type = type;
    else if (tree->key_type && tree->key_type != type)
        tree->key_type = nullptr;
    *use_fast = btree_use_fast(tree->key_type, key);

    if (tree->key_kind == KEY_KIND_OBJECT)
        return KEY_KIND_OBJECT;
    int cls = btree_key_class(key, prim);
    if (cls < 0)
        return -1;
    if (tree->key_kind == KEY_KIND_NONE)
        tree->key_kind = cls;
    else if (cls != tree->key_kind)
        tree->key_kind = KEY_KIND_OBJECT;  // demotion is one-way until the tree is empty
    return tree->key_kind;
}
