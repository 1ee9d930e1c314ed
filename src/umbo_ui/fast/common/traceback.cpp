// Traceback entries for failures raised in native code: one synthetic code
// object and frame per entry, chained onto the pending exception.
#include "common/traceback.h"

#include <frameobject.h>

#include <cstdio>

#include "common/compat.h"
#include "common/ref.h"

namespace umbo {

namespace {

constexpr const char* kModuleName = "umbo_ui.fast.umbocache.umbocache";
constexpr int kLine = 1;

// Borrowed: the module's dictionary, set once the module exists.
PyObject* traceback_globals = nullptr;

// A frame for the entry; runs with no exception pending.
Ref make_frame(const char* funcname, const char* filename) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, kLine)));
    if (!code) return {};
    Ref globals = traceback_globals ? Ref::borrow(traceback_globals) : Ref::steal(PyDict_New());
    if (!globals) return {};
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
}

}  // namespace

void set_traceback_globals(PyObject* globals) { traceback_globals = globals; }

void add_traceback(const char* qualname, const char* filename) {
    char funcname[256];
    std::snprintf(funcname, sizeof funcname, "%s.%s", kModuleName, qualname);
    add_traceback_named(funcname, filename);
}

void add_traceback_named(const char* funcname, const char* filename) {
    Ref frame;
    {
        compat::SavedError error;
        if (error.empty()) return;
        frame = make_frame(funcname, filename);
        PyErr_Clear();  // an entry that can't be made is left out
    }
    // The error being reported is pending again here.
    if (frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace umbo
