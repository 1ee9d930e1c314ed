// Argument binding, declared checks and integer conversions (see args.h).
#include "common/args.h"

#include <cstring>

#include "common/compat.h"
#include "common/ref.h"
#include "common/traceback.h"

namespace umbo {

namespace {

int fail_binding(const Params& params) {
    add_traceback(params.qualname, params.tb_file);
    return -1;
}

// Equality of two exact str objects, cheapest test first.
bool same_text(PyObject* a, PyObject* b) {
    if (PyObject_Hash(a) != PyObject_Hash(b)) return false;
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
    if (PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
}

// 1 if `name` equals parameter `i`, 0 if not, -1 on error.
int name_equals(PyObject* name, bool exact, const Params& params, Py_ssize_t i) {
    PyObject* param = *params.names[i];
    if (exact) return same_text(name, param) ? 1 : 0;
    return PyObject_RichCompareBool(name, param, Py_EQ);
}

int raise_unexpected_keyword(const char* func_name, PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name, name);
    return -1;
}

int raise_keywords_must_be_strings(const char* func_name) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
    return -1;
}

}  // namespace

int raise_arg_count_error(const char* func_name, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given) {
    const char* qualifier;
    Py_ssize_t expected;
    if (exact) {
        qualifier = "exactly";
        expected = max;
    } else if (given < min) {
        qualifier = "at least";
        expected = min;
    } else {
        qualifier = "at most";
        expected = max;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func_name, qualifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

int reject_keywords(const char* func_name, PyObject* kwnames) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
    if (!PyUnicode_Check(name)) return raise_keywords_must_be_strings(func_name);
    return raise_unexpected_keyword(func_name, name);
}

int expect_no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0) return raise_arg_count_error(func_name, true, 0, 0, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) return reject_keywords(func_name, kwnames);
    return 0;
}

Py_ssize_t match_keyword(PyObject* name, const Params& params, Py_ssize_t nargs) {
    if (!PyUnicode_Check(name)) return raise_keywords_must_be_strings(params.func_name);
    const bool exact = PyUnicode_CheckExact(name);
    for (Py_ssize_t i = nargs; i < params.count; ++i) {
        int eq = name_equals(name, exact, params, i);
        if (eq < 0) return -1;
        if (eq) return i;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        int eq = name_equals(name, exact, params, i);
        if (eq < 0) return -1;
        if (eq) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         params.func_name, name);
            return -1;
        }
    }
    return kKeywordMiss;
}

int bind_args_slow(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    const Py_ssize_t n = params.count;
    const Py_ssize_t required = params.required;
    const bool exact = required == n;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nkw == 0) {
        if (nargs < required || nargs > n) {
            raise_arg_count_error(params.func_name, exact, required, n, nargs);
            return fail_binding(params);
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        for (Py_ssize_t i = nargs; i < n; ++i) out[i] = Py_None;
        return 0;
    }

    if (nargs > n) {
        raise_arg_count_error(params.func_name, exact, required, n, nargs);
        return fail_binding(params);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) out[i] = nullptr;

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = kKeywordMiss;
        for (Py_ssize_t i = nargs; i < n; ++i) {
            if (name == *params.names[i]) {
                index = i;
                break;
            }
        }
        if (index == kKeywordMiss) index = match_keyword(name, params, nargs);
        if (index == -1) return fail_binding(params);
        if (index == kKeywordMiss) {
            raise_unexpected_keyword(params.func_name, name);
            return fail_binding(params);
        }
        if (out[index]) {  // the same name twice among the keywords
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         params.func_name, name);
            return fail_binding(params);
        }
        out[index] = args[nargs + k];
    }

    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (out[i]) continue;
        if (i < required) {
            raise_arg_count_error(params.func_name, exact, required, n, i);
            return fail_binding(params);
        }
        out[i] = Py_None;
    }
    return 0;
}

int check_not_none(const char* param_name, PyObject* obj) {
    if (obj != Py_None) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", param_name);
    return -1;
}

int check_exact_type(const char* param_name, PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param_name, type->tp_name, Py_TYPE(obj)->tp_name);
    return -1;
}

int check_value_type(PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(obj)->tp_name);
    return -1;
}

int raise_none_not_allowed() {
    PyErr_SetString(PyExc_TypeError,
                    "cannot pass None into a C function argument that is declared 'not None'");
    return -1;
}

// ---- integer conversions

namespace {

constexpr long long kDirectLimit = 1LL << 60;  // two 30-bit digits

// Reads an int object of any size as a 32-bit value.
int32_t long_as_int32(PyObject* v) {
    long long x;
    if (compat::small_int_value(v, &x)) {
        if (x >= INT32_MIN && x <= INT32_MAX) return static_cast<int32_t>(x);
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    int overflow = 0;
    x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (x == -1 && PyErr_Occurred()) return -1;
        if (x >= INT32_MIN && x <= INT32_MAX) return static_cast<int32_t>(x);
        if (x > -kDirectLimit && x < kDirectLimit) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return -1;
        }
    }
    // Larger magnitudes fail with the host's own int conversion error.
#if PY_VERSION_HEX >= 0x030D0000
    int result = PyLong_AsInt(v);
#else
    int result = _PyLong_AsInt(v);
#endif
    if (result == -1 && PyErr_Occurred()) return -1;
    return static_cast<int32_t>(result);
}

int64_t long_as_int64(PyObject* v) { return static_cast<int64_t>(PyLong_AsLongLong(v)); }

// An object that is not an int goes through its type's __int__ slot only.
// Returns a new reference to an int, or null with an exception set.
PyObject* int_from_nb_int(PyObject* obj) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    PyObject* result = nullptr;
    if (nb && nb->nb_int) {
        compat::RecursionGuard guard;  // __int__ may call back into the module
        if (!guard) return nullptr;
        result = nb->nb_int(obj);
    }
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(result)) return result;
    Ref held = Ref::steal(result);
    if (!PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance "
                         "of a strict subclass of int is deprecated, and may be removed in a future "
                         "version of Python.",
                         Py_TYPE(result)->tp_name) < 0) {
        return nullptr;
    }
    return held.release();
}

}  // namespace

int32_t as_int32_slow(PyObject* obj) {
    if (PyLong_Check(obj)) return long_as_int32(obj);
    Ref value = Ref::steal(int_from_nb_int(obj));
    if (!value) return -1;
    return long_as_int32(value.get());
}

int64_t as_int64(PyObject* obj) {
    if (PyLong_Check(obj)) return long_as_int64(obj);
    Ref value = Ref::steal(int_from_nb_int(obj));
    if (!value) return -1;
    return long_as_int64(value.get());
}

// ---- tuple-and-dict to vector

VectorArgs::VectorArgs(PyObject* args, PyObject* kwds) {
    nargs_ = PyTuple_GET_SIZE(args);
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) {
        vector_ = reinterpret_cast<PyTupleObject*>(args)->ob_item;
        ok_ = true;
        return;
    }
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
    if (nkw > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*)) - nargs_) {
        PyErr_NoMemory();
        return;
    }
    const Py_ssize_t total = nargs_ + nkw;
    PyObject** vector = stack_;
    if (total > kStackSize) {
        heap_ = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(total) * sizeof(PyObject*)));
        if (!heap_) {
            PyErr_NoMemory();
            return;
        }
        vector = heap_;
    }
    for (Py_ssize_t i = 0; i < nargs_; ++i) vector[i] = PyTuple_GET_ITEM(args, i);
    kwnames_ = PyTuple_New(nkw);
    if (!kwnames_) return;
    vector_ = vector;
    UMBO_BEGIN_CRITICAL_SECTION(kwds);
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (i < nkw && PyDict_Next(kwds, &pos, &key, &value)) {
        vector[nargs_ + i] = Py_NewRef(value);
        PyTuple_SET_ITEM(kwnames_, i, Py_NewRef(key));
        ++i;
    }
    nkw_values_ = i;
    UMBO_END_CRITICAL_SECTION();
    ok_ = nkw_values_ == nkw;
    if (!ok_) PyErr_SetString(PyExc_RuntimeError, "keyword dictionary changed size during the call");
}

VectorArgs::~VectorArgs() {
    for (Py_ssize_t i = 0; i < nkw_values_; ++i) Py_DECREF(vector_[nargs_ + i]);
    Py_XDECREF(kwnames_);
    PyMem_Free(heap_);
}

}  // namespace umbo
