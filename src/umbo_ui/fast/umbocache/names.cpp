// The module's interned names and process-wide state (see names.h).
#include "umbocache/names.h"

#include "common/compat.h"
#include "common/stack_guard.h"
#include "umbocache/cache.h"

namespace umbo::cache {

Names names;
State state;

int create_names() {
    // An earlier exec step that failed may have made some already.
#define UMBO_NAME_CREATE(field, text)                                                 \
    if (!names.field && !(names.field = PyUnicode_InternFromString(text))) return -1; \
    if (PyObject_Hash(names.field) == -1) return -1;
    UMBO_NAMES(UMBO_NAME_CREATE)
#undef UMBO_NAME_CREATE
    if (!state.checksum) state.checksum = PyLong_FromLong(kChecksum);
    return state.checksum ? 0 : -1;
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
    // A module __getattr__ of the builtins may run.
    result = compat::guarded([&] { return PyObject_GetAttr(state.builtins, name); });
    if (!result && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return result;
}

}  // namespace umbo::cache
