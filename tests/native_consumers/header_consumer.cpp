// A compiled module that reaches Cache only through umbocache.h.  Each
// function forwards to one entry of the native table, reached through the
// instance's own table pointer (`new` through the imported table).
#include "umbocache.h"

namespace {

PyTypeObject* cache_type;
CacheNativeMethods* imported_table;

UmboCacheObject* as_cache(PyObject* op) {
    if (!PyObject_TypeCheck(op, cache_type)) {
        PyErr_Format(PyExc_TypeError, "expected a Cache, got %.200s", Py_TYPE(op)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<UmboCacheObject*>(op);
}

// The void entries report failure only by a pending exception.
PyObject* after_void_entry() {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// (cache, slot index[, object]) arguments.
bool parse(PyObject* args, UmboCacheObject** self, int32_t* idx, PyObject** obj) {
    PyObject* op;
    int i;
    bool ok = obj ? PyArg_ParseTuple(args, "OiO", &op, &i, obj) : PyArg_ParseTuple(args, "Oi", &op, &i);
    if (!ok || !(*self = as_cache(op))) return false;
    *idx = static_cast<int32_t>(i);
    return true;
}

PyObject* clear(PyObject*, PyObject* op) {
    UmboCacheObject* self = as_cache(op);
    if (!self) return nullptr;
    UmboCache_METHODS(self)->c_clear(self);
    return after_void_entry();
}

PyObject* clear_selected(PyObject*, PyObject* args) {
    PyObject *op, *blacklist, *whitelist;
    if (!PyArg_ParseTuple(args, "OOO", &op, &blacklist, &whitelist)) return nullptr;
    UmboCacheObject* self = as_cache(op);
    if (!self) return nullptr;
    UmboCache_METHODS(self)->c_clear_selected(self, blacklist, whitelist);
    return after_void_entry();
}

PyObject* get(PyObject*, PyObject* args) {
    UmboCacheObject* self;
    int32_t idx;
    if (!parse(args, &self, &idx, nullptr)) return nullptr;
    return UmboCache_METHODS(self)->c_get(self, idx);
}

PyObject* set(PyObject*, PyObject* args) {
    UmboCacheObject* self;
    int32_t idx;
    PyObject* value;
    if (!parse(args, &self, &idx, &value)) return nullptr;
    UmboCache_METHODS(self)->c_set(self, idx, value);
    return after_void_entry();
}

PyObject* get_or_set_val(PyObject*, PyObject* args) {
    UmboCacheObject* self;
    int32_t idx;
    PyObject* value;
    if (!parse(args, &self, &idx, &value)) return nullptr;
    return UmboCache_METHODS(self)->c_get_or_set_val(self, idx, value);
}

PyObject* get_or_exec(PyObject*, PyObject* args) {
    UmboCacheObject* self;
    int32_t idx;
    PyObject* func;
    if (!parse(args, &self, &idx, &func)) return nullptr;
    return UmboCache_METHODS(self)->c_get_or_exec(self, idx, func);
}

PyObject* new_cache(PyObject*, PyObject*) { return imported_table->new_(); }

PyObject* slot_list(PyObject*, PyObject* op) {
    UmboCacheObject* self = as_cache(op);
    return self ? Py_NewRef(self->cache_arr) : nullptr;
}

PyObject* shares_table(PyObject*, PyObject* op) {
    UmboCacheObject* self = as_cache(op);
    return self ? PyBool_FromLong(self->__pyx_vtab == imported_table) : nullptr;
}

// Runs the header's import again, for the tests of its checks.
PyObject* load(PyObject*, PyObject*) {
    PyTypeObject* type;
    CacheNativeMethods* table;
    if (UmboCache_Import(&type, &table) < 0) return nullptr;
    return reinterpret_cast<PyObject*>(type);
}

PyMethodDef methods[] = {
    {"clear", clear, METH_O, nullptr},
    {"clear_selected", clear_selected, METH_VARARGS, nullptr},
    {"get", get, METH_VARARGS, nullptr},
    {"set", set, METH_VARARGS, nullptr},
    {"get_or_set_val", get_or_set_val, METH_VARARGS, nullptr},
    {"get_or_exec", get_or_exec, METH_VARARGS, nullptr},
    {"new", new_cache, METH_NOARGS, nullptr},
    {"slot_list", slot_list, METH_O, nullptr},
    {"shares_table", shares_table, METH_O, nullptr},
    {"load", load, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "header_consumer", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_header_consumer(void) {
    if (UmboCache_Import(&cache_type, &imported_table) < 0) return nullptr;
    PyObject* module = PyModule_Create(&module_def);
#ifdef Py_GIL_DISABLED
    // What the import stores is only read afterwards, and the module's API is
    // safe without the lock where the module is built for that; a consumer
    // that turned the lock on would do so for the rest of the test session.
    if (module && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}
