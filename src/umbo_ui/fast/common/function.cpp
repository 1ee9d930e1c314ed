// The function object type, and what is made from a callable's declaration
// (see function.h).
#include "common/function.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>

#include "common/compat.h"
#include "common/ref.h"
#include "common/traceback.h"

namespace umbo {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Callable* callable;
    PyTypeObject* owner;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* defaults;
    PyObject* code;
};

FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

// A call through the class whose first argument can't be the instance.
UMBO_NOINLINE PyObject* raise_bad_self(const FunctionObject* f, Py_ssize_t nargs, PyObject* const* args) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", f->callable->name, "needs an argument");
    } else {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->callable->name, f->owner->tp_name, Py_TYPE(args[0])->tp_name);
    }
    return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionObject* f = as_function(callable);
    const Callable* c = f->callable;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (c->binding == Binding::kFunction) return c->impl(nullptr, args, nargs, kwnames);
    if (nargs < 1 || (c->binding == Binding::kMethod && !PyObject_TypeCheck(args[0], f->owner))) {
        return raise_bad_self(f, nargs, args);
    }
    return c->impl(args[0], args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, as the module global its qualified name gives.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(as_function(self)->qualname); }

PyObject* get_none(PyObject* /*self*/, void* /*closure*/) { Py_RETURN_NONE; }
PyObject* get_new_dict(PyObject* /*self*/, void* /*closure*/) { return PyDict_New(); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    for (PyObject* field : {f->name, f->qualname, f->module, f->globals, f->defaults, f->code}) Py_VISIT(field);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (PyObject** field : {&f->name, &f->qualname, &f->module, &f->globals, &f->defaults, &f->code}) Py_CLEAR(*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

UMBO_TABLES_BEGIN

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define UMBO_FIELD(name, field) {name, T_OBJECT, offsetof(FunctionObject, field), READONLY, nullptr}
PyMemberDef function_members[] = {
    UMBO_FIELD("__name__", name),       UMBO_FIELD("__qualname__", qualname), UMBO_FIELD("__module__", module),
    UMBO_FIELD("__globals__", globals), UMBO_FIELD("__defaults__", defaults), UMBO_FIELD("__code__", code),
    {nullptr, 0, 0, 0, nullptr},
};
#undef UMBO_FIELD

PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_new_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject Function_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "umbo_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

UMBO_TABLES_END

// A code object for introspection: the callable's variable names (the
// instance, its parameters, its further locals) with the optimized and
// new-locals flags.  New reference or null.
PyObject* code_new(const Callable& c) {
    const bool method = c.binding != Binding::kFunction;
    const Py_ssize_t nlocals = std::count_if(c.locals.begin(), c.locals.end(), [](const char* l) { return l; });
    Ref varnames = Ref::steal(PyTuple_New(method + c.count + nlocals));
    if (!varnames) return nullptr;
    Py_ssize_t n = 0;
    if (method) PyTuple_SET_ITEM(varnames.get(), n++, PyUnicode_InternFromString("self"));
    for (Py_ssize_t i = 0; i < c.count; ++i) PyTuple_SET_ITEM(varnames.get(), n++, Py_NewRef(c.param_names[i]));
    for (Py_ssize_t i = 0; i < nlocals; ++i)
        PyTuple_SET_ITEM(varnames.get(), n++, PyUnicode_InternFromString(c.locals[i]));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyTuple_GET_ITEM(varnames.get(), i)) return nullptr;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(entry_file(c.file), c.name, 1)));
    // code.replace(...) is the one way to set these that every host shares.
    Ref replace = Ref::steal(code ? PyObject_GetAttrString(code.get(), "replace") : nullptr);
    Ref kwargs =
        Ref::steal(replace ? Py_BuildValue("{s:n,s:n,s:O,s:i}", "co_argcount", c.count + method, "co_nlocals", n,
                                           "co_varnames", varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS)
                           : nullptr);
    if (!kwargs) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    Ref qualname = Ref::steal(PyUnicode_FromString(c.qualname));
    if (!qualname || PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0) return nullptr;
#endif
    Ref empty = Ref::steal(PyTuple_New(0));
    return empty ? PyObject_Call(replace.get(), empty.get(), kwargs.get()) : nullptr;
}

}  // namespace

int prepare(Callable& c) {
    for (c.count = 0; c.count < static_cast<Py_ssize_t>(c.params.size()) && c.params[c.count]; ++c.count) {
        PyObject* name = PyUnicode_InternFromString(c.params[c.count]);
        if (!name) return -1;
        Py_XSETREF(c.param_names[c.count], name);
    }
    return 0;
}

int function_type_ready() { return PyType_Ready(&Function_Type); }

PyTypeObject* function_type() { return &Function_Type; }

PyObject* function_new(const Callable& c, PyTypeObject* owner, PyObject* module_name, PyObject* globals) {
    Ref name = Ref::steal(PyUnicode_InternFromString(c.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(c.qualname));
    Ref code = Ref::steal(code_new(c));
    Ref defaults = Ref::steal(c.defaults_none ? PyTuple_New(c.count) : nullptr);
    if (!name || !qualname || !code || (c.defaults_none && !defaults)) return nullptr;
    for (Py_ssize_t i = 0; c.defaults_none && i < c.count; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    FunctionObject* f = PyObject_GC_New(FunctionObject, &Function_Type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->callable = &c;
    f->owner = owner;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    f->defaults = defaults.release();
    f->code = code.release();
    PyObject_GC_Track(f);
    compat::enable_deferred_refcount(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

PyMethodDef method_def(const Callable& c) {
    // METH_FASTCALL | METH_KEYWORDS takes the implementation as it is; the
    // cast goes through void(*)() as the C API expects.
    return {c.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(c.impl)), METH_FASTCALL | METH_KEYWORDS,
            nullptr};
}

}  // namespace umbo
