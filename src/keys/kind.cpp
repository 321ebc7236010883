#include "keys/kind.h"

std::optional<BTreeKeyKind> btree_writer_kind(BTreeCore *tree, PyObject *key, BTreePrim *prim, bool *use_fast)
{
    PyTypeObject *type = Py_TYPE(key);
    if (tree->size == 0)
        tree->key_type = type;
    else if (tree->key_type && tree->key_type != type)
        tree->key_type = nullptr;
    *use_fast = btree_use_fast(tree->key_type, key);

    if (tree->key_kind == BTreeKeyKind::Object)
        return BTreeKeyKind::Object;
    std::optional<BTreeKeyKind> cls = btree_key_class(key, prim);
    if (!cls)
        return std::nullopt;
    if (tree->key_kind == BTreeKeyKind::None)
        tree->key_kind = *cls;
    else if (*cls != tree->key_kind)
        tree->key_kind = BTreeKeyKind::Object;  // demotion is one-way until the tree is empty
    return tree->key_kind;
}
