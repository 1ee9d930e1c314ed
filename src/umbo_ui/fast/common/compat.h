// Version and build guards for the CPython C API, and every use of the
// interpreter's internals, each with the hosts it is for.
//
// The modules target the newest free-threaded CPython and also build on
// every CPython from 3.10 on.  Each API that only newer hosts have gets a
// wrapper here with a fallback of the same meaning, so the rest of the code
// calls one name on every host.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

// Keeps a rarely taken path out of the function that calls it, so that the
// common path stays small; or puts a small one into each caller, where it
// folds with the caller's constant arguments.
#if defined(__GNUC__)
#define UMBO_NOINLINE __attribute__((noinline))
#define UMBO_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define UMBO_NOINLINE
#define UMBO_ALWAYS_INLINE inline
#endif

// GCC's -Wextra flags the type and member tables, which name only the
// fields they set; the rest are meant to be zero.
#define UMBO_TABLES_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
#define UMBO_TABLES_END _Pragma("GCC diagnostic pop")

// ---- running without the GIL.  By default a module relies on the GIL, as it
// declares, and these compile to plain blocks; built with
// UMBO_FREE_THREADING for a free-threaded host they are the host's
// per-object critical sections.
#if defined(Py_GIL_DISABLED) && defined(UMBO_FREE_THREADING)
#define UMBO_WITHOUT_GIL 1
#define UMBO_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define UMBO_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#define UMBO_MOD_GIL Py_MOD_GIL_NOT_USED
#else
#define UMBO_BEGIN_CRITICAL_SECTION(op) {
#define UMBO_END_CRITICAL_SECTION() }
#define UMBO_MOD_GIL Py_MOD_GIL_USED
#endif

namespace umbo::compat {

// ---- the GIL declaration of free-threaded hosts (3.13+)
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

// ---- PyImport_AddModuleRef (3.13+)
inline PyObject* import_add_module_ref(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    return Py_XNewRef(PyImport_AddModule(name));
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
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// ---- PyList_GetItemRef (3.13+): a new reference, or null with IndexError
inline PyObject* list_get_item_ref(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_GetItemRef(list, i);
#else
    return Py_XNewRef(PyList_GetItem(list, i));
#endif
}

// ---- item i of a list that other threads may read without its lock takes
// `value` (a new reference); the caller holds the list's lock and keeps the
// old item.  Free-threaded hosts read items without the lock (their
// PyList_GetItemRef and list iterators load them atomically), so the store
// releases: a reader that sees the pointer sees the object behind it.  With
// the GIL it is the plain store of PyList_SET_ITEM.
inline void list_store(PyObject* list, Py_ssize_t i, PyObject* value) {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<PyObject*>(reinterpret_cast<PyListObject*>(list)->ob_item[i])
        .store(value, std::memory_order_release);
#else
    PyList_SET_ITEM(list, i, value);
#endif
}

// ---- PyDict_GetItemRef (3.13+): 1 with a new reference, 0 if absent, -1.
// With the GIL the borrowed lookup, then the reference, is the quicker way.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result) {
#ifdef Py_GIL_DISABLED
    return PyDict_GetItemRef(dict, key, result);
#else
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    return *result ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// ---- internal: an attribute of a type along its MRO, as a new reference,
// or null (no exception set) when absent; the interpreter's own lookup,
// through its type cache (_PyType_Lookup, exported on every host; 3.13 adds
// the variant that holds what it finds, which free-threaded hosts need).
inline PyObject* type_lookup_ref(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyType_LookupRef(type, name);
#else
    return Py_XNewRef(_PyType_Lookup(type, name));
#endif
}

// ---- internal: the generic attribute lookup, but null with no exception
// set (none is even made) where it would raise AttributeError
// (_PyObject_GenericGetAttrWithDict with `suppress`, exported on every host).
inline PyObject* generic_getattr_or_null(PyObject* obj, PyObject* name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// ---- internal: the type's version tag while it is valid, else 0.  A type
// gets a new tag whenever it or a base is modified; 3.13 dropped the
// validity flag and zeroes the tag instead.  Before 3.12 a lookup tags the
// type as a side effect.  From 3.11 on the host never gives a tag twice
// (it gives none once the counter runs out), so a type's address and tag
// name one state of one type; 3.10's counter wraps around and gives tags
// again, so there it counts as no tag: nothing is kept under one.
inline unsigned int version_tag([[maybe_unused]] PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030B0000
    return 0;
#elif PY_VERSION_HEX < 0x030D0000
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#elif defined(Py_GIL_DISABLED)
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);  // another thread may change it
#else
    return type->tp_version_tag;
#endif
}

inline unsigned int assign_version_tag(PyTypeObject* type, PyObject* any_name) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    (void)PyUnstable_Type_AssignVersionTag(type);
#else
    (void)_PyType_Lookup(type, any_name);
#endif
    return version_tag(type);
}

// ---- internal: the value of an int whose magnitude is below 2**60, read
// from the object without a call into the host: false for larger ones.
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

// ---- PyLong_AsInt (3.13+; a private function before)
inline int long_as_int(PyObject* v) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_AsInt(v);
#else
    return _PyLong_AsInt(v);
#endif
}

// ---- an object field at a published offset (a PyMemberDef's), borrowed;
// read without a lock where other threads may write it, as a racy pointer
// only good for comparing.
inline PyObject* object_field(PyObject* obj, Py_ssize_t offset) {
    PyObject*& field = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<PyObject*>(field).load(std::memory_order_relaxed);
#else
    return field;
#endif
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

// ---- internal: whether looking a str up in `dict` runs no code.  The
// lookup compares the str with each key of the same hash, and a key that
// isn't an exact str compares by its own __eq__; a dict whose keys are all
// exact str marks its keys object so (3.11+: any kind but "general"; 3.10:
// any lookup function but the general one, which a dict with an int key has).
inline bool dict_lookups_run_no_code(PyObject* dict) {
#if PY_VERSION_HEX < 0x030B0000
    // 3.10's general lookup function, taken on the first call from a probe
    // dict with an int key, made with the collector off so that no
    // finaliser runs (callers count on no code running here).  3.10 always
    // has the GIL, which orders that store before every later read: the
    // static starts as a constant and needs no initialisation guard (nor
    // the C++ runtime that provides one).  Where no probe can be made, no
    // lookup counts as safe, and the next call tries again.
    static void* general = nullptr;
    if (!general) {
        const int collecting = PyGC_Disable();
        PyObject* probe = Py_BuildValue("{i:i}", 0, 0);
        if (collecting) PyGC_Enable();
        if (!probe) {
            PyErr_Clear();
            return false;
        }
        general = reinterpret_cast<void**>(reinterpret_cast<PyDictObject*>(probe)->ma_keys)[2];
        Py_DECREF(probe);
    }
#endif
    // The keys object starts with its count of references, then (3.11+) two
    // sizes of a byte and the kind, 0 for general; (3.10) a size and the
    // lookup function.  Without the GIL another thread may replace it.
    const auto* keys =
        reinterpret_cast<const char*>(std::atomic_ref<PyDictKeysObject*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys)
                                          .load(std::memory_order_relaxed));
#if PY_VERSION_HEX >= 0x030B0000
    return keys[sizeof(Py_ssize_t) + 2] != 0;
#else
    return reinterpret_cast<void* const*>(keys)[2] != general;
#endif
}

// ---- the instance attribute `obj.name`, where nothing on the type is in
// the way: a new reference, or null (no exception set) when there is none.
// The lookup runs code where the dictionary has a key that isn't an exact
// str, as the host's own would at the same step; with `no_code` there is
// then no lookup, and null.
inline PyObject* instance_item(PyObject* obj, PyObject* name, bool no_code = false) {
    PyObject* item = nullptr;
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
    // 3.11 and 3.12 move an object's attributes into a dictionary made on
    // request and read them more slowly afterwards (an enum member's
    // `value` by a half on 3.12): read them where they are, and look where
    // the dictionary would be (3.12 tags inline attributes by bit 0).
    auto dict_runs_no_code = [obj] {
        PyObject** where = PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)
                               ? reinterpret_cast<PyObject**>(obj) - 3
                               : _PyObject_GetDictPtr(obj);
        PyObject* dict = where ? *where : nullptr;
        return !dict || (reinterpret_cast<uintptr_t>(dict) & 1) || dict_lookups_run_no_code(dict);
    };
    if (!no_code || dict_runs_no_code()) item = PyObject_GenericGetAttr(obj, name);
#else
#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_GIL_DISABLED)
    // With the GIL a dictionary already made is read where the host keeps
    // it (three words before the object), borrowed where a lookup in it
    // runs nothing.
    PyObject* made =
        PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT) ? reinterpret_cast<PyObject**>(obj)[-3] : nullptr;
    if (made && dict_lookups_run_no_code(made)) {
        (void)dict_get_item_ref(made, name, &item);  // an exact str's lookup: can't fail
        return item;
    }
#endif
    // Before 3.11 the dictionary always exists; from 3.13 on it shares the
    // object's own storage.
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict && (!no_code || dict_lookups_run_no_code(dict))) (void)dict_get_item_ref(dict, name, &item);
    Py_XDECREF(dict);
#endif
    if (!item) PyErr_Clear();
    return item;
}

// ---- a new list with the items of the list `list`, read in one step.
// From 3.12 on, allocation never runs the collector (it waits for the eval
// loop), so a slice allocates after reading the length and copies under one
// hold of the list's lock.  Before, the allocation may collect and run
// finalisers that resize `list`: PySequence_List allocates first.
inline PyObject* list_copy(PyObject* list) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyList_GetSlice(list, 0, PY_SSIZE_T_MAX);
#else
    return PySequence_List(list);
#endif
}

// ---- whether the caller holds the only reference to `obj` (a result it
// may then reuse instead of copying)
inline bool only_reference(PyObject* obj) { return Py_REFCNT(obj) == 1; }

// ---- internal: the attribute hook that CPython 3.12+ installs for a type
// with __getattr__, taken from a throwaway class that has one.  The
// interpreter's specializer recognises this hook, so method calls on a type
// that uses it build no bound method; older hosts neither recognise it nor
// save anything by it.  Null with an exception set on failure.
inline getattrofunc getattr_hook() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* space = Py_BuildValue("{s:O}", "__getattr__", Py_None);
    PyObject* probe =
        space ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "getattr_probe", space)
              : nullptr;
    getattrofunc hook = probe ? reinterpret_cast<PyTypeObject*>(probe)->tp_getattro : nullptr;
    Py_XDECREF(probe);
    Py_XDECREF(space);
    return hook;
#else
    return nullptr;
#endif
}

// ---- an empty mapping for the `locals` argument of an import: a frozen
// dict where the host has one, otherwise a fresh empty dict (the import
// system never reads it).
inline PyObject* new_empty_locals() {
#ifdef UMBO_HAVE_FROZENDICT
    return PyFrozenDict_New(nullptr);
#else
    return PyDict_New();
#endif
}

// ---- the pending exception, put aside and restored (PyErr_Fetch is
// deprecated from 3.12 on, where one object carries the whole exception)
class SavedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exc_); }  // a null one leaves none pending
    bool empty() const { return exc_ == nullptr; }
#else
    SavedError() { PyErr_Fetch(&type_, &exc_, &tb_); }
    ~SavedError() { PyErr_Restore(type_, exc_, tb_); }
    bool empty() const { return type_ == nullptr; }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// ---- the running interpreter's version, packed like PY_VERSION_HEX
// (Py_Version, 3.11+; a module built for 3.10 only loads into a 3.10)
inline unsigned long runtime_version() {
#if PY_VERSION_HEX >= 0x030B0000
    return Py_Version;
#else
    return PY_VERSION_HEX;
#endif
}

// ---- watchers (3.12+): the host calls them when a watched dict or type is
// about to change, on the thread that changes it, and each such change
// counts one here.  A check whose answer only such a change can alter is
// then made once and trusted while the count stays what it was when the
// check began.  Registered once per process; where the host has none, or
// none is free, nothing is watched and such checks are made at every call.
inline std::atomic<uint64_t> watched_changes{1};
inline int watcher_ids[2] = {-1, -1};  // the dict watcher's, the type watcher's

inline int count_watched_change(PyTypeObject* = nullptr) {
    watched_changes.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

inline void start_watching() {
#if PY_VERSION_HEX >= 0x030C0000
    if (watcher_ids[0] < 0)  // (a failed import tried before)
        watcher_ids[0] = PyDict_AddWatcher(
            [](PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) { return count_watched_change(); });
    if (watcher_ids[1] < 0) watcher_ids[1] = PyType_AddWatcher(count_watched_change);
    PyErr_Clear();
#endif
}

// Watches a dict, or a type and the types derived from it: whether it is
// now watched.
inline bool watch([[maybe_unused]] PyObject* obj) {
#if PY_VERSION_HEX >= 0x030C0000
    const int id = watcher_ids[PyType_Check(obj)];
    if (id >= 0 && (PyType_Check(obj) ? PyType_Watch(id, obj) : PyDict_Watch(id, obj)) == 0) return true;
    PyErr_Clear();
#endif
    return false;
}

// ---- whether `obj` lives as long as the interpreter (3.12+; none before)
inline bool is_immortal([[maybe_unused]] PyObject* obj) {
#if PY_VERSION_HEX >= 0x030C0000
    return _Py_IsImmortal(obj);
#else
    return false;
#endif
}

// ---- where in `obj` (an offset from it) the field that holds its
// attribute dictionary is, if a watcher of that dictionary hears of every
// store into the object's attributes; else 0.  The dictionary is made now
// if there is none.  3.13.0 and 3.14.0a1 don't report stores into an
// object's inline attributes (gh-125608), and 3.12 would have to move them
// into a dictionary, which slows every other read of them.
inline Py_ssize_t watchable_dict_offset([[maybe_unused]] PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    const bool reported = runtime_version() >= (PY_VERSION_HEX >= 0x030E0000 ? 0x030E00A2u : 0x030D01F0u);
    PyObject** field = reported ? _PyObject_GetDictPtr(obj) : nullptr;
    PyErr_Clear();
    return field ? reinterpret_cast<char*>(field) - reinterpret_cast<char*>(obj) : 0;
#else
    return 0;
#endif
}

}  // namespace umbo::compat
