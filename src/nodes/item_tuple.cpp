#include "nodes/item_tuple.h"

#include "nodes/ref.h"

PyObject *btree_item_tuple_fresh(BTreeItemTuple &items, PyObject *key, PyObject *value)
{
    // Allocating the tuple may run a collection, and a finaliser may then
    // remove this item from the tree: hold the key and value meanwhile.
    BTreeRef held_key = BTreeRef::share(key), held_value = BTreeRef::share(value);
    PyObject *fresh = PyTuple_Pack(2, key, value);
    if (!fresh)
        return nullptr;
    PyObject *previous = items.last;
    items.last = Py_NewRef(fresh);
    Py_XDECREF(previous);  // still held elsewhere
    return fresh;
}
