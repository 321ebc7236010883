#include "compat.h"
#include "btree/capi.h"
#include "btree/object.h"

#ifdef BTREE_TESTING
// The test build is the same module under another name, with functions that
// look inside trees.
#define BTREE_MODULE_NAME "_btree_test"
#define BTREE_CAPSULE_NAME "_btree_test._C_API"
#define BTREE_INIT PyInit__btree_test
extern PyMethodDef btree_module_methods[];
// Adds the types of the other surfaces compiled into the test build, and the
// constants its tests read.
int introspect_add_attributes(PyObject *module);
#else
#define BTREE_MODULE_NAME "btree"
#define BTREE_CAPSULE_NAME "btree._C_API"
#define BTREE_INIT PyInit_btree
static PyMethodDef btree_module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
#endif

static PyModuleDef btree_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = BTREE_MODULE_NAME,
    .m_doc = "B-tree data structure for Quindle.",
    .m_size = -1,
    .m_methods = btree_module_methods,
};

PyMODINIT_FUNC BTREE_INIT(void)
{
    if (PyType_Ready(&BTreeIterType) < 0 || PyType_Ready(&BTreeType) < 0)
        return nullptr;
    PyObject *module = PyModule_Create2(&btree_module, PYTHON_API_VERSION);
    if (!module)
        return nullptr;
    if (btree_module_runs_free(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (PyModule_AddObjectRef(module, "BTree", reinterpret_cast<PyObject *>(&BTreeType)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    PyObject *capsule = PyCapsule_New(btree_capi_table(), BTREE_CAPSULE_NAME, nullptr);
    if (!capsule) {
        Py_DECREF(module);
        return nullptr;
    }
    if (PyModule_AddObject(module, "_C_API", capsule) < 0) {
        Py_DECREF(capsule);
        Py_DECREF(module);
        return nullptr;
    }
#ifdef BTREE_TESTING
    if (introspect_add_attributes(module) < 0)
        Py_CLEAR(module);
#endif
    return module;
}
