// The module's interned names and its process-wide state.
//
// Everything here is created once, by the module's exec step under the
// import lock, and lives as long as the process.
#pragma once

#include <Python.h>

#include "umbocache/include/umbocache.h"

namespace umbo::cache {

// The module's dotted name, and the source files its traceback entries name.
inline constexpr const char* kModuleName = UMBOCACHE_MODULE_NAME;
inline constexpr const char* kModuleFile = "src/umbo_ui/fast/umbocache/umbocache";
inline constexpr const char* kPickleFile = "(tree fragment)";

// Interned names: X(field, text).
// clang-format off
#define UMBO_NAMES(X)                                                                                                  \
    X(Cache, "Cache") X(CacheType, "CacheType") X(Enum, "Enum") X(MappingProxyType, "MappingProxyType")                \
    X(PickleError, "PickleError") X(__dict__, "__dict__") X(__get__, "__get__")                                        \
    X(__getattribute__, "__getattribute__") X(__getitem__, "__getitem__") X(__main__, "__main__")                      \
    X(__members__, "__members__") X(__name__, "__name__") X(__new__, "__new__")                                        \
    X(__pyx_unpickle_Cache, "__pyx_unpickle_Cache") X(__pyx_vtable__, "__pyx_vtable__")                                \
    X(__reduce__, "__reduce__") X(__set__, "__set__") X(__test__, "__test__") X(_member_map_, "_member_map_")          \
    X(_slotnames, "_slotnames") X(_value_, "_value_") X(copy, "copy") X(copyreg, "copyreg")                            \
    X(dispatch_table, "dispatch_table") X(enum_, "enum") X(enums_module, "umbo_ui.core.enums") X(fget, "fget")         \
    X(module_name, kModuleName) X(pickle, "pickle") X(update, "update") X(value, "value") X(values, "values")
// clang-format on

struct Names {
#define UMBO_NAME_FIELD(field, text) PyObject* field;
    UMBO_NAMES(UMBO_NAME_FIELD)
#undef UMBO_NAME_FIELD
};

struct State {
    PyObject* module;       // held from the start of the exec step on
    PyObject* module_dict;  // the module's namespace
    PyObject* builtins;     // the builtins module
    PyObject* checksum;     // the layout checksum of pickles, as an int
};

extern Names names;
extern State state;

// Creates the names and the checksum; 0 or -1.
int create_names();

// The object bound to `name` in the module namespace, else in the builtins,
// as a new reference; NameError when neither has it.
PyObject* lookup_global(PyObject* name);

}  // namespace umbo::cache
