// The function object type (see function.h).
#include "common/function.h"

#include <structmember.h>

#include <cstddef>

#include "common/compat.h"
#include "common/ref.h"

namespace umbo {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
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
        PyErr_Format(PyExc_TypeError, "%.200s() %s", f->def->name, "needs an argument");
    } else {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->def->name, f->owner->tp_name, Py_TYPE(args[0])->tp_name);
    }
    return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const FunctionObject* f = as_function(callable);
    const FunctionDef* def = f->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (def->binding == Binding::kPlain) return def->impl(nullptr, args, nargs, kwnames);
    if (nargs < 1 || (def->binding == Binding::kMethod && !PyObject_TypeCheck(args[0], f->owner))) {
        return raise_bad_self(f, nargs, args);
    }
    return def->impl(args[0], args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, as the module global its qualified name gives.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_none(PyObject* /*self*/, void* /*closure*/) { Py_RETURN_NONE; }
PyObject* get_new_dict(PyObject* /*self*/, void* /*closure*/) { return PyDict_New(); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
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

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_new_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject Function_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "umbocache_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

UMBO_TABLES_END

}  // namespace

int function_type_ready() { return PyType_Ready(&Function_Type); }

PyObject* function_code_new(const FunctionDef& def) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(def.filename, def.name, 1)));
    if (!code) return nullptr;
    Ref varnames = Ref::steal(PyTuple_New(def.nvarnames));
    if (!varnames) return nullptr;
    for (int i = 0; i < def.nvarnames; ++i) {
        PyObject* name = PyUnicode_InternFromString(def.varnames[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    // code.replace(...) is the one way to set these that every host shares.
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O,s:i}", "co_argcount", def.argcount, "co_nlocals",
                                          def.nvarnames, "co_varnames", varnames.get(), "co_flags",
                                          CO_OPTIMIZED | CO_NEWLOCALS));
    if (!kwargs) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
    if (!qualname || PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0) return nullptr;
#endif
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(replace.get(), empty.get(), kwargs.get());
}

PyObject* function_new(const FunctionDef& def, PyTypeObject* owner, PyObject* module_name,
                       PyObject* globals, PyObject* defaults, PyObject* code) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!name) return nullptr;
    Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
    if (!qualname) return nullptr;
    FunctionObject* f = PyObject_GC_New(FunctionObject, &Function_Type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->owner = owner;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    f->defaults = Py_XNewRef(defaults);
    f->code = Py_NewRef(code);
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace umbo
