// Traceback entries for failures raised in native code: one synthetic code
// object and frame per entry, chained onto the pending exception.
#include "common/traceback.h"

#include <frameobject.h>

#include <cstdio>

#include "common/compat.h"
#include "common/ref.h"

namespace umbo {

namespace {

const char* module_name = "";
const char* default_file = "";
PyObject* globals = nullptr;  // borrowed; the module lives for good

}  // namespace

void traceback_setup(const char* name, const char* file, PyObject* module_globals) {
    module_name = name;
    default_file = file;
    globals = module_globals;
}

const char* entry_file(const char* file) { return file ? file : default_file; }

void add_traceback(const char* qualname, const char* file) {
    char funcname[256];
    std::snprintf(funcname, sizeof funcname, "%s.%s", module_name, qualname);
    add_traceback_named(funcname, file);
}

void add_traceback_named(const char* funcname, const char* file) {
    Ref frame;
    {
        compat::SavedError error;  // the frame is made with no exception pending
        if (error.empty()) return;
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(entry_file(file), funcname, 1)));
        Ref frame_globals = globals ? Ref::borrow(globals) : Ref::steal(PyDict_New());
        if (code && frame_globals) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), frame_globals.get(), nullptr)));
        }
        PyErr_Clear();  // an entry that can't be made is left out
    }
    if (frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace umbo
