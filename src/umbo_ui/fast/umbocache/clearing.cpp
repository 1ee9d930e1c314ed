// Clearing: clear, which empties every slot, and clear_selected, which
// empties the slots a whitelist names and a blacklist doesn't; their native
// twins c_clear and c_clear_selected.
#include <algorithm>
#include <iterator>

#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/stack_guard.h"
#include "common/traceback.h"
#include "umbocache/cache.h"

namespace umbo::cache {

namespace {

using Flags = bool[kSlotCount];

// Sets flags[idx] for every element of `list` whose `value` is in 0..31; a
// null list has none.  The list is read by position with its length read
// anew each time, since reading an element's `value` may run code that
// changes the list.
int mark_slots(PyObject* list, Flags flags) {
    if (!list) return 0;
    if (list == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    if (!PyList_Check(list)) return check_value_type(list, &PyList_Type);  // a native caller's mistake
    Ref keep = Ref::borrow(list);
    bool checked = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::steal(compat::list_get_item_ref(list, i));
        const int32_t idx = item ? key_index(item.get(), &checked) : -1;
        if (!item || (idx == -1 && PyErr_Occurred())) return -1;
        if (idx >= 0 && idx < kSlotCount) flags[idx] = true;
    }
    return 0;
}

// Sets flags[idx] for the value of every member in a member map: read
// straight from it where that runs no code, else from a list made now.
int mark_members(PyObject* member_map, Flags flags) {
    if (mark_members_directly(member_map, flags)) return 0;
    Ref members = Ref::steal(PyDict_Values(member_map));
    return members ? mark_slots(members.get(), flags) : -1;
}

// Marks the blacklist, then the whitelist (null: the members of
// `member_map`), then empties the slots the whitelist names and the
// blacklist doesn't.  Adds the native operation's traceback entry.
int select_and_clear(CacheObject* self, PyObject* blacklist, PyObject* whitelist, PyObject* member_map = nullptr) {
    Flags bl = {};
    Flags wl = {};
    int status = mark_slots(blacklist, bl);
    if (status == 0) status = whitelist ? mark_slots(whitelist, wl) : mark_members(member_map, wl);
    Flags selected;
    for (int32_t i = 0; i < kSlotCount; ++i) selected[i] = wl[i] && !bl[i];
    if (status == 0) status = empty_slots(self, selected);
    if (status < 0) add_traceback("Cache.c_clear_selected");
    return status;
}

// list(CacheType.__members__.values()), built anew at each call.
PyObject* all_members(PyObject* cache_type) {
    Ref members = Ref::steal(PyObject_GetAttr(cache_type, names.__members__));
    Ref values = Ref::steal(members ? PyObject_CallMethodNoArgs(members.get(), names.values) : nullptr);
    if (!values) return nullptr;
    if (PyList_CheckExact(values.get()) && compat::only_reference(values.get())) return values.release();
    return PySequence_List(values.get());
}

// The argument if it is true (a new reference), else null: *failed on error.
PyObject* if_true(PyObject* arg, bool* failed) {
    const int truth = PyObject_IsTrue(arg);
    *failed = truth < 0;
    return truth > 0 ? Py_NewRef(arg) : nullptr;
}

// Truth tests and `__members__` run code, and so may the reads of the keys'
// values: called under the stack guard.
int clear_selected_lists(CacheObject* self, PyObject* blacklist_arg, PyObject* whitelist_arg) {
    bool failed = false;
    Ref blacklist = Ref::steal(if_true(blacklist_arg, &failed));  // null: none
    if (failed) return -1;
    Ref whitelist = Ref::steal(if_true(whitelist_arg, &failed));
    if (failed) return -1;
    Ref map;
    if (!whitelist) {
        // Every member, as `__members__.values()` lists them before any key
        // is read: straight from the member map where that runs no code,
        // and read there after the blacklist where the blacklist reads none.
        Ref cache_type = Ref::steal(lookup_global(names.CacheType));
        if (!cache_type) return -1;
        map = Ref::steal(stock_member_map(cache_type.get()));
        if (!map || blacklist) {
            whitelist = Ref::steal(map ? PyDict_Values(map.get()) : all_members(cache_type.get()));
            if (!whitelist) return -1;
        }
    }
    if ((blacklist && check_value_type(blacklist.get(), &PyList_Type) < 0) ||
        (whitelist && check_value_type(whitelist.get(), &PyList_Type) < 0)) {
        return -1;
    }
    return select_and_clear(self, blacklist.get(), whitelist.get(), map.get());
}

extern Callable clear_method, clear_selected_method;

PyObject* clear(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (bind_args(clear_method, args, nargs, kwnames, nullptr) < 0) return nullptr;
    c_clear(as_cache(self));
    if (!PyErr_Occurred()) Py_RETURN_NONE;
    add_traceback("Cache.clear");
    return nullptr;
}

Callable clear_method = {.name = "clear", .qualname = "Cache.clear", .impl = clear};

PyObject* clear_selected(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind_args(clear_selected_method, args, nargs, kwnames, bound) < 0) return nullptr;
    if (compat::guarded([&] { return clear_selected_lists(as_cache(self), bound[0], bound[1]); }) == 0) Py_RETURN_NONE;
    add_traceback("Cache.clear_selected");
    return nullptr;
}

Callable clear_selected_method = {.name = "clear_selected",
                                  .qualname = "Cache.clear_selected",
                                  .impl = clear_selected,
                                  .params = {"blacklist", "whitelist"},
                                  .defaults_none = true};

}  // namespace

Callable* const clearing_methods[] = {&clear_method, &clear_selected_method, nullptr};

void c_clear(CacheObject* self) {
    bool all[kSlotCount];
    std::fill(std::begin(all), std::end(all), true);
    if (empty_slots(self, all) < 0) add_traceback("Cache.c_clear");
}

void c_clear_selected(CacheObject* self, PyObject* blacklist, PyObject* whitelist) {
    // (null, a native caller's mistake, is refused as None is)
    (void)select_and_clear(self, blacklist ? blacklist : Py_None, whitelist ? whitelist : Py_None);
}

}  // namespace umbo::cache
