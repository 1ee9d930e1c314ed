/*
 * umbocache.h -- native API of umbo_ui.fast.umbocache.umbocache.Cache
 *
 * For compiled modules (C11 or C++17) that work on a Cache without going
 * through its Python methods.  The only dependency is Python.h, full C API
 * (not the limited one: the record below follows the interpreter build).
 * Find this directory with umbo_ui.fast.umbocache.get_include().
 *
 *     static PyTypeObject *cache_type;
 *     static CacheNativeMethods *cache_api;
 *     ...in the module's initialisation:
 *     if (UmboCache_Import(&cache_type, &cache_api) < 0) return NULL;
 *
 * Every Cache instance starts with the same record, and its first field
 * after the object header, __pyx_vtab, points at the one table of native
 * operations that the module publishes (as the capsule __pyx_vtable__ of the
 * type; UmboCache_Import returns the same pointer).
 *
 * Calling convention of the table's entries:
 *  - the caller holds the GIL (an attached thread state on a free-threaded
 *    interpreter) and passes a Cache (or a subclass instance) as `self`;
 *    every object argument is borrowed.  Read cache_arr directly only
 *    where no other thread can replace it;
 *  - c_get, c_get_or_set_val, c_get_or_exec and new return a new reference,
 *    or NULL with an exception set;
 *  - c_clear, c_clear_selected and c_set return nothing: they report a
 *    failure only by leaving an exception set, so test PyErr_Occurred()
 *    after each call (call them with no exception pending);
 *  - `type_idx` is a slot index: 0 <= type_idx < len(cache_arr), that is
 *    0..31 for every Cache built by construction (UMBOCACHE_SLOT_COUNT).
 *    The module refuses an index outside the list with IndexError, but a
 *    caller must not rely on it to validate its indexes;
 *  - c_clear_selected takes two lists of keys (objects with an integer
 *    attribute `value`), each an exact list; None fails with TypeError.
 *    A key named by the blacklist is kept even when the whitelist names it;
 *  - an instance whose cache_arr is None (made by Cache.__new__ without
 *    __init__) fails every entry but `new` with TypeError;
 *  - new() returns a ready Cache: 32 empty (None) slots.  It is `new_` in
 *    C++ (`new` is a keyword there); UmboCache_New() calls it from either.
 */
#ifndef UMBO_UI_FAST_UMBOCACHE_H
#define UMBO_UI_FAST_UMBOCACHE_H

#include <Python.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UMBOCACHE_MODULE_NAME "umbo_ui.fast.umbocache.umbocache"
#define UMBOCACHE_SLOT_COUNT 32

typedef struct CacheNativeMethods CacheNativeMethods;

/* The instance record of Cache; its size is the type's basic size. */
typedef struct UmboCacheObject {
    PyObject_HEAD
    CacheNativeMethods *__pyx_vtab;
    PyObject *cache_arr; /* the slot list: an exact list, or None */
} UmboCacheObject;

/* The native operations, in their fixed order. */
struct CacheNativeMethods {
    void (*c_clear)(UmboCacheObject *self);
    void (*c_clear_selected)(UmboCacheObject *self, PyObject *blacklist, PyObject *whitelist);
    PyObject *(*c_get)(UmboCacheObject *self, int32_t type_idx);
    void (*c_set)(UmboCacheObject *self, int32_t type_idx, PyObject *value);
    PyObject *(*c_get_or_set_val)(UmboCacheObject *self, int32_t type_idx, PyObject *value);
    PyObject *(*c_get_or_exec)(UmboCacheObject *self, int32_t type_idx, PyObject *func);
#ifdef __cplusplus
    PyObject *(*new_)(void); /* `new` is a keyword in C++; same entry */
#else
    PyObject *(*new)(void);
#endif
};

/* The table that an instance carries. */
#define UmboCache_METHODS(op) (((UmboCacheObject *)(op))->__pyx_vtab)

/* The entry `new` of `methods` under one name for C and C++: a new ready
 * Cache, or NULL with an exception set. */
static inline PyObject *UmboCache_New(CacheNativeMethods *methods)
{
#ifdef __cplusplus
    return methods->new_();
#else
    return methods->new();
#endif
}

/*
 * Imports the module and stores a new reference to the Cache type in *type
 * and the address of the native table in *methods.  Returns 0, or -1 with
 * an exception set: the module's import error, or ImportError when what the
 * module binds to `Cache` is not its own type (a static type named
 * UMBOCACHE_MODULE_NAME ".Cache" with the record of this header and the
 * capsule __pyx_vtable__ in its own dictionary).
 */
static inline int UmboCache_Import(PyTypeObject **type, CacheNativeMethods **methods)
{
    PyObject *module, *cls, *capsule;
    PyTypeObject *tp;
    void *table;

    *type = NULL;
    *methods = NULL;
    module = PyImport_ImportModule(UMBOCACHE_MODULE_NAME);
    if (module == NULL) return -1;
    cls = PyObject_GetAttrString(module, "Cache");
    Py_DECREF(module);
    if (cls == NULL) return -1;
    tp = (PyTypeObject *)cls;
    if (!PyType_Check(cls) || PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) ||
        strcmp(tp->tp_name, UMBOCACHE_MODULE_NAME ".Cache") != 0) {
        PyErr_Format(PyExc_ImportError,
                     UMBOCACHE_MODULE_NAME ".Cache is not the module's own Cache type but %R", cls);
        goto fail;
    }
    if (tp->tp_basicsize != (Py_ssize_t)sizeof(UmboCacheObject)) {
        PyErr_Format(PyExc_ImportError,
                     UMBOCACHE_MODULE_NAME ".Cache has instances of %zd bytes, umbocache.h "
                     "expects %zd: the header does not match the installed module",
                     tp->tp_basicsize, (Py_ssize_t)sizeof(UmboCacheObject));
        goto fail;
    }
    capsule = tp->tp_dict ? PyDict_GetItemString(tp->tp_dict, "__pyx_vtable__") : NULL;
    if (capsule == NULL || !PyCapsule_CheckExact(capsule)) {
        PyErr_SetString(PyExc_ImportError,
                        UMBOCACHE_MODULE_NAME ".Cache has no native table (__pyx_vtable__ capsule)");
        goto fail;
    }
    table = PyCapsule_GetPointer(capsule, NULL);
    if (table == NULL) goto fail;
    *type = tp;
    *methods = (CacheNativeMethods *)table;
    return 0;
fail:
    Py_DECREF(cls);
    return -1;
}

#ifdef __cplusplus
}
#endif

#endif /* UMBO_UI_FAST_UMBOCACHE_H */
