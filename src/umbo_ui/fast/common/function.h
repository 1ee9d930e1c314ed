// Python-visible callables: each one declared once, next to its
// implementation, and the function objects made from those declarations.
//
// A function object behaves like a Python function for binding and
// introspection: looked up on an instance it binds to it, looked up on the
// class it stays plain, and it carries __name__, __qualname__, __module__,
// __globals__, __defaults__, __doc__ and a __code__ whose variable names let
// `inspect.signature` work.  It is a method descriptor, so `obj.method(...)`
// can skip the bound method.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

namespace umbo {

// The implementation, in vector-call form: `self` is the instance (null for
// a plain function), the rest is the call after the instance.
using FastImpl = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);  // self, args, nargs, kwnames

enum class Binding : uint8_t {
    kMethod,         // the first argument must be an instance of the owner type
    kMethodAnySelf,  // the first argument is taken as it is
    kFunction,       // a module-level function
};

// What Python sees of one callable.  Every parameter is positional-or-
// keyword; either all are required, or all default to None.
struct Callable {
    const char* name;      // __name__, and the name that argument errors quote
    const char* qualname;  // __qualname__, and the name of its traceback entries
    FastImpl impl;
    std::array<const char*, 3> params = {};  // after the instance
    bool defaults_none = false;
    Binding binding = Binding::kMethod;
    const char* file = nullptr;              // the file its entries name (null: the module's source)
    std::array<const char*, 3> locals = {};  // further local names of its code object
    const char* alias = nullptr;             // also published under this name, as the host's method descriptor
    // Filled by prepare() at import.
    Py_ssize_t count = 0;
    PyObject* param_names[3] = {};  // interned
};

// Interns the parameter names of `c`; 0 or -1.
int prepare(Callable& c);

// Readies the function type; 0 or -1.
int function_type_ready();
// The function type (for tables keyed by type, such as copyreg's).
PyTypeObject* function_type();

// The function object of a prepared callable; methods take instances of
// `owner`.  New reference, or null with an exception set.
PyObject* function_new(const Callable& c, PyTypeObject* owner, PyObject* module_name, PyObject* globals);

// A method-table entry for the callable (the host makes its own descriptor).
PyMethodDef method_def(const Callable& c);

}  // namespace umbo
