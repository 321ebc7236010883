#include <utility>

#include "compat.h"
#include "btreemap/methods.h"
#include "btreemap/object.h"
#include "btreemap/seq.h"

int btreemap_register_abc(PyTypeObject *type, const char *name)
{
    PyObject *abc = btreemap_abc(name);
    PyObject *done = abc ? PyObject_CallMethod(abc, "register", "O", type) : nullptr;
    Py_XDECREF(abc);
    Py_XDECREF(done);
    return done ? 0 : -1;
}

PyObject *btreemap_abc(const char *name)
{
    PyObject *module = PyImport_ImportModule("collections.abc");
    if (!module)
        return nullptr;
    PyObject *abc = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    return abc;
}

int btreemap_add_type(PyObject *module)
{
    PyTypeObject *types[] = {&BTreeMapType, &BTreeMapIterType, &BTreeMapKeysType, &BTreeMapValuesType,
                             &BTreeMapItemsType};
    for (PyTypeObject *type : types)
        if (PyType_Ready(type) < 0)
            return -1;
    const std::pair<PyTypeObject *, const char *> abcs[] = {
        {&BTreeMapType, "MutableMapping"}, {&BTreeMapKeysType, "KeysView"}, {&BTreeMapKeysType, "Sequence"},
        {&BTreeMapValuesType, "ValuesView"}, {&BTreeMapValuesType, "Sequence"}, {&BTreeMapItemsType, "ItemsView"},
        {&BTreeMapItemsType, "Sequence"}};
    for (auto [type, name] : abcs)
        if (btreemap_register_abc(type, name) < 0)
            return -1;
    if (btreeseq_add_types(module) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "BTreeMap", reinterpret_cast<PyObject *>(&BTreeMapType));
}

#ifndef BTREE_TESTING
static PyModuleDef btreemap_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "btreemap",
    .m_doc = "A sorted mutable mapping, list and set on the btree core.\n\n"
             "BTreeMap keeps its keys in ascending order, BTreeList and BTreeSet their\n"
             "elements. Each is a B+ tree whose nodes count the items below them:\n"
             "lookups, insertions and removals, positions, ranks, neighbours and the\n"
             "start of a range take O(log n), a walk O(1) per item, a copy or a build\n"
             "from sorted input O(n). The calls are those of dict, list and set, and\n"
             "of sortedcontainers' SortedDict, SortedList and SortedSet.\n\n"
             ">>> from btreemap import BTreeMap\n"
             ">>> m = BTreeMap({'b': 2, 'a': 1})\n"
             ">>> list(m), m.peekitem(0), m.bisect_left('b')\n"
             "(['a', 'b'], ('a', 1), 1)",
    .m_size = -1,
};

PyMODINIT_FUNC PyInit_btreemap(void)
{
    PyObject *module = PyModule_Create2(&btreemap_module, PYTHON_API_VERSION);
    if (module && (btree_module_runs_free(module) < 0 || btreemap_add_type(module) < 0))
        Py_CLEAR(module);
    return module;
}
#endif
