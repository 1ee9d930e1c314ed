// Keyed access: get and set, their native twins c_get and c_set,
// subscription, and attribute access by member name.
#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/stack_guard.h"
#include "common/traceback.h"
#include "umbocache/cache.h"

namespace umbo::cache {

namespace {

bool failed(int32_t idx) { return idx == -1 && PyErr_Occurred(); }

// c_set with a result: 0, or -1 with an exception set.
int set_slot(CacheObject* self, int32_t type_idx, PyObject* value) {
    Ref list = Ref::steal(slot_list_ref(self));
    if (list && store_slot(list.get(), type_idx, value) == 0) return 0;
    add_traceback("Cache.c_set");
    return -1;
}

extern Callable get_method, set_method;

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(get_method, args, nargs, kwnames, bound) < 0 || check_not_none("type", bound[0]) < 0) {
        return nullptr;
    }
    const int32_t idx = key_index(bound[0]);
    PyObject* result = failed(idx) ? nullptr : c_get(as_cache(self), idx);
    if (!result) add_traceback("Cache.get");
    return result;
}

Callable get_method = {.name = "get", .qualname = "Cache.get", .impl = get, .params = {"type"}};

PyObject* set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind_args(set_method, args, nargs, kwnames, bound) < 0) return nullptr;
    const int32_t idx = key_index(bound[0]);
    if (failed(idx) || set_slot(as_cache(self), idx, bound[1]) < 0) {
        add_traceback("Cache.set");
        return nullptr;
    }
    Py_RETURN_NONE;
}

Callable set_method = {.name = "set", .qualname = "Cache.set", .impl = set, .params = {"type", "value"}};

// ---- attribute access by member name

// `name`'s member in a stock member map: 1 with a new reference in *member,
// 0 if absent, -1.  With the GIL the last one found is kept, borrowed (the
// map holds it), while the map is watched and nothing watched has changed,
// for an immortal name (whose address no other string can come to have).
int find_member(PyObject* map, PyObject* name, PyObject** member) {
#ifndef UMBO_WITHOUT_GIL
    static struct {
        PyObject *map, *name, *member;
        uint64_t changes;
    } kept;
    const uint64_t changes = compat::watched_changes.load(std::memory_order_relaxed);
    if (kept.map == map && kept.name == name && kept.changes == changes) return (*member = Py_NewRef(kept.member)), 1;
#endif
    const int found = compat::dict_get_item_ref(map, name, member);
#ifndef UMBO_WITHOUT_GIL
    if (found > 0 && compat::is_immortal(name) && compat::watch(map)) kept = {map, name, *member, changes};
#endif
    return found;
}

// The slot index of member `name`, with every reference the lookup took
// already released: their finalisers may change the cache, so the slot is
// read only after them.  -1 with an exception set, or with *missing set
// when `name` is no member.
int32_t member_index(CacheObject* self, PyObject* name, bool* missing) {
    Ref cache_type = Ref::steal(lookup_global(names.CacheType));
    if (!cache_type) return -1;
    Ref member;
    int found;
    if (Ref map = Ref::steal(stock_member_map(cache_type.get()))) {
        PyObject* item = nullptr;  // no code runs between the containment test and the item lookup
        found = find_member(map.get(), name, &item);
        member = Ref::steal(item);
        if (found > 0 && require_slot_list(self) < 0) return -1;
    } else {
        // `name in CacheType.__members__`, then `CacheType[name]`: code runs.
        found = compat::guarded([&] {
            Ref members = Ref::steal(PyObject_GetAttr(cache_type.get(), names.__members__));
            const int contained = members ? PySequence_Contains(members.get(), name) : -1;
            if (contained > 0 && require_slot_list(self) == 0) {
                cache_type = Ref::steal(lookup_global(names.CacheType));  // looked up anew, as Python code would
                member = Ref::steal(cache_type ? PyObject_GetItem(cache_type.get(), name) : nullptr);
            }
            return contained;
        });
    }
    *missing = found == 0;
    return member ? key_index(member.get()) : -1;
}

// The slot of member `name`, or null: *missing when `name` is no member.
PyObject* member_slot(CacheObject* self, PyObject* name, bool* missing) {
    const int32_t idx = member_index(self, name, missing);
    return failed(idx) || *missing ? nullptr : read_current_slot(self, idx);
}

// Whether `key` is an instance of CacheType: 1, 0, or -1 with an exception
// set.  An instance of that very class is one without running code; else
// __instancecheck__ may call back into the cache, a recursion the host
// counts but, before 3.14, never measures the stack for.
int is_cache_type_member(PyObject* key) {
    Ref cache_type = Ref::steal(lookup_global(names.CacheType));
    if (cache_type && Py_TYPE(key) == reinterpret_cast<PyTypeObject*>(cache_type.get())) return 1;
    if (!cache_type) return -1;
    return compat::guarded<false>([&] { return PyObject_IsInstance(key, cache_type.get()); });
}

PyObject* cache___getattr__(PyObject* self, PyObject* name) {
    if (check_exact_type("type", name, &PyUnicode_Type) < 0) return nullptr;
    bool missing = false;
    PyObject* result = member_slot(as_cache(self), name, &missing);
    if (missing) {
        // The name is the exception's one argument, also when it is None.
        Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_AttributeError, name));
        if (exc) PyErr_SetObject(PyExc_AttributeError, exc.get());
    }
    if (!result) add_traceback("Cache.__getattr__");
    return result;
}

}  // namespace

Callable* const keyed_methods[] = {&get_method, &set_method, nullptr};

UMBO_TABLES_BEGIN
PyMethodDef cache_slot_methods[] = {
    {"__getattr__", cache___getattr__, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
UMBO_TABLES_END

PyObject* c_get(CacheObject* self, int32_t type_idx) {
    PyObject* result = read_current_slot(self, type_idx);
    if (!result) add_traceback("Cache.c_get");
    return result;
}

void c_set(CacheObject* self, int32_t type_idx, PyObject* value) { (void)set_slot(self, type_idx, value); }

PyObject* cache_member_or_missing(CacheObject* self, PyObject* name) {
    bool missing = false;
    PyObject* result = member_slot(self, name, &missing);
    if (!result && !missing) add_traceback("Cache.__getattr__");
    return result;
}

// Ordinary attributes first; member names of CacheType only after the
// ordinary lookup has failed with AttributeError (which is never built).
PyObject* cache_getattro(PyObject* self, PyObject* name) {
    PyObject* result = compat::generic_getattr_or_null(self, name);
    return result || PyErr_Occurred() ? result : cache___getattr__(self, name);
}

// ---- subscription

PyObject* Cache_subscript(PyObject* self, PyObject* key) {
    const int is_member = is_cache_type_member(key);
    if (is_member == 0) PyErr_SetString(PyExc_TypeError, "The key for cache access must be of type CacheType");
    // The slot list is required before the key's `value` is read; reading
    // it may run code that replaces the list.
    const int32_t idx = is_member > 0 && require_slot_list(as_cache(self)) == 0 ? key_index(key) : -1;
    PyObject* result = is_member > 0 && !failed(idx) ? read_current_slot(as_cache(self), idx) : nullptr;
    if (!result) add_traceback("Cache.__getitem__");
    return result;
}

}  // namespace umbo::cache
