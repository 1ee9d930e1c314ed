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

namespace {

// c_set with a result: 0, or -1 with an exception set.
int set_slot(CacheObject* self, int32_t type_idx, PyObject* value) {
    Ref list = Ref::steal(slot_list_ref(self));
    if (list && store_slot(list.get(), type_idx, value) == 0) return 0;
    add_traceback("Cache.c_set");
    return -1;
}

}  // namespace

void c_set(CacheObject* self, int32_t type_idx, PyObject* value) { (void)set_slot(self, type_idx, value); }

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
    if (failed(idx) || set_slot(as_cache(self), idx, bound[1]) < 0) {
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

PyObject* raise_attribute_error(PyObject* name) {
    // The name is the exception's one argument, also when it is None.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_AttributeError, name));
    if (exc) PyErr_SetObject(PyExc_AttributeError, exc.get());
    return nullptr;
}

PyObject* read_member(CacheObject* self, PyObject* member) {
    int32_t idx = key_index(member);
    if (failed(idx)) return nullptr;
    Ref list = Ref::steal(slot_list_ref(self));
    return list ? read_slot(list.get(), idx) : nullptr;
}

// `name` looked up in the member map directly: no code runs between the
// containment test and the item lookup, so both read the same dict.
PyObject* getattr_stock_member(CacheObject* self, PyObject* name, PyObject* map, bool* missing) {
    PyObject* member = nullptr;
    int found = compat::dict_get_item_ref(map, name, &member);
    if (found <= 0) {
        *missing = found == 0;
        return nullptr;
    }
    Ref held = Ref::steal(member);
    return require_slot_list(self) < 0 ? nullptr : read_member(self, member);
}

PyObject* getattr_member(CacheObject* self, PyObject* name, bool* missing) {
    Ref cache_type = Ref::steal(lookup_global(names.CacheType));
    if (!cache_type) return nullptr;
    if (Ref map = Ref::steal(stock_member_map(cache_type.get()))) {
        return getattr_stock_member(self, name, map.get(), missing);
    }
    compat::RecursionGuard guard;  // `__members__` and its lookups may run code
    if (!guard) return nullptr;
    Ref members = Ref::steal(PyObject_GetAttr(cache_type.get(), names.__members__));
    if (!members) return nullptr;
    int contained = PySequence_Contains(members.get(), name);
    if (contained < 0) return nullptr;
    if (!contained) {
        *missing = true;
        return nullptr;
    }
    if (require_slot_list(self) < 0) return nullptr;
    cache_type = Ref::steal(lookup_global(names.CacheType));
    if (!cache_type) return nullptr;
    Ref member = Ref::steal(PyObject_GetItem(cache_type.get(), name));
    return member ? read_member(self, member.get()) : nullptr;
}

}  // namespace

PyObject* cache_member_or_missing(CacheObject* self, PyObject* name) {
    bool missing = false;
    PyObject* result = getattr_member(self, name, &missing);
    if (!result && !missing) add_traceback("Cache.__getattr__");
    return result;
}

PyObject* Cache___getattr__(PyObject* self, PyObject* name) {
    if (check_exact_type("type", name, &PyUnicode_Type) < 0) return nullptr;
    bool missing = false;
    PyObject* result = getattr_member(as_cache(self), name, &missing);
    if (missing) raise_attribute_error(name);
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
