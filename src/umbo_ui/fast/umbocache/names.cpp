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

// CacheType and the reconstructor as found in the module namespace:
// borrowed (so nothing is held), and kept with the GIL while no watched
// object has changed.  Without the GIL another thread may drop the
// namespace's reference under a reader: each call looks.
#ifndef UMBO_WITHOUT_GIL
static struct {
    PyObject *name, *value;
    uint64_t changes;  // watched_changes when it was found
} kept_globals[2];
#endif

PyObject* lookup_global(PyObject* name) {
#ifndef UMBO_WITHOUT_GIL
    auto& kept = kept_globals[name == names.CacheType ? 0 : 1];
    if (kept.name == name && kept.changes == compat::watched_changes.load(std::memory_order_relaxed)) {
        return Py_NewRef(kept.value);
    }
#endif
    PyObject* result = nullptr;
    int found = compat::dict_get_item_ref(state.module_dict, name, &result);
#ifndef UMBO_WITHOUT_GIL
    // (A lookup that may run code is left to run at every call.)
    if (found > 0 && compat::dict_lookups_run_no_code(state.module_dict) && compat::watch(state.module_dict))
        kept = {name, result, compat::watched_changes.load(std::memory_order_relaxed)};
#endif
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
