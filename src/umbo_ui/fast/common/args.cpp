// Argument binding, declared checks and integer conversions (see args.h).
#include "common/args.h"

#include <algorithm>

#include "common/ref.h"
#include "common/stack_guard.h"
#include "common/traceback.h"

namespace umbo {

namespace {

// Always fails with the positional-count TypeError.
int raise_arg_count_error(const char* func_name, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const char* qualifier = exact ? "exactly" : given < min ? "at least" : "at most";
    const Py_ssize_t expected = !exact && given < min ? min : max;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func_name, qualifier,
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

int raise_keyword_error(const char* func_name, PyObject* name, const char* what) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got %s keyword argument '%U'", func_name, what, name);
    }
    return -1;
}

// The parameter a keyword name designates: its index among the parameters
// not bound by position, a miss (-2), or -1 with an error set (a parameter
// bound by position, a name that is not a str).  Names are compared by
// value: by identity first, for the interned names a call usually passes.
constexpr Py_ssize_t kMiss = -2;

Py_ssize_t match_keyword(const Callable& c, PyObject* name, Py_ssize_t nargs) {
    for (Py_ssize_t i = nargs; i < c.count; ++i) {
        if (name == c.param_names[i]) return i;
    }
    if (!PyUnicode_Check(name)) return raise_keyword_error(c.name, name, "");
    for (Py_ssize_t i = nargs; i < c.count + nargs; ++i) {  // the unbound ones, then the bound ones
        const Py_ssize_t param = i % c.count;
        const int equal = PyObject_RichCompareBool(name, c.param_names[param], Py_EQ);
        if (equal < 0) return -1;
        if (equal && param < nargs) return raise_keyword_error(c.name, name, "multiple values for");
        if (equal) return param;
    }
    return kMiss;
}

int bind_with_keywords(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    std::fill(std::copy(args, args + nargs, out), out + c.count, nullptr);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = match_keyword(c, name, nargs);
        if (index == -1) return -1;
        if (index == kMiss) return raise_keyword_error(c.name, name, "an unexpected");
        // The same name twice among the keywords (only a native caller can).
        if (out[index]) return raise_keyword_error(c.name, name, "multiple values for");
        out[index] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < c.count; ++i) {
        if (out[i]) continue;
        if (!c.defaults_none) return raise_arg_count_error(c.name, true, c.count, c.count, i);
        out[i] = Py_None;
    }
    return 0;
}

}  // namespace

int bind_args_slow(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    const Py_ssize_t required = c.defaults_none ? 0 : c.count;
    if (c.count == 0) {
        // No parameters: a positional argument is refused first, then any
        // keyword; neither error adds an entry of the callable's own.
        if (nargs > 0) return raise_arg_count_error(c.name, true, 0, 0, nargs);
        return keywords ? raise_keyword_error(c.name, PyTuple_GET_ITEM(kwnames, 0), "an unexpected") : 0;
    }
    int status;
    if (nargs > c.count || (!keywords && nargs < required)) {
        status = raise_arg_count_error(c.name, required == c.count, required, c.count, nargs);
    } else if (!keywords) {
        std::fill(std::copy(args, args + nargs, out), out + c.count, Py_None);
        return 0;
    } else {
        // A keyword name's __eq__ may call back into the module.
        status = compat::guarded<false>([&] { return bind_with_keywords(c, args, nargs, kwnames, out); });
    }
    if (status < 0) add_traceback(c.qualname, c.file);
    return status;
}

int expect_no_args(const char* func_name, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) > 0) return raise_arg_count_error(func_name, true, 0, 0, PyTuple_GET_SIZE(args));
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return 0;
    Ref first;
    UMBO_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    if (PyDict_Next(kwargs, &pos, &name, &value)) first = Ref::borrow(name);
    UMBO_END_CRITICAL_SECTION();
    return first ? raise_keyword_error(func_name, first.get(), "an unexpected") : 0;
}

int check_not_none(const char* param_name, PyObject* obj) {
    if (obj != Py_None) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", param_name);
    return -1;
}

int check_exact_type(const char* param_name, PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param_name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return -1;
}

int check_value_type(PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(obj)->tp_name);
    return -1;
}

int raise_none_not_allowed() {
    PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
    return -1;
}

// ---- integer conversions

namespace {

// An int object of any size as a 32-bit value.
int32_t long_as_int32(PyObject* v) {
    long long x;
    int overflow = 0;
    if (!compat::small_int_value(v, &x)) {
        x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred()) return -1;
    }
    if (!overflow && x >= INT32_MIN && x <= INT32_MAX) return static_cast<int32_t>(x);
    if (!overflow && x > -(1LL << 60) && x < (1LL << 60)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    // Larger magnitudes fail with the host's own int conversion error.
    return compat::long_as_int(v);
}

// An object that is not an int goes through its type's __int__ slot only.
// Returns a new reference to an int, or null with an exception set.
PyObject* int_from_nb_int(PyObject* obj) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    Ref result;
    if (nb && nb->nb_int) {
        // __int__ may call back into the module.
        result = Ref::steal(compat::guarded([&] { return nb->nb_int(obj); }));
    }
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(result.get())) return result.release();
    const char* type_name = Py_TYPE(result.get())->tp_name;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                         "subclass of int is deprecated, and may be removed in a future version of Python.",
                         type_name) < 0) {
        return nullptr;
    }
    return result.release();
}

}  // namespace

int32_t as_int32_slow(PyObject* obj) {
    if (PyLong_Check(obj)) return long_as_int32(obj);
    Ref value = Ref::steal(int_from_nb_int(obj));
    return value ? long_as_int32(value.get()) : -1;
}

int64_t as_int64(PyObject* obj) {
    Ref value = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(int_from_nb_int(obj));
    return value ? static_cast<int64_t>(PyLong_AsLongLong(value.get())) : -1;
}

}  // namespace umbo
