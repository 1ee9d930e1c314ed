// Process-wide constants and state of the umbocache module.
//
// Everything here is created once, by the module's exec step under the
// import lock, and lives as long as the process.
#pragma once

#include <Python.h>

namespace umbo::cache {

// Interned names and fixed strings, each with its hash computed at import.
struct Names {
    PyObject* value;
    PyObject* _value_;
    PyObject* fget;
    PyObject* enum_;  // "enum"
    PyObject* Enum;
    PyObject* _member_map_;
    PyObject* MappingProxyType;
    PyObject* __getitem__;
    PyObject* __get__;
    PyObject* __getattribute__;
    PyObject* __set__;
    PyObject* CacheType;
    PyObject* __members__;
    PyObject* values;
    PyObject* copy;
    PyObject* __dict__;
    PyObject* update;
    PyObject* copyreg;
    PyObject* _slotnames;
    PyObject* pickle;
    PyObject* PickleError;
    PyObject* __pyx_unpickle_Cache;
    PyObject* __new__;
    PyObject* __name__;
    PyObject* __getstate__;
    PyObject* __reduce_ex__;
    PyObject* __reduce__;
    PyObject* __reduce_cython__;
    PyObject* __setstate__;
    PyObject* __setstate_cython__;
    PyObject* __set_name__;
    PyObject* __builtins__;
    PyObject* __test__;
    PyObject* __pyx_vtable__;
    PyObject* __main__;
    PyObject* Cache;
    PyObject* umbo_ui_core_enums;
    PyObject* module_name;  // "umbo_ui.fast.umbocache.umbocache"
    // parameter names
    PyObject* type;
    PyObject* func;
    PyObject* blacklist;
    PyObject* whitelist;
    PyObject* memo;
    PyObject* __pyx_state;
    PyObject* __pyx_type;
    PyObject* __pyx_checksum;
};

struct State {
    PyObject* module;       // held from the start of the exec step on
    PyObject* module_dict;  // the module's namespace
    PyObject* builtins;     // the builtins module
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_unicode;
    PyObject* checksum;       // 0xbd51cb4, the layout checksum of pickles
    PyObject* none_defaults;  // (None, None), the defaults of clear_selected
};

extern Names names;
extern State state;

// Creates the shared empty objects, the names and the integer constant.
int create_constants();

// The object bound to `name` in the module namespace, else in the builtins,
// as a new reference; NameError when neither has it.
PyObject* lookup_global(PyObject* name);

// The module's full dotted name, as a C string.
inline constexpr const char* kModuleName = "umbo_ui.fast.umbocache.umbocache";

}  // namespace umbo::cache
