// The Cache type: its instance record, its table of native operations, and
// what the files of the module share.
//
// A Cache owns one Python list of slots, `cache_arr` (32 entries when built
// by construction); `None` in an entry means the slot is empty.  Other
// compiled modules reach the operations through `CacheNativeMethods`, whose
// address every instance carries in its first field.  The record and the
// table are those of the public header, so that their layout is defined in
// one place.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/compat.h"
#include "common/function.h"
#include "umbocache/include/umbocache.h"
#include "umbocache/names.h"

namespace umbo::cache {

using CacheObject = ::UmboCacheObject;
using ::CacheNativeMethods;

inline constexpr int32_t kSlotCount = UMBOCACHE_SLOT_COUNT;
inline constexpr long kChecksum = 0xbd51cb4;  // the layout checksum pickles carry

extern PyTypeObject Cache_Type;
inline CacheObject* as_cache(PyObject* op) { return reinterpret_cast<CacheObject*>(op); }

// ---- the type and its instances (cache_type.cpp)

// The allocation step: an instance of `type` whose slot list is None.
PyObject* cache_alloc(PyTypeObject* type);
// Readies the type, installs its methods and publishes its native table;
// 0 or -1.
int ready_cache_type(PyObject* module_dict);

// ---- the slot list and its slots (slots.cpp)

// A new reference to the slot list, or null with the TypeError that an
// instance without one (never initialised, or cleared) gives.
PyObject* slot_list_ref(CacheObject* self);
// 0 if the instance has a slot list, else -1 with that TypeError.
int require_slot_list(CacheObject* self);
// Replaces `cache_arr` by `list` (a new reference), then releases the old one.
void install_slot_list(CacheObject* self, PyObject* list);
// A list of 32 `None`, or null with MemoryError.
PyObject* new_slot_list();
// A new reference to entry `idx` of `list`; IndexError outside the list.
PyObject* read_slot(PyObject* list, int32_t idx);
// A new reference to entry `idx` of the instance's current list, or null
// (inline: it is every read's whole path).
inline PyObject* read_current_slot(CacheObject* self, int32_t idx) {
#ifndef UMBO_WITHOUT_GIL
    // With the GIL the list is borrowed: nothing runs before the read.
    PyObject* slots = self->cache_arr;
    if (slots != Py_None && idx >= 0 && idx < PyList_GET_SIZE(slots)) return Py_NewRef(PyList_GET_ITEM(slots, idx));
#endif
    PyObject* list = slot_list_ref(self);
    PyObject* item = list ? read_slot(list, idx) : nullptr;
    Py_XDECREF(list);  // the instance holds it: runs no code
    return item;
}
// Stores `value` (borrowed) at `idx` by list item assignment; 0 or -1.  The
// caller holds a reference to `list`.
int store_slot(PyObject* list, int32_t idx, PyObject* value);
// In one step, stores `value` at `idx` if the slot holds None (which
// releases nothing that could run code) and reads the slot: a new
// reference, or null with no exception set outside the list.
PyObject* fill_if_none(PyObject* list, int32_t idx, PyObject* value);
// Empties every slot whose `selected` entry is set, in ascending order;
// IndexError at the first one past the end of a shorter list.  0 or -1.
int empty_slots(CacheObject* self, const bool selected[kSlotCount]);

// ---- keys and member names (keys.cpp)

// Takes the enum module's objects that the direct reads compare with.
void take_stock_of_enum();
// The slot index of a key: its `value` as a 32-bit int (-1 + error on
// failure).  `checked`: for keys read one after another (false before the
// first), where what the first read checked may hold for the next.
int32_t key_index(PyObject* key);
int32_t key_index(PyObject* key, bool* checked);
// The dict that `CacheType.__members__` and `CacheType[name]` read, when
// both are the enum module's own and a lookup in it runs no code: a new
// reference, or null (no exception) where only running them can tell.
PyObject* stock_member_map(PyObject* cache_type);
// Sets flags[index] for every member in such a map, when no member's index
// needs Python code; false (nothing set) otherwise.
bool mark_members_directly(PyObject* member_map, bool flags[kSlotCount]);

// ---- native operations
void c_clear(CacheObject* self);
void c_clear_selected(CacheObject* self, PyObject* blacklist, PyObject* whitelist);
PyObject* c_get(CacheObject* self, int32_t type_idx);
void c_set(CacheObject* self, int32_t type_idx, PyObject* value);
PyObject* c_get_or_set_val(CacheObject* self, int32_t type_idx, PyObject* value);
PyObject* c_get_or_exec(CacheObject* self, int32_t type_idx, PyObject* func);

// ---- what the type's slots call (keyed_access.cpp)
extern PyMethodDef cache_slot_methods[];  // the type's own method table
PyObject* cache_getattro(PyObject* self, PyObject* name);
PyObject* Cache_subscript(PyObject* self, PyObject* key);
// What __getattr__ gives for `name`, but null with no exception set where
// it would raise AttributeError because `name` is no member name.
PyObject* cache_member_or_missing(CacheObject* self, PyObject* name);

// ---- the Python-visible callables, each declared next to its implementation:
// the methods by the file that implements them (null-terminated), and the
// reconstructor of pickles
extern Callable* const clearing_methods[];
extern Callable* const keyed_methods[];
extern Callable* const fill_methods[];
extern Callable* const copy_pickle_methods[];
extern Callable unpickle_function;
// Puts the reductions of Cache and of the function type into copyreg's
// dispatch table, where picklers find them first; 0 also where the table
// refuses them with an Exception, else -1.
int register_reductions();
extern CacheNativeMethods native_methods;

}  // namespace umbo::cache
