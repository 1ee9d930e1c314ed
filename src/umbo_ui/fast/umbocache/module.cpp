// The umbocache extension module: its definition, the create step (one
// interpreter per process, one module object), and the exec step that
// builds all module state once, in a fixed order.
#include <Python.h>

#include "common/compat.h"
#include "common/function.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/cache.h"

// Set by a host that embeds the module and wants it to run as __main__.
extern "C" Py_EXPORTED_SYMBOL int __pyx_module_is_main_umbo_ui__fast__umbocache__umbocache;
int __pyx_module_is_main_umbo_ui__fast__umbocache__umbocache = 0;

namespace umbo::cache {

namespace {

// The module's state lives for the whole process and belongs to the first
// interpreter that loads it.  That interpreter's own dict carries a mark:
// another interpreter, or a new one after Py_FinalizeEx and Py_Initialize
// (which may have the same id, while the old state died with the old
// interpreter), has none.  0 if the running interpreter is the module's
// (the first one to ask claims it), else -1 with ImportError or another
// error set.
int claim_interpreter() {
    static bool claimed = false;
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // none: not the module's
    Ref mark = Ref::steal(PyUnicode_FromString(kModuleName));
    const int marked = dict && mark ? PyDict_Contains(dict, mark.get()) : 0;
    if (!mark || marked < 0) return -1;
    if (marked > 0) return 0;
    if (!claimed && dict) return (claimed = PyDict_SetItem(dict, mark.get(), Py_True) == 0) ? 0 : -1;  // the first
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
}

// ---- create step

// Copies spec.<from> to the module dict's <to>; a missing attribute is
// skipped, and so is None where `allow_none` is false.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = nullptr;
    Ref name = Ref::steal(PyUnicode_FromString(from));
    const int found = name ? compat::get_optional_attr(spec, name.get(), &value) : -1;
    Ref held = Ref::steal(value);
    if (found <= 0 || (!allow_none && value == Py_None)) return found;
    return PyDict_SetItemString(dict, to, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    if (claim_interpreter() < 0) return nullptr;
    if (state.module) return Py_NewRef(state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = Ref::steal(name ? PyModule_NewObject(name.get()) : nullptr);
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- exec step

int warn_on_version_mismatch() {
    const int major = static_cast<int>(compat::runtime_version() >> 24) & 0xFF;
    const int minor = static_cast<int>(compat::runtime_version() >> 16) & 0xFF;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' does not match runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, major, minor);
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, names.module_name);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, names.module_name, module);
}

// CacheType comes from the enumeration module, taken from sys.modules when
// it is already there and has the name, imported otherwise.
PyObject* find_cache_type() {
    Ref enums = Ref::steal(PyImport_GetModule(names.enums_module));
    if (!enums && PyErr_Occurred()) return nullptr;
    PyObject* found = nullptr;
    const int has = enums ? compat::get_optional_attr(enums.get(), names.CacheType, &found) : 0;
    if (has < 0) return nullptr;
    if (has) return found;
    Ref locals = Ref::steal(compat::new_empty_locals());
    Ref fromlist = Ref::steal(locals ? PyList_New(1) : nullptr);
    if (!fromlist) return nullptr;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(names.CacheType));
    enums = Ref::steal(
        PyImport_ImportModuleLevelObject(names.enums_module, state.module_dict, locals.get(), fromlist.get(), 0));
    if (!enums) return nullptr;
    PyObject* cache_type = PyObject_GetAttr(enums.get(), names.CacheType);
    if (cache_type) return cache_type;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule of that name registered in sys.modules also counts.
        PyErr_Clear();
        Ref module_name = Ref::steal(PyObject_GetAttr(enums.get(), names.__name__));
        Ref full_name =
            Ref::steal(module_name ? PyUnicode_FromFormat("%S.%U", module_name.get(), names.CacheType) : nullptr);
        if (full_name && (cache_type = PyImport_GetModule(full_name.get()))) return cache_type;
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", names.CacheType);
    return nullptr;
}

// Steps from the is-main flag on; their failure adds an "init" entry.
int exec_namespace(PyObject* module) {
    PyObject* dict = state.module_dict;
    if (__pyx_module_is_main_umbo_ui__fast__umbocache__umbocache &&
        PyObject_SetAttr(module, names.__name__, names.__main__) < 0) {
        return -1;
    }
    if (register_in_sys_modules(module) < 0 || ready_cache_type(dict) < 0 ||
        PyDict_SetItem(dict, names.Cache, reinterpret_cast<PyObject*>(&Cache_Type)) < 0) {
        return -1;
    }
    Ref cache_type = Ref::steal(find_cache_type());
    if (!cache_type || PyDict_SetItem(dict, names.CacheType, cache_type.get()) < 0) return -1;
    take_stock_of_enum();
    if (register_reductions() < 0) return -1;
    Ref unpickle = Ref::steal(prepare(unpickle_function) < 0
                                  ? nullptr
                                  : function_new(unpickle_function, &Cache_Type, names.module_name, dict));
    Ref test = Ref::steal(PyDict_New());
    if (!unpickle || !test || PyDict_SetItem(dict, names.__pyx_unpickle_Cache, unpickle.get()) < 0) return -1;
    return PyDict_SetItem(dict, names.__test__, test.get());
}

int exec_steps(PyObject* module) {
    if (compat::module_declare_gil(module) < 0) return -1;
    Py_XSETREF(state.module_dict, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(state.builtins, compat::import_add_module_ref("builtins"));
    if (!state.builtins) return -1;
    traceback_setup(kModuleName, kModuleFile, state.module_dict);
    if (PyDict_SetItemString(state.module_dict, "__builtins__", state.builtins) < 0 || warn_on_version_mismatch() < 0 ||
        create_names() < 0) {
        return -1;
    }
    if (exec_namespace(module) == 0) return 0;
    add_traceback_named("init " UMBOCACHE_MODULE_NAME);
    return -1;
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'umbocache' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (exec_steps(module) == 0) return 0;
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, UMBO_MOD_GIL},
#endif
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "umbocache", nullptr, 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace umbo::cache

PyMODINIT_FUNC PyInit_umbocache() { return PyModuleDef_Init(&umbo::cache::module_def); }
