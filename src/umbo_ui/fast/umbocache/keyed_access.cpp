// Keyed access: get, set, clear and subscription, their native twins
// c_get, c_set and c_clear, and attribute access by member name.
#include <algorithm>
#include <iterator>

#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/cache.h"
#include "umbocache/constants.h"

namespace umbo::cache {

namespace {

bool failed(int32_t idx) { return idx == -1 && PyErr_Occurred(); }

}  // namespace

// ---- native operations

PyObject* c_get(CacheObject* self, int32_t type_idx) {
    Ref list = Ref::steal(slot_list_ref(self));
    PyObject* result = list ? read_slot(list.get(), type_idx) : nullptr;
    if (!result) add_traceback("Cache.c_get");
    return result;
}

void c_set(CacheObject* self, int32_t type_idx, PyObject* value) {
    Ref list = Ref::steal(slot_list_ref(self));
    if (!list || store_slot(list.get(), type_idx, value) < 0) add_traceback("Cache.c_set");
}

void c_clear(CacheObject* self) {
    bool all[kSlotCount];
    std::fill(std::begin(all), std::end(all), true);
    if (empty_slots(self, all) < 0) add_traceback("Cache.c_clear");
}

// ---- Python methods

namespace {

const Params kGetParams = {"get", "Cache.get", kModuleFile, 1, 1, {&names.type}};
const Params kSetParams = {"set", "Cache.set", kModuleFile, 2, 2, {&names.type, &names.value}};

}  // namespace

PyObject* Cache_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(kGetParams, args, nargs, kwnames, bound) < 0) return nullptr;
    if (check_not_none("type", bound[0]) < 0) return nullptr;
    int32_t idx = key_index(bound[0]);
    PyObject* result = failed(idx) ? nullptr : c_get(as_cache(self), idx);
    if (!result) add_traceback("Cache.get");
    return result;
}

PyObject* Cache_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind_args(kSetParams, args, nargs, kwnames, bound) < 0) return nullptr;
    int32_t idx = key_index(bound[0]);
    if (!failed(idx)) c_set(as_cache(self), idx, bound[1]);
    if (PyErr_Occurred()) {
        add_traceback("Cache.set");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* Cache_clear(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_no_args("clear", nargs, kwnames) < 0) return nullptr;
    c_clear(as_cache(self));
    if (PyErr_Occurred()) {
        add_traceback("Cache.clear");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- subscription

namespace {

PyObject* subscript(CacheObject* self, PyObject* key) {
    Ref cache_type = Ref::steal(lookup_global(names.CacheType));
    if (!cache_type) return nullptr;
    int is_member = PyObject_IsInstance(key, cache_type.get());
    if (is_member < 0) return nullptr;
    if (!is_member) {
        PyErr_SetString(PyExc_TypeError, "The key for cache access must be of type CacheType");
        return nullptr;
    }
    if (require_slot_list(self) < 0) return nullptr;
    int32_t idx = key_index(key);
    if (failed(idx)) return nullptr;
    // Reading `value` may have run code that replaced the list.
    Ref list = Ref::steal(slot_list_ref(self));
    return list ? read_slot(list.get(), idx) : nullptr;
}

}  // namespace

PyObject* Cache_subscript(PyObject* self, PyObject* key) {
    PyObject* result = subscript(as_cache(self), key);
    if (!result) add_traceback("Cache.__getitem__");
    return result;
}

PyObject* Cache_sq_item(PyObject* self, Py_ssize_t i) {
    Ref position = Ref::steal(PyLong_FromSsize_t(i));
    if (!position) return nullptr;
    return Cache_subscript(self, position.get());
}

// ---- attribute access by member name

namespace {

PyObject* getattr_member(CacheObject* self, PyObject* name) {
    compat::RecursionGuard guard;  // `__members__` and its lookups may run code
    if (!guard) return nullptr;
    Ref cache_type = Ref::steal(lookup_global(names.CacheType));
    if (!cache_type) return nullptr;
    Ref members = Ref::steal(PyObject_GetAttr(cache_type.get(), names.__members__));
    if (!members) return nullptr;
    int contained = PySequence_Contains(members.get(), name);
    if (contained < 0) return nullptr;
    if (!contained) {
        // The name is the exception's one argument, also when it is None.
        Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_AttributeError, name));
        if (exc) PyErr_SetObject(PyExc_AttributeError, exc.get());
        return nullptr;
    }
    if (require_slot_list(self) < 0) return nullptr;
    cache_type = Ref::steal(lookup_global(names.CacheType));
    if (!cache_type) return nullptr;
    Ref member = Ref::steal(PyObject_GetItem(cache_type.get(), name));
    if (!member) return nullptr;
    int32_t idx = key_index(member.get());
    if (failed(idx)) return nullptr;
    Ref list = Ref::steal(slot_list_ref(self));
    return list ? read_slot(list.get(), idx) : nullptr;
}

}  // namespace

PyObject* Cache___getattr__(PyObject* self, PyObject* name) {
    if (check_exact_type("type", name, &PyUnicode_Type) < 0) return nullptr;
    PyObject* result = getattr_member(as_cache(self), name);
    if (!result) add_traceback("Cache.__getattr__");
    return result;
}

#if PY_VERSION_HEX < 0x030C0000

namespace {

// The generic attribute lookup for an instance without an attribute
// dictionary: the type's attribute, through its __get__ if it has one.
// Returns null with no exception set where the generic lookup would raise
// AttributeError, which saves building that exception on the way to the
// member names.
PyObject* lookup_on_type(PyObject* self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self);
    Ref descr = Ref::steal(compat::type_lookup_ref(type, name));
    if (!descr) return nullptr;
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (!get) return descr.release();
    return get(descr.get(), self, reinterpret_cast<PyObject*>(type));
}

}  // namespace

// Ordinary attributes first; member names of CacheType only after the
// ordinary lookup has failed with AttributeError.
PyObject* Cache_getattro(PyObject* self, PyObject* name) {
    PyObject* result;
    if (PyUnicode_CheckExact(name) && !compat::instances_may_have_dict(Py_TYPE(self))) {
        result = lookup_on_type(self, name);
        if (!result && !PyErr_Occurred()) return Cache___getattr__(self, name);
    } else {
        result = PyObject_GenericGetAttr(self, name);
    }
    if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
    PyErr_Clear();
    return Cache___getattr__(self, name);
}

#endif  // older hosts: the module's own attribute hook

}  // namespace umbo::cache
