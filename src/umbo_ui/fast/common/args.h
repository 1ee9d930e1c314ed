// Argument binding and integer conversions shared by every callable.
//
// A callable receives its arguments in vector form (a positional array, its
// count and a tuple of keyword names whose values follow the positional
// ones) and binds them to the parameters its declaration (function.h)
// gives.  Binding allocates nothing: the bound values are borrowed from the
// caller's array, which the caller keeps alive for the whole call.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "common/compat.h"
#include "common/function.h"

namespace umbo {

// Binds a call to the parameters of `c`, filling out[0 .. c.count) with
// borrowed references; missing optional parameters are None.  Returns 0,
// or -1 with TypeError set (a callable with parameters adds its traceback
// entry).
int bind_args_slow(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
inline int bind_args(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (kwnames || nargs != c.count) return bind_args_slow(c, args, nargs, kwnames, out);
    std::copy(args, args + nargs, out);  // every parameter by position
    return 0;
}

// For a callable without parameters given as (args, kwargs) by a type slot:
// refuses any positional argument, then any keyword.  0, or -1 with
// TypeError set.
int expect_no_args(const char* func_name, PyObject* args, PyObject* kwargs);

// Declared checks; each returns 0, or -1 with TypeError set.
int check_not_none(const char* param_name, PyObject* obj);
int check_exact_type(const char* param_name, PyObject* obj, PyTypeObject* type);
int check_value_type(PyObject* obj, PyTypeObject* type);
// The error for None handed to a native argument declared not-None.
int raise_none_not_allowed();

// Integer conversions.  -1 is also a valid result: test PyErr_Occurred().
int32_t as_int32_slow(PyObject* obj);
inline int32_t as_int32(PyObject* obj) {
    long long value;
    if (PyLong_CheckExact(obj) && compat::small_int_value(obj, &value) && value >= INT32_MIN && value <= INT32_MAX) {
        return static_cast<int32_t>(value);
    }
    return as_int32_slow(obj);
}
int64_t as_int64(PyObject* obj);

}  // namespace umbo
