// The Cache type object and the life of its instances: allocation,
// construction (calling the type, __new__, __init__, the native factory),
// garbage-collector support and deallocation; the native table; and the
// readying of the type with its methods.
#include "common/args.h"
#include "common/compat.h"
#include "common/function.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/cache.h"

namespace umbo::cache {

PyObject* cache_alloc(PyTypeObject* type) {
    PyObject* obj;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        // Let object.__new__ refuse the abstract class with its own message.
        Ref args = Ref::steal(PyTuple_New(0));
        obj = args ? PyBaseObject_Type.tp_new(type, args.get(), nullptr) : nullptr;
    } else {
        obj = type->tp_alloc(type, 0);
    }
    if (!obj) return nullptr;
    as_cache(obj)->__pyx_vtab = &native_methods;
    as_cache(obj)->cache_arr = Py_NewRef(Py_None);
    return obj;
}

namespace {

// Installs a new list of 32 None; 0, or -1 with MemoryError and a
// traceback entry named `qualname`.
int install_new_slot_list(PyObject* self, const char* qualname) {
    PyObject* list = new_slot_list();
    if (!list) {
        add_traceback(qualname);
        return -1;
    }
    install_slot_list(as_cache(self), list);
    return 0;
}

// __init__(self): no parameters; each run swaps in a new list of 32 None.
int cache_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (expect_no_args("__init__", args, kwargs) < 0) return -1;
    return install_new_slot_list(self, "Cache.__init__");
}

// Cache.__new__(cls, ...): every argument is accepted and ignored.
PyObject* cache_tp_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) { return cache_alloc(type); }

// What __init__ takes, for the argument errors of calling the type.
Callable init_signature = {.name = "__init__", .qualname = "Cache.__init__", .impl = nullptr};

// Cache(...): allocation first, then __init__ with the caller's arguments.
// The host never gives this entry to subclasses, which the generic type
// call serves.
PyObject* cache_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref self = Ref::steal(cache_alloc(reinterpret_cast<PyTypeObject*>(type)));
    if (!self || bind_args(init_signature, args, PyVectorcall_NARGS(nargsf), kwnames, nullptr) < 0) return nullptr;
    return install_new_slot_list(self.get(), "Cache.__init__") < 0 ? nullptr : self.release();
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
    Py_CLEAR(as_cache(self)->cache_arr);
    type->tp_free(self);
}

// The native factory: a ready plain Cache, without running __init__.
PyObject* cache_new_native() {
    Ref self = Ref::steal(cache_alloc(&Cache_Type));
    if (!self) {
        add_traceback("Cache.new");
        return nullptr;
    }
    return install_new_slot_list(self.get(), "Cache.new") < 0 ? nullptr : self.release();
}

UMBO_TABLES_BEGIN

PySequenceMethods cache_as_sequence = {
    .sq_item = [](PyObject* self, Py_ssize_t i) -> PyObject* {
        // Iteration and `in` ask by position, which is no key: the subscript refuses it.
        Ref position = Ref::steal(PyLong_FromSsize_t(i));
        return position ? Cache_subscript(self, position.get()) : nullptr;
    },
};

PyMappingMethods cache_as_mapping = {
    .mp_subscript = Cache_subscript,
};

UMBO_TABLES_END

}  // namespace

CacheNativeMethods native_methods = {
    c_clear, c_clear_selected, c_get, c_set, c_get_or_set_val, c_get_or_exec, cache_new_native,
};

UMBO_TABLES_BEGIN

PyTypeObject Cache_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = UMBOCACHE_MODULE_NAME ".Cache",
    .tp_basicsize = sizeof(CacheObject),
    .tp_itemsize = 0,
    .tp_dealloc = cache_dealloc,
    .tp_as_sequence = &cache_as_sequence,
    .tp_as_mapping = &cache_as_mapping,
    // .tp_getattro: set by ready_cache_type() once the type is ready
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = cache_traverse,
    .tp_clear = cache_clear,
    .tp_methods = cache_slot_methods,
    .tp_init = cache_tp_init,
    .tp_new = cache_tp_new,
    .tp_vectorcall = cache_vectorcall,
};

UMBO_TABLES_END

namespace {

// The methods, by the file that implements them, in their order.
Callable* const* const kMethodLists[] = {clearing_methods, keyed_methods, fill_methods, copy_pickle_methods};

// Method descriptors for the callables that are also published under
// another name (they point at these entries for good).
PyMethodDef alias_defs[4];

int install(PyObject* dict, PyObject* name, PyObject* value) {
    return value && PyDict_SetItem(dict, name, value) == 0 ? 0 : -1;
}

// Stores the function objects of the methods in the type's dictionary,
// and their descriptors under the names they are also published under.
int install_methods(PyObject* module_dict) {
    PyObject* dict = Cache_Type.tp_dict;
    size_t aliases = 0;
    for (Callable* const* list : kMethodLists) {
        for (Callable* const* c = list; *c; ++c) {
            Ref name = Ref::steal(PyUnicode_InternFromString((*c)->name));
            if (prepare(**c) < 0 || !name) return -1;
            if ((*c)->alias) {
                alias_defs[aliases] = method_def(**c);
                Ref alias = Ref::steal(PyUnicode_InternFromString((*c)->alias));
                Ref descr = Ref::steal(PyDescr_NewMethod(&Cache_Type, &alias_defs[aliases++]));
                if (!alias || install(dict, alias.get(), descr.get()) < 0) return -1;
            }
            Ref func = Ref::steal(function_new(**c, &Cache_Type, names.module_name, module_dict));
            if (install(dict, name.get(), func.get()) < 0) return -1;
        }
    }
    PyType_Modified(&Cache_Type);
    return 0;
}

}  // namespace

int ready_cache_type(PyObject* module_dict) {
    if (function_type_ready() < 0 || PyType_Ready(&Cache_Type) < 0) return -1;
    // Attribute lookup: the generic lookup first, then __getattr__ (member
    // names) when that fails with AttributeError.  Installed once the type
    // is ready, so that readying adds no __getattribute__ of the type's own:
    // the host's specializer trusts its own hook only where that is object's.
    getattrofunc hook = compat::getattr_hook();
    if (!hook && PyErr_Occurred()) return -1;
    Cache_Type.tp_getattro = hook ? hook : cache_getattro;
    compat::enable_deferred_refcount(reinterpret_cast<PyObject*>(&Cache_Type));
    Ref capsule = Ref::steal(PyCapsule_New(&native_methods, nullptr, nullptr));
    if (install(Cache_Type.tp_dict, names.__pyx_vtable__, capsule.get()) < 0) return -1;
    return install_methods(module_dict);
}

}  // namespace umbo::cache
