// The Cache type object and the life of its instances: allocation,
// construction (calling the type, __new__, __init__, the native factory),
// garbage-collector support and deallocation; and the native table.
#include "umbocache/cache.h"

#include "common/args.h"
#include "common/compat.h"
#include "common/function.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/constants.h"

namespace umbo::cache {

CacheNativeMethods native_methods;

PyObject* cache_alloc(PyTypeObject* type) {
    PyObject* obj;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        // Let object.__new__ refuse the abstract class with its own message.
        obj = PyBaseObject_Type.tp_new(type, state.empty_tuple, nullptr);
    } else {
        obj = type->tp_alloc(type, 0);
    }
    if (!obj) return nullptr;
    CacheObject* self = as_cache(obj);
    self->__pyx_vtab = &native_methods;
    self->cache_arr = Py_NewRef(Py_None);
    return obj;
}

PyObject* new_slot_list() {
    PyObject* list = PyList_New(kSlotCount);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < kSlotCount; ++i) PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
    return list;
}

namespace {

// __init__(self): no parameters; each run swaps in a new list of 32 None.
int cache_init_vector(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_no_args("__init__", nargs, kwnames) < 0) return -1;
    PyObject* list = new_slot_list();
    if (!list) {
        add_traceback("Cache.__init__");
        return -1;
    }
    install_slot_list(as_cache(self), list);
    return 0;
}

int cache_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VectorArgs call(args, kwds);
    if (!call.ok()) return -1;
    return cache_init_vector(self, call.args(), call.nargs(), call.kwnames());
}

// Cache.__new__(cls, ...): every argument is accepted and ignored.
PyObject* cache_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    VectorArgs call(args, kwds);
    if (!call.ok()) return nullptr;
    return cache_alloc(type);
}

// Calling a type that is not exactly Cache: the host's generic type call.
PyObject* generic_type_call(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (!type->tp_new) {
        PyErr_Format(PyExc_TypeError, "cannot create %.200s instances", type->tp_name);
        return nullptr;
    }
    Ref kwargs;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    Ref posargs = nargs == 0 ? Ref::borrow(state.empty_tuple) : Ref::steal(PyTuple_New(nargs));
    if (!posargs) return nullptr;
    if (nargs > 0) {
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(posargs.get(), i, Py_NewRef(args[i]));
    }
    Ref obj = Ref::steal(type->tp_new(type, posargs.get(), kwargs.get()));
    if (!obj) return nullptr;
    PyTypeObject* made = Py_TYPE(obj.get());
    if (!PyType_IsSubtype(made, type)) return obj.release();
    if (made->tp_init && made->tp_init(obj.get(), posargs.get(), kwargs.get()) < 0) return nullptr;
    return obj.release();
}

// Cache(...): allocation first, then __init__ with the caller's arguments.
PyObject* cache_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type != &Cache_Type || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        return generic_type_call(type, args, nargs, kwnames);
    }
    Ref self = Ref::steal(cache_alloc(type));
    if (!self) return nullptr;
    if (cache_init_vector(self.get(), args, nargs, kwnames) < 0) return nullptr;
    return self.release();
}

int cache_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_cache(self)->cache_arr);
    return 0;
}

int cache_clear(PyObject* self) {
    install_slot_list(as_cache(self), Py_NewRef(Py_None));
    return 0;
}

void cache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_finalize && !PyObject_GC_IsFinalized(self) && type->tp_dealloc == cache_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    }
    PyObject_GC_UnTrack(self);
    CacheObject* cache = as_cache(self);
    PyObject* old = cache->cache_arr;
    cache->cache_arr = nullptr;
    Py_XDECREF(old);
    type->tp_free(self);
}

UMBO_TABLES_BEGIN

PyMethodDef cache_methods[] = {
    {"clear", as_pycfunction(Cache_clear),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"clear_selected", as_pycfunction(Cache_clear_selected),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get", as_pycfunction(Cache_get),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"set", as_pycfunction(Cache_set),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get_or_set_val", as_pycfunction(Cache_get_or_set_val),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get_or_exec", as_pycfunction(Cache_get_or_exec),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__getattr__", Cache___getattr__, METH_O, nullptr},
    {"copy", as_pycfunction(Cache_copy),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__deepcopy__", as_pycfunction(Cache___deepcopy__),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce_cython__", as_pycfunction(Cache___reduce_cython__),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__",
     as_pycfunction(Cache___setstate_cython__),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods cache_as_sequence = {
    .sq_item = Cache_sq_item,
};

PyMappingMethods cache_as_mapping = {
    .mp_subscript = Cache_subscript,
};

UMBO_TABLES_END

}  // namespace

UMBO_TABLES_BEGIN

PyTypeObject Cache_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "umbo_ui.fast.umbocache.umbocache.Cache",
    .tp_basicsize = sizeof(CacheObject),
    .tp_itemsize = 0,
    .tp_dealloc = cache_dealloc,
    .tp_as_sequence = &cache_as_sequence,
    .tp_as_mapping = &cache_as_mapping,
    // .tp_getattro: set by install_attribute_lookup() once the type is ready
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = cache_traverse,
    .tp_clear = cache_clear,
    .tp_methods = cache_methods,
    .tp_init = cache_tp_init,
    .tp_new = cache_tp_new,
    .tp_vectorcall = cache_vectorcall,
};

UMBO_TABLES_END

PyObject* cache_new_native() {
    Ref self = Ref::steal(cache_alloc(&Cache_Type));
    if (!self) {
        add_traceback("Cache.new");
        return nullptr;
    }
    PyObject* list = new_slot_list();
    if (!list) {
        add_traceback("Cache.new");
        return nullptr;
    }
    install_slot_list(as_cache(self.get()), list);
    return self.release();
}

// Attribute lookup: the generic lookup first, then __getattr__ (the member
// names of CacheType) when that fails with AttributeError.
//
// From CPython 3.12 on, the host's own dispatcher for types with __getattr__
// does exactly that, and the interpreter's specializer knows it: a method
// call such as `cache.get(key)` is then specialized and builds no bound
// method.  The dispatcher is internal to the host, so its address is taken
// from a class that has __getattr__.  Older hosts can't specialize such
// calls, and their dispatcher builds the AttributeError it then discards,
// so there the module's own hook is faster.
//
// Either is installed after the type is readied, so that readying adds no
// __getattribute__ of the type's own: the host's specializer only trusts
// the dispatcher when __getattribute__ is object's.
int install_attribute_lookup() {
#if PY_VERSION_HEX >= 0x030C0000
    Ref namespace_ = Ref::steal(Py_BuildValue("{s:O}", "__getattr__", Py_None));
    if (!namespace_) return -1;
    Ref probe = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                                 "getattr_probe", namespace_.get()));
    if (!probe) return -1;
    Cache_Type.tp_getattro = reinterpret_cast<PyTypeObject*>(probe.get())->tp_getattro;
#else
    Cache_Type.tp_getattro = Cache_getattro;
#endif
    return 0;
}

void fill_native_table() {
    native_methods.c_clear = c_clear;
    native_methods.c_clear_selected = c_clear_selected;
    native_methods.c_get = c_get;
    native_methods.c_set = c_set;
    native_methods.c_get_or_set_val = c_get_or_set_val;
    native_methods.c_get_or_exec = c_get_or_exec;
    native_methods.new_ = cache_new_native;
}

}  // namespace umbo::cache
