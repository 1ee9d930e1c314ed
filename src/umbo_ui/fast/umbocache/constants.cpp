// Process-wide constants of the module, and the module-global lookup.
#include "umbocache/constants.h"

#include "common/compat.h"
#include "common/ref.h"

namespace umbo::cache {

Names names;
State state;

namespace {

struct NameEntry {
    PyObject** slot;
    const char* text;
};

const NameEntry kNames[] = {
    {&names.value, "value"},
    {&names._value_, "_value_"},
    {&names.fget, "fget"},
    {&names.enum_, "enum"},
    {&names.Enum, "Enum"},
    {&names._member_map_, "_member_map_"},
    {&names.MappingProxyType, "MappingProxyType"},
    {&names.__getitem__, "__getitem__"},
    {&names.__get__, "__get__"},
    {&names.__getattribute__, "__getattribute__"},
    {&names.__set__, "__set__"},
    {&names.CacheType, "CacheType"},
    {&names.__members__, "__members__"},
    {&names.values, "values"},
    {&names.copy, "copy"},
    {&names.__dict__, "__dict__"},
    {&names.update, "update"},
    {&names.copyreg, "copyreg"},
    {&names._slotnames, "_slotnames"},
    {&names.pickle, "pickle"},
    {&names.PickleError, "PickleError"},
    {&names.__pyx_unpickle_Cache, "__pyx_unpickle_Cache"},
    {&names.__new__, "__new__"},
    {&names.__name__, "__name__"},
    {&names.__getstate__, "__getstate__"},
    {&names.__reduce_ex__, "__reduce_ex__"},
    {&names.__reduce__, "__reduce__"},
    {&names.__reduce_cython__, "__reduce_cython__"},
    {&names.__setstate__, "__setstate__"},
    {&names.__setstate_cython__, "__setstate_cython__"},
    {&names.__set_name__, "__set_name__"},
    {&names.__builtins__, "__builtins__"},
    {&names.__test__, "__test__"},
    {&names.__pyx_vtable__, "__pyx_vtable__"},
    {&names.__main__, "__main__"},
    {&names.Cache, "Cache"},
    {&names.umbo_ui_core_enums, "umbo_ui.core.enums"},
    {&names.module_name, kModuleName},
    {&names.type, "type"},
    {&names.func, "func"},
    {&names.blacklist, "blacklist"},
    {&names.whitelist, "whitelist"},
    {&names.memo, "memo"},
    {&names.__pyx_state, "__pyx_state"},
    {&names.__pyx_type, "__pyx_type"},
    {&names.__pyx_checksum, "__pyx_checksum"},
};

// Stores a new reference in a constant's slot, dropping an earlier one (the
// exec step runs again after a failed import).
int set_constant(PyObject** slot, PyObject* value) {
    if (!value) return -1;
    Py_XSETREF(*slot, value);
    return 0;
}

}  // namespace

int create_constants() {
    if (set_constant(&state.empty_tuple, PyTuple_New(0)) < 0) return -1;
    if (set_constant(&state.empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0) return -1;
    if (set_constant(&state.empty_unicode, PyUnicode_FromStringAndSize("", 0)) < 0) return -1;
    for (const NameEntry& entry : kNames) {
        if (set_constant(entry.slot, PyUnicode_InternFromString(entry.text)) < 0) return -1;
        if (PyObject_Hash(*entry.slot) == -1) return -1;
    }
    if (set_constant(&state.checksum, PyLong_FromLong(0xbd51cb4)) < 0) return -1;
    compat::make_immortal(state.checksum);
    return 0;
}

PyObject* lookup_global(PyObject* name) {
    PyObject* result = nullptr;
    int found = compat::dict_get_item_ref(state.module_dict, name, &result);
    if (found > 0) return result;
    if (found < 0) {
        // A failing lookup in the module namespace counts as absent.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    {
        compat::RecursionGuard guard;  // a module __getattr__ of the builtins may run
        if (!guard) return nullptr;
        result = PyObject_GetAttr(state.builtins, name);
    }
    if (result) return result;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

}  // namespace umbo::cache
