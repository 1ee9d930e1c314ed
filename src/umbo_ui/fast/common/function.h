// Function objects: the module's callables as Python sees them.
//
// A function object wraps a native implementation in vector-call form and
// behaves like a Python function for binding and introspection: looked up
// on an instance it binds to it, looked up on the class it stays plain, and
// it carries __name__, __qualname__, __module__, __globals__, __defaults__,
// __doc__ and a __code__ whose variable names let `inspect.signature` work.
// It is a method descriptor, so `obj.method(...)` can skip the bound method.
#pragma once

#include <Python.h>

namespace umbo {

// The native implementation: `self` is the instance (null for a plain
// function), the rest is the call after the instance.
using FastImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// The same implementation as a method-table entry (METH_FASTCALL |
// METH_KEYWORDS); the cast goes through void(*)() as the C API expects.
inline PyCFunction as_pycfunction(FastImpl impl) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl));
}

enum class Binding {
    kMethod,         // first argument must be an instance of the owner type
    kMethodAnySelf,  // first argument taken as it is
    kPlain,          // a module-level function
};

struct FunctionDef {
    const char* name;      // __name__
    const char* qualname;  // __qualname__
    const char* filename;  // co_filename of __code__
    FastImpl impl;
    Binding binding;
    int argcount;                   // parameters, the instance included
    const char* const* varnames;    // parameters first, then other locals
    int nvarnames;
};

// Readies the function type; 0 or -1.
int function_type_ready();

// A code object for introspection: the def's variable names and argument
// count, with the optimized and new-locals flags.  New reference or null.
PyObject* function_code_new(const FunctionDef& def);

// A function object.  `owner` is the type whose instances a method accepts
// as its first argument; `defaults` may be null.  New reference or null.
PyObject* function_new(const FunctionDef& def, PyTypeObject* owner, PyObject* module_name,
                       PyObject* globals, PyObject* defaults, PyObject* code);

}  // namespace umbo
