// Version and build guards for the CPython C API.
//
// The module targets the newest free-threaded CPython and also builds on
// every CPython from 3.10 on.  Each API that only newer hosts have gets a
// wrapper here with a fallback of the same meaning, so the rest of the code
// calls one name on every host.
#pragma once

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>

#if defined(__GLIBC__)
#include <pthread.h>
#endif

// Keeps a rarely taken path out of the function that calls it, so that the
// common path stays small.
#if defined(__GNUC__)
#define UMBO_NOINLINE __attribute__((noinline))
#else
#define UMBO_NOINLINE
#endif

namespace umbo::compat {

// ---- per-object critical sections (3.13+; no-ops where the GIL serialises)
#if PY_VERSION_HEX >= 0x030D0000
#define UMBO_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define UMBO_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define UMBO_BEGIN_CRITICAL_SECTION(op) {
#define UMBO_END_CRITICAL_SECTION() }
#endif

// ---- critical sections that only the free-threading build option needs.
// By default the module relies on the GIL, as it declares, and these
// compile to plain blocks; built with UMBOCACHE_FREE_THREADING for a
// free-threaded host they protect the slot list and its items.
#if defined(Py_GIL_DISABLED) && defined(UMBOCACHE_FREE_THREADING)
#define UMBO_WITHOUT_GIL 1
#define UMBO_FT_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define UMBO_FT_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#define UMBO_MOD_GIL Py_MOD_GIL_NOT_USED
#else
#define UMBO_FT_BEGIN_CRITICAL_SECTION(op) {
#define UMBO_FT_END_CRITICAL_SECTION() }
#define UMBO_MOD_GIL Py_MOD_GIL_USED
#endif

// ---- the GIL declaration of free-threaded hosts
inline int module_declare_gil(PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, UMBO_MOD_GIL);
#else
    (void)module;
    return 0;
#endif
}

// ---- deferred reference counting (3.14+); elsewhere counts are not contended
inline void enable_deferred_refcount(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)PyUnstable_Object_EnableDeferredRefcount(obj);
#else
    (void)obj;
#endif
}

// ---- immortality: no public API on any host; objects handed to this are
// held by the module for the life of the process, which is what it means.
inline void make_immortal(PyObject* obj) { (void)obj; }

// ---- PyImport_AddModuleRef (3.13+)
inline PyObject* import_add_module_ref(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject* module = PyImport_AddModule(name);
    Py_XINCREF(module);
    return module;
#endif
}

// ---- PyObject_HasAttrWithError (3.13+): 1, 0, or -1 with an exception set
inline int has_attr_with_error(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_HasAttrWithError(obj, name);
#else
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value) {
        Py_DECREF(value);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

// ---- PyObject_GetOptionalAttr (3.13+): 1 with *result set, 0 when the
// attribute is missing (AttributeError cleared), -1 on any other error.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

// ---- PyList_GetItemRef (3.13+): a new reference, or null with IndexError
inline PyObject* list_get_item_ref(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_GetItemRef(list, i);
#else
    PyObject* item = PyList_GetItem(list, i);
    Py_XINCREF(item);
    return item;
#endif
}

// ---- an attribute of a type along its MRO, as a new reference; null when
// absent (no exception is set either way)
inline PyObject* type_lookup_ref(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyType_LookupRef(type, name);
#else
    PyObject* found = _PyType_Lookup(type, name);
    Py_XINCREF(found);
    return found;
#endif
}

// ---- the value of an int whose magnitude is below 2**60, read from the
// object without a call into the host: false for larger ones.
inline bool small_int_value(PyObject* v, long long* out) {
#if PY_VERSION_HEX >= 0x030C0000
    PyLongObject* op = reinterpret_cast<PyLongObject*>(v);
    if (!PyUnstable_Long_IsCompact(op)) return false;  // compact: one 30-bit digit
    *out = PyUnstable_Long_CompactValue(op);
    return true;
#else
    // Up to two 30-bit digits, read straight from the object.
    const Py_ssize_t size = Py_SIZE(v);
    if (size < -2 || size > 2) return false;
    const digit* d = reinterpret_cast<PyLongObject*>(v)->ob_digit;
    long long x = size == 0 ? 0 : d[0];
    if (size == 2 || size == -2) x |= static_cast<long long>(d[1]) << PyLong_SHIFT;
    *out = size < 0 ? -x : x;
    return true;
#endif
}

// ---- the type's version tag while it is valid, else 0.  A type gets a new
// tag whenever it or a base is modified; 3.13 dropped the validity flag and
// zeroes the tag instead.  Give the type a tag (if it can have one) first.
inline unsigned int assign_version_tag(PyTypeObject* type, PyObject* any_name) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    (void)PyUnstable_Type_AssignVersionTag(type);
#else
    (void)_PyType_Lookup(type, any_name);  // tags the type as a side effect
#endif
    return type->tp_version_tag;
}

inline unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

// ---- an object member (T_OBJECT_EX, at `offset`) read from an instance: a
// new reference, or null (no exception set) when it holds nothing.  Without
// the GIL, the host's reader takes the reference safely against writers.
inline PyObject* read_object_member(PyObject* obj, Py_ssize_t offset) {
#ifdef Py_GIL_DISABLED
    PyMemberDef def = {"value", Py_T_OBJECT_EX, offset, 0, nullptr};
    PyObject* value = PyMember_GetOne(reinterpret_cast<const char*>(obj), &def);
    if (!value) PyErr_Clear();
    return value;
#else
    return Py_XNewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset));
#endif
}


// ---- an object field at a published offset (a PyMemberDef's), borrowed;
// read without a lock where other threads may write it, as a racy
// pointer only good for comparing.
inline PyObject* object_field(PyObject* obj, Py_ssize_t offset) {
    PyObject*& field = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<PyObject*>(field).load(std::memory_order_relaxed);
#else
    return field;
#endif
}

// ---- whether the caller holds the only reference to `obj` (a result it
// may then reuse instead of copying)
inline bool only_reference(PyObject* obj) { return Py_REFCNT(obj) == 1; }

// ---- whether instances of a type can carry an attribute dictionary
inline bool instances_may_have_dict(PyTypeObject* type) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
    return type->tp_dictoffset != 0;
}

// ---- PyDict_GetItemRef (3.13+): 1 with a new reference, 0 if absent, -1
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(item);
    *result = item;
    return item ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// ---- the instance attribute `obj.name`, where nothing on the type is in
// the way: a new reference, or null (no exception set) when there is none.
// No code runs: instance dictionaries have str keys.
inline PyObject* instance_item(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
    // 3.11 and 3.12 move an object's attributes into a dictionary made on
    // request and read them more slowly afterwards (an enum member's
    // `value` by a half on 3.12): read them where they are.
    PyObject* item = PyObject_GenericGetAttr(obj, name);
#else
    // Before 3.11 the dictionary always exists; from 3.13 on it shares the
    // object's own storage.
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    PyObject* item = nullptr;
    if (dict) (void)dict_get_item_ref(dict, name, &item);
    Py_XDECREF(dict);
#endif
    if (!item) PyErr_Clear();
    return item;
}

// ---- an empty mapping for the `locals` argument of an import: a frozen
// dict where the host has one, otherwise a fresh empty dict (the import
// system never reads it).
inline PyObject* new_empty_locals() {
#ifdef UMBOCACHE_HAVE_FROZENDICT
    return PyFrozenDict_New(nullptr);
#else
    return PyDict_New();
#endif
}

// ---- the pending exception, put aside and restored (PyErr_Fetch is
// deprecated from 3.12 on, where one object carries the whole exception)
class SavedError {
public:
    SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { restore(); }
    bool empty() const {
#if PY_VERSION_HEX >= 0x030C0000
        return exc_ == nullptr;
#else
        return type_ == nullptr;
#endif
    }
    // Makes the saved exception the pending one again (replacing any other).
    void restore() {
        if (empty()) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, exc_, tb_);
        type_ = exc_ = tb_ = nullptr;
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// ---- whether the calling thread's stack is nearly used up.  Hosts from
// 3.14 on measure the stack in Py_EnterRecursiveCall; older ones only count
// nested calls against a limit sized for the host's own frames, which
// deeper frames (a sanitizer build, a thread with a small stack) outrun.
inline bool stack_nearly_full() {
#if PY_VERSION_HEX < 0x030E0000 && defined(__GLIBC__)
    // Initial-exec: one load from the thread pointer, not a call per read.
    static thread_local uintptr_t floor __attribute__((tls_model("initial-exec"))) = 0;
    char here;
    if (floor == 0) {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        floor = reinterpret_cast<uintptr_t>(base) + std::min<size_t>(size / 4, 256 * 1024);
    }
    return reinterpret_cast<uintptr_t>(&here) < floor;
#else
    return false;
#endif
}

// ---- a guard for calls into Python code that may come back into the module
// with no Python frame in between (a functools.partial of a method, say):
// such a cycle ends in RecursionError, as it would in Python code.
class RecursionGuard {
public:
    RecursionGuard() : entered_(enter()) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    explicit operator bool() const { return entered_; }

private:
    static bool enter() {
        if (!stack_nearly_full()) return Py_EnterRecursiveCall(" while calling a Python object") == 0;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return false;
    }
    bool entered_;
};

// ---- the running interpreter's major and minor version (Py_Version, 3.11+)
inline void runtime_version(int* major, int* minor) {
#if PY_VERSION_HEX >= 0x030B0000
    *major = static_cast<int>((Py_Version >> 24) & 0xFF);
    *minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    *major = 0;
    *minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", major, minor);
#endif
}

}  // namespace umbo::compat

// GCC's -Wextra flags the type and member tables below, which name only the
// fields they set; the rest are meant to be zero.
#define UMBO_TABLES_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
#define UMBO_TABLES_END _Pragma("GCC diagnostic pop")
