// The umbocache extension module: its definition, the create step (one
// interpreter per process, one module object), and the exec step that
// builds all module state once, in a fixed order.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "common/compat.h"
#include "common/function.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/cache.h"
#include "umbocache/constants.h"

// Set by a host that embeds the module and wants it to run as __main__.
extern "C" Py_EXPORTED_SYMBOL int __pyx_module_is_main_umbo_ui__fast__umbocache__umbocache;
int __pyx_module_is_main_umbo_ui__fast__umbocache__umbocache = 0;

namespace umbo::cache {

namespace {

// ---- the functions the module publishes

constexpr const char* kSelf[] = {"self"};
constexpr const char* kSelfCopy[] = {"self", "copy"};
constexpr const char* kSelfType[] = {"self", "type"};
constexpr const char* kSelfTypeValue[] = {"self", "type", "value"};
constexpr const char* kSelfTypeFunc[] = {"self", "type", "func"};
constexpr const char* kSelfLists[] = {"self", "blacklist", "whitelist"};
constexpr const char* kSelfMemo[] = {"self", "memo"};
constexpr const char* kSelfReduce[] = {"self", "state", "_dict", "use_setstate"};
constexpr const char* kSelfState[] = {"self", "__pyx_state"};
constexpr const char* kUnpickle[] = {"__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_result"};

#define UMBO_METHOD(name, impl, binding, argc, vars, file) \
    FunctionDef{name, "Cache." name, file, impl, binding, argc, vars, static_cast<int>(std::size(vars))}

// The methods stored into the type, in their order of installation.
const FunctionDef kMethods[] = {
    UMBO_METHOD("clear", Cache_clear, Binding::kMethod, 1, kSelf, kModuleFile),
    UMBO_METHOD("clear_selected", Cache_clear_selected, Binding::kMethod, 3, kSelfLists, kModuleFile),
    UMBO_METHOD("get", Cache_get, Binding::kMethod, 2, kSelfType, kModuleFile),
    UMBO_METHOD("set", Cache_set, Binding::kMethod, 3, kSelfTypeValue, kModuleFile),
    UMBO_METHOD("get_or_set_val", Cache_get_or_set_val, Binding::kMethod, 3, kSelfTypeValue, kModuleFile),
    UMBO_METHOD("get_or_exec", Cache_get_or_exec, Binding::kMethod, 3, kSelfTypeFunc, kModuleFile),
    UMBO_METHOD("copy", Cache_copy, Binding::kMethod, 1, kSelfCopy, kModuleFile),
    UMBO_METHOD("__deepcopy__", Cache___deepcopy__, Binding::kMethodAnySelf, 2, kSelfMemo, kModuleFile),
    UMBO_METHOD("__reduce_cython__", Cache___reduce_cython__, Binding::kMethod, 1, kSelfReduce, kPickleFile),
    UMBO_METHOD("__setstate_cython__", Cache___setstate_cython__, Binding::kMethod, 2, kSelfState, kPickleFile),
};
constexpr size_t kClearSelected = 1;

#undef UMBO_METHOD

const FunctionDef kUnpickleDef = {
    "__pyx_unpickle_Cache", "__pyx_unpickle_Cache", kPickleFile, pyx_unpickle_Cache, Binding::kPlain,
    3, kUnpickle, static_cast<int>(std::size(kUnpickle))};

constexpr size_t kFunctionCount = std::size(kMethods) + 1;
PyObject* codes[kFunctionCount];  // the code objects, the reconstructor's last

// ---- process-wide state of the create and exec steps

int64_t first_interpreter = -1;

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/);
int module_exec(PyObject* module);

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
    PyModuleDef_HEAD_INIT,
    "umbocache",     // m_name
    nullptr,         // m_doc
    0,               // m_size
    module_methods,  // m_methods
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

// ---- create step

// Copies spec.<from> to the module dict's <to>; a missing attribute is
// skipped, and so is None where `allow_none` is false.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
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
    int major, minor;
    compat::runtime_version(&major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, names.module_name);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, names.module_name, module);
}

int create_code_objects() {
    for (size_t i = 0; i < std::size(kMethods); ++i) {
        PyObject* code = function_code_new(kMethods[i]);
        if (!code) return -1;
        Py_XSETREF(codes[i], code);
    }
    PyObject* code = function_code_new(kUnpickleDef);
    if (!code) return -1;
    Py_XSETREF(codes[kFunctionCount - 1], code);
    return 0;
}

int publish_vtable() {
    Ref capsule = Ref::steal(PyCapsule_New(&native_methods, nullptr, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItem(Cache_Type.tp_dict, names.__pyx_vtable__, capsule.get());
}

// CacheType comes from the enumeration module, taken from sys.modules when
// it is already there and has the name, imported otherwise.
PyObject* find_cache_type() {
    Ref enums = Ref::steal(PyImport_GetModule(names.umbo_ui_core_enums));
    if (enums) {
        int has = compat::has_attr_with_error(enums.get(), names.CacheType);
        if (has < 0) return nullptr;
        if (!has) enums.reset();
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    if (!enums) {
        Ref locals = Ref::steal(compat::new_empty_locals());
        if (!locals) return nullptr;
        Ref fromlist = Ref::steal(PyList_New(1));
        if (!fromlist) return nullptr;
        PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(names.CacheType));
        enums = Ref::steal(PyImport_ImportModuleLevelObject(names.umbo_ui_core_enums, state.module_dict,
                                                            locals.get(), fromlist.get(), 0));
        if (!enums) return nullptr;
    }
    PyObject* cache_type = PyObject_GetAttr(enums.get(), names.CacheType);
    if (cache_type) return cache_type;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule of that name registered in sys.modules also counts.
        PyErr_Clear();
        Ref module_name = Ref::steal(PyObject_GetAttr(enums.get(), names.__name__));
        Ref full_name = module_name ? Ref::steal(PyUnicode_FromFormat("%S.%U", module_name.get(), names.CacheType))
                                    : Ref();
        if (full_name) {
            cache_type = PyImport_GetModule(full_name.get());
            if (cache_type) return cache_type;
        }
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", names.CacheType);
    return nullptr;
}

int bind_cache_type() {
    Ref cache_type = Ref::steal(find_cache_type());
    if (!cache_type) return -1;
    return PyDict_SetItem(state.module_dict, names.CacheType, cache_type.get());
}

// Stores a function object into the type and tells the type about it.
int install_method(PyObject* type, const FunctionDef& def, PyObject* code, PyObject* defaults) {
    Ref func = Ref::steal(function_new(def, &Cache_Type, names.module_name, state.module_dict, defaults, code));
    if (!func) return -1;
    compat::enable_deferred_refcount(func.get());
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!name || PyDict_SetItem(Cache_Type.tp_dict, name.get(), func.get()) < 0) return -1;
    PyType_Modified(&Cache_Type);
    PyObject* set_name = nullptr;
    int found = compat::get_optional_attr(func.get(), names.__set_name__, &set_name);
    if (found < 0) return -1;
    if (found) {
        Ref held = Ref::steal(set_name);
        Ref done = Ref::steal(PyObject_CallFunctionObjArgs(set_name, type, name.get(), nullptr));
        if (!done) return -1;
    }
    return 0;
}

int install_functions() {
    PyObject* type = reinterpret_cast<PyObject*>(&Cache_Type);
    for (size_t i = 0; i < std::size(kMethods); ++i) {
        PyObject* defaults = i == kClearSelected ? state.none_defaults : nullptr;
        if (install_method(type, kMethods[i], codes[i], defaults) < 0) return -1;
    }
    Ref unpickle = Ref::steal(function_new(kUnpickleDef, &Cache_Type, names.module_name, state.module_dict,
                                           nullptr, codes[kFunctionCount - 1]));
    if (!unpickle) return -1;
    compat::enable_deferred_refcount(unpickle.get());
    return PyDict_SetItem(state.module_dict, names.__pyx_unpickle_Cache, unpickle.get());
}

// Steps from the is-main flag on; their failure adds an "init" entry.
int exec_namespace(PyObject* module) {
    if (__pyx_module_is_main_umbo_ui__fast__umbocache__umbocache &&
        PyObject_SetAttr(module, names.__name__, names.__main__) < 0) {
        return -1;
    }
    if (register_in_sys_modules(module) < 0) return -1;
    if (!state.none_defaults) {
        state.none_defaults = PyTuple_Pack(2, Py_None, Py_None);
        if (!state.none_defaults) return -1;
        compat::make_immortal(state.none_defaults);
    }
    if (create_code_objects() < 0) return -1;
    fill_native_table();
    if (function_type_ready() < 0) return -1;
    if (PyType_Ready(&Cache_Type) < 0) return -1;
    if (install_attribute_lookup() < 0) return -1;
    compat::enable_deferred_refcount(reinterpret_cast<PyObject*>(&Cache_Type));
    if (publish_vtable() < 0) return -1;
    if (PyDict_SetItem(state.module_dict, names.Cache, reinterpret_cast<PyObject*>(&Cache_Type)) < 0) return -1;
    if (setup_pickling() < 0) return -1;
    if (bind_cache_type() < 0) return -1;
    take_stock_of_enum();
    if (install_functions() < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItem(state.module_dict, names.__test__, test.get());
}

int exec_steps(PyObject* module) {
    if (compat::module_declare_gil(module) < 0) return -1;
    Py_XSETREF(state.module_dict, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(state.builtins, compat::import_add_module_ref("builtins"));
    if (!state.builtins) return -1;
    set_traceback_globals(state.module_dict);
    if (PyDict_SetItemString(state.module_dict, "__builtins__", state.builtins) < 0) return -1;
    if (warn_on_version_mismatch() < 0) return -1;
    if (create_constants() < 0) return -1;
    if (exec_namespace(module) < 0) {
        add_traceback_named("init umbo_ui.fast.umbocache.umbocache");
        return -1;
    }
    return 0;
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

}  // namespace

}  // namespace umbo::cache

PyMODINIT_FUNC PyInit_umbocache() { return PyModuleDef_Init(&umbo::cache::module_def); }
