// The Cache type: its instance record, its table of native operations, and
// the operations every part of the module shares.
//
// A Cache owns one Python list of slots, `cache_arr` (32 entries when built
// by construction); `None` in an entry means the slot is empty.  Other
// compiled modules reach the operations through `CacheNativeMethods`, whose
// address every instance carries in its first field.
#pragma once

#include <Python.h>

#include <cstdint>

#include "umbocache/include/umbocache.h"

namespace umbo::cache {

// The instance record and the table of native operations are those of the
// public header, so the layout other compiled modules rely on is defined in
// one place: UmboCacheObject { PyObject_HEAD; __pyx_vtab; cache_arr } and
// CacheNativeMethods { c_clear, c_clear_selected, c_get, c_set,
// c_get_or_set_val, c_get_or_exec, new_ } in that fixed order.
using CacheObject = ::UmboCacheObject;
using ::CacheNativeMethods;

inline constexpr int32_t kSlotCount = UMBOCACHE_SLOT_COUNT;

extern PyTypeObject Cache_Type;
extern CacheNativeMethods native_methods;

inline CacheObject* as_cache(PyObject* op) { return reinterpret_cast<CacheObject*>(op); }

// ---- lifecycle (cache_type.cpp)

// The allocation step: an instance of `type` whose slot list is None.
PyObject* cache_alloc(PyTypeObject* type);
// A list of 32 `None`, or null with MemoryError.
PyObject* new_slot_list();
// Fills the native table.
void fill_native_table();
// Installs the type's attribute lookup (after PyType_Ready); 0 or -1.
int install_attribute_lookup();
PyObject* cache_new_native();

// ---- the slot list and its slots (slots.cpp)

// A new reference to the slot list, or null with the TypeError that an
// instance without one (never initialised, or cleared) gives.
PyObject* slot_list_ref(CacheObject* self);
// 0 if the instance has a slot list, else -1 with that TypeError.
int require_slot_list(CacheObject* self);
// Replaces `cache_arr` by `list` (a new reference), then releases the old one.
void install_slot_list(CacheObject* self, PyObject* list);
// A new reference to entry `idx` of `list`; IndexError outside the list.
PyObject* read_slot(PyObject* list, int32_t idx);
// Stores `value` (borrowed) at `idx` by list item assignment; 0 or -1.  The
// caller holds a reference to `list`.
int store_slot(PyObject* list, int32_t idx, PyObject* value);
// Empties slot `idx` (0 <= idx); IndexError past the end of the list.
int empty_slot(PyObject* list, int32_t idx);
// Empties every slot whose `selected` entry is set, in ascending order;
// IndexError at the first one past the end of a shorter list.  0 or -1.
int empty_slots(CacheObject* self, const bool selected[kSlotCount]);
// Stores `value` (borrowed) at `idx` if the slot holds None, which releases
// nothing that could run code; false (nothing done) otherwise.
bool replace_none(PyObject* list, int32_t idx, PyObject* value);
// Stores `value` at `idx` if the slot holds None; returns what the slot
// holds afterwards (new reference), or null with IndexError.
PyObject* fill_slot_if_empty(PyObject* list, int32_t idx, PyObject* value);
// ---- keys and member names (keys.cpp)

// Takes the enum module's objects that the fast reads below compare with.
void take_stock_of_enum();
// The slot index of a key: its `value` as a 32-bit int (-1 + error on failure).
int32_t key_index(PyObject* key);
// The same where it runs no Python code: 1 with *index set, else 0 (nothing
// has run and no exception is set).
int key_index_directly(PyObject* key, int32_t* index);
// Sets flags[index] for every member of a stock member map, when no
// member's index needs Python code; false (nothing set) otherwise.
bool mark_members_directly(PyObject* map, bool flags[kSlotCount]);
// The dict that `CacheType.__members__` and `CacheType[name]` read, when
// both are the enum module's own: a new reference, or null (no exception)
// where only running them can tell.
PyObject* stock_member_map(PyObject* cache_type);

// ---- native operations
void c_clear(CacheObject* self);
void c_clear_selected(CacheObject* self, PyObject* blacklist, PyObject* whitelist);
PyObject* c_get(CacheObject* self, int32_t type_idx);
void c_set(CacheObject* self, int32_t type_idx, PyObject* value);
PyObject* c_get_or_set_val(CacheObject* self, int32_t type_idx, PyObject* value);
PyObject* c_get_or_exec(CacheObject* self, int32_t type_idx, PyObject* func);

// ---- Python-visible methods, in vector-call form (self, args, nargs, kwnames)
#define UMBO_CACHE_METHOD(name) \
    PyObject* Cache_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
UMBO_CACHE_METHOD(clear);
UMBO_CACHE_METHOD(clear_selected);
UMBO_CACHE_METHOD(get);
UMBO_CACHE_METHOD(set);
UMBO_CACHE_METHOD(get_or_set_val);
UMBO_CACHE_METHOD(get_or_exec);
UMBO_CACHE_METHOD(copy);
UMBO_CACHE_METHOD(__deepcopy__);
UMBO_CACHE_METHOD(__reduce_cython__);
UMBO_CACHE_METHOD(__setstate_cython__);
#undef UMBO_CACHE_METHOD

PyObject* Cache___getattr__(PyObject* self, PyObject* name);
// What __getattr__ gives for `name`, but null with no exception set where
// it would raise AttributeError because `name` is no member name.
PyObject* cache_member_or_missing(CacheObject* self, PyObject* name);
#if PY_VERSION_HEX < 0x030C0000
PyObject* Cache_getattro(PyObject* self, PyObject* name);
#endif
PyObject* Cache_subscript(PyObject* self, PyObject* key);
PyObject* Cache_sq_item(PyObject* self, Py_ssize_t i);

// The module-level reconstructor of pickles.
PyObject* pyx_unpickle_Cache(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// Makes `__reduce__`/`__setstate__` reach the pickling methods; 0 or -1.
int setup_pickling();

}  // namespace umbo::cache
