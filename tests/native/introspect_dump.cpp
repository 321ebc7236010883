// dump(tree): the tree record and every node as plain Python data, for tests
// that look at shapes (splits, separators, fill) and at the path cache.
#include "introspect.h"
#include "keys/kind.h"
#include "ops/guard.h"

namespace {

// Stores `value` (a new reference, NULL on a failed creation) under `name`.
int put(PyObject *dict, const char *name, PyObject *value)
{
    if (!value)
        return -1;
    int r = PyDict_SetItemString(dict, name, value);
    Py_DECREF(value);
    return r;
}

// A list of `n` objects from `slots`; a NULL slot shows as None.
PyObject *object_list(PyObject *const *slots, int n)
{
    PyObject *list = PyList_New(n);
    if (!list)
        return nullptr;
    for (int i = 0; i < n; i++)
        PyList_SET_ITEM(list, i, Py_NewRef(slots[i] ? slots[i] : Py_None));
    return list;
}

// Primitives as ints (string prefixes too) or floats; None in trees that keep
// none.
PyObject *prim_list(const BTreePrim *prims, int n, BTreeKeyKind kind)
{
    if (!btree_kind_keeps_prims(kind))
        return Py_NewRef(Py_None);
    PyObject *list = PyList_New(n);
    if (!list)
        return nullptr;
    for (int i = 0; i < n; i++) {
        PyObject *item = kind == BTreeKeyKind::Int64     ? PyLong_FromLongLong(prims[i].i)
                         : kind == BTreeKeyKind::Float64 ? PyFloat_FromDouble(prims[i].f)
                                                    : PyLong_FromUnsignedLongLong(prims[i].u);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

// Nodes `levels` below this one are left out (a negative count leaves none
// out); an internal node at the limit shows children None.
PyObject *dump_node(BTreeNode *node, BTreeKeyKind kind, int levels)
{
    if (!node)
        return Py_NewRef(Py_None);
    if (Py_EnterRecursiveCall(" in dump"))
        return nullptr;
    PyObject *dict = PyDict_New();
    int n = node->n;
    bool ok = dict && put(dict, "leaf", PyBool_FromLong(node->is_leaf)) == 0 &&
              put(dict, "n", PyLong_FromLong(n)) == 0 &&
              put(dict, "subtree_size", PyLong_FromSsize_t(btree_node_size(node))) == 0 &&
              put(dict, "keys", object_list(node->keys, n)) == 0 &&
              put(dict, "prims", prim_list(btree_prims(node), n, kind)) == 0;
    if (ok && node->is_leaf) {
        // A leaf without values has no value array to read.
        PyObject *values = node->keys_only ? Py_NewRef(Py_None) : object_list(node->leaf.values, n);
        ok = put(dict, "values", values) == 0;
    } else if (ok && levels == 0) {
        ok = put(dict, "children", Py_NewRef(Py_None)) == 0;
    } else if (ok) {
        PyObject *children = PyList_New(n + 1);
        ok = put(dict, "children", Py_XNewRef(children)) == 0;
        for (int i = 0; ok && i <= n; i++) {
            PyObject *child = dump_node(node->inner.children[i], kind, levels - 1);
            ok = child != nullptr;
            if (ok)
                PyList_SET_ITEM(children, i, child);
        }
        Py_XDECREF(children);
    }
    Py_LeaveRecursiveCall();
    if (!ok) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}

}  // namespace

PyObject *introspect_dump(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"tree", "depth", nullptr};
    PyObject *arg;
    int depth = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|i:dump", const_cast<char **>(kwlist), &arg, &depth))
        return nullptr;
    BTreeCore *tree = introspect_tree_arg(arg);
    if (!tree)
        return nullptr;
    PyObject *type = reinterpret_cast<PyObject *>(tree->key_type);
    PyObject *dict = PyDict_New();
    bool ok = dict && put(dict, "key_kind", PyLong_FromLong(static_cast<long>(tree->key_kind))) == 0 &&
              put(dict, "key_type", Py_NewRef(type ? type : Py_None)) == 0 &&
              put(dict, "size", PyLong_FromSsize_t(tree->size)) == 0 &&
              put(dict, "version", PyLong_FromUnsignedLongLong(tree->version)) == 0 &&
              put(dict, "shape_version", PyLong_FromUnsignedLongLong(tree->shape_version)) == 0 &&
              put(dict, "cache_version", PyLong_FromUnsignedLongLong(tree->cache_version)) == 0 &&
              put(dict, "cache_key", Py_NewRef(tree->cache_key ? tree->cache_key : Py_None)) == 0 &&
              put(dict, "path_len", PyLong_FromSsize_t(tree->path_len)) == 0 &&
              put(dict, "path_cap", PyLong_FromSsize_t(tree->path_cap)) == 0 &&
              put(dict, "busy", PyLong_FromLong(btree_guard_busy(tree))) == 0 &&
              put(dict, "root", dump_node(tree->root, tree->key_kind, depth)) == 0;
    if (!ok) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}
