// Argument binding and integer conversions shared by every callable of the
// module.
//
// Every method receives its arguments in vector form (a positional array,
// its count and a tuple of keyword names whose values follow the positional
// ones).  A method with parameters describes them in a `Params` table and
// calls `bind_args`; a method without parameters calls `expect_no_args`.
// Binding allocates nothing: the bound values are borrowed from the
// caller's array, which the caller keeps alive for the whole call.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/compat.h"

namespace umbo {

inline constexpr int kMaxParams = 3;

// The parameters of one callable.  `names` point at interned strings that
// the module creates at import; every parameter is positional-or-keyword,
// the first `required` ones are required and the rest default to None.
struct Params {
    const char* func_name;  // as quoted by messages: "get"
    const char* qualname;   // the traceback entry of binding errors: "Cache.get"
    const char* tb_file;    // the source file that entry names
    Py_ssize_t count;
    Py_ssize_t required;
    PyObject* const* names[kMaxParams];
};

// Binds a call to `params`, filling out[0 .. params.count) with borrowed
// references.  Returns 0, or -1 with TypeError set (and a traceback entry).
int bind_args_slow(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
inline int bind_args(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
    if (kwnames || nargs != params.count) return bind_args_slow(params, args, nargs, kwnames, out);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];  // every parameter by position
    return 0;
}

// For a callable without parameters: refuses any positional argument, then
// any keyword.  Returns 0, or -1 with TypeError set.
int expect_no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames);

// Always fails: the unexpected-keyword error for the first keyword name.
int reject_keywords(const char* func_name, PyObject* kwnames);

// Looks a keyword name up among the parameters, by value rather than
// identity: the index of the parameter, kKeywordMiss, or -1 with an error
// set (a name bound positionally, a name that is not a str).
inline constexpr Py_ssize_t kKeywordMiss = -2;
Py_ssize_t match_keyword(PyObject* name, const Params& params, Py_ssize_t nargs);

// Always fails with the positional-count TypeError.
int raise_arg_count_error(const char* func_name, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given);

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

// A tuple-and-dict call turned into vector form, for type slots that the
// host calls with (args, kwargs).  Check ok() before use; releases what it
// made when it goes out of scope.
class VectorArgs {
public:
    VectorArgs(PyObject* args, PyObject* kwds);
    VectorArgs(const VectorArgs&) = delete;
    VectorArgs& operator=(const VectorArgs&) = delete;
    ~VectorArgs();

    bool ok() const { return ok_; }
    PyObject* const* args() const { return vector_; }
    Py_ssize_t nargs() const { return nargs_; }
    PyObject* kwnames() const { return kwnames_; }

private:
    static constexpr Py_ssize_t kStackSize = 5;
    PyObject* stack_[kStackSize];
    PyObject** heap_ = nullptr;
    PyObject* const* vector_ = nullptr;
    Py_ssize_t nargs_ = 0;
    Py_ssize_t nkw_values_ = 0;  // keyword values that hold references
    PyObject* kwnames_ = nullptr;
    bool ok_ = false;
};

}  // namespace umbo
