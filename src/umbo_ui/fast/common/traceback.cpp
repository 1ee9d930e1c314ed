// Traceback entries for failures raised in native code: a synthetic code
// object per entry name, made on first use and kept, and a frame per entry,
// chained onto the pending exception.
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
// "file:funcname" -> code object, kept for good: entries name the module's
// own functions, a set fixed at build time.  A code object per entry would
// never be freed on the free-threaded 3.13, which makes every code object
// created once a second thread has run immortal.  Null if it couldn't be made.
PyObject* codes = nullptr;

// A new reference to the code object of an entry, or null with an exception.
PyObject* entry_code(const char* funcname, const char* file) {
    if (!codes) return reinterpret_cast<PyObject*>(PyCode_NewEmpty(entry_file(file), funcname, 1));
    Ref key = Ref::steal(PyUnicode_FromFormat("%s:%s", entry_file(file), funcname));
    if (!key) return nullptr;
    PyObject* code = nullptr;
    if (compat::dict_get_item_ref(codes, key.get(), &code) != 0) return code;  // found, or an error
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(entry_file(file), funcname, 1)));
    if (!made) return nullptr;
    // Another thread may have stored one meanwhile: take the one the dict
    // holds (borrowed, and never removed).
    return Py_XNewRef(PyDict_SetDefault(codes, key.get(), made.get()));
}

}  // namespace

void traceback_setup(const char* name, const char* file, PyObject* module_globals) {
    module_name = name;
    default_file = file;
    globals = module_globals;
    if (!codes) {
        codes = PyDict_New();
        if (!codes) PyErr_Clear();  // each entry then makes its own
    }
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
        Ref code = Ref::steal(entry_code(funcname, file));
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
