// Selective clearing: clear_selected and its native twin c_clear_selected.
// A whitelist names the slots to empty, a blacklist the slots to keep.
#include <algorithm>

#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/cache.h"
#include "umbocache/constants.h"

namespace umbo::cache {

namespace {

using Flags = bool[kSlotCount];

int raise_none_not_iterable() {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return -1;
}

// Sets flags[idx] for every element of `list` whose `value` is in 0..31.
// The list is read by position with its length read anew each time, since
// reading an element's `value` runs code that may change the list.
int mark_slots(PyObject* list, Flags flags) {
    if (list == Py_None) return raise_none_not_iterable();
    if (!PyList_Check(list)) return check_value_type(list, &PyList_Type);  // a native caller's mistake
    Ref keep = Ref::borrow(list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::steal(compat::list_get_item_ref(list, i));
        if (!item) return -1;
        int32_t idx = key_index(item.get());
        if (idx == -1 && PyErr_Occurred()) return -1;
        if (idx >= 0 && idx < kSlotCount) flags[idx] = true;
    }
    return 0;
}

// Marks the blacklist, then the whitelist (unless `whitelist_marked` gives
// it already), then empties the slots the whitelist names and the
// blacklist doesn't.
int clear_selected(CacheObject* self, PyObject* blacklist, PyObject* whitelist, const bool* whitelist_marked) {
    Flags bl = {};
    Flags wl = {};
    if (mark_slots(blacklist, bl) < 0) return -1;
    if (whitelist_marked) {
        std::copy(whitelist_marked, whitelist_marked + kSlotCount, wl);
    } else if (mark_slots(whitelist, wl) < 0) {
        return -1;
    }
    Flags selected;
    for (int32_t i = 0; i < kSlotCount; ++i) selected[i] = wl[i] && !bl[i];
    return empty_slots(self, selected);
}

// list(CacheType.__members__.values()), built anew at each call.
PyObject* all_members(PyObject* cache_type) {
    Ref members = Ref::steal(PyObject_GetAttr(cache_type, names.__members__));
    if (!members) return nullptr;
    Ref values = Ref::steal(PyObject_CallMethodNoArgs(members.get(), names.values));
    if (!values) return nullptr;
    if (PyList_CheckExact(values.get()) && compat::only_reference(values.get())) return values.release();
    return PySequence_List(values.get());
}

// The argument if it is true, else `fallback()`; null on error.
template <class Fallback>
PyObject* true_or(PyObject* arg, Fallback fallback) {
    int truth = PyObject_IsTrue(arg);
    if (truth < 0) return nullptr;
    return truth ? Py_NewRef(arg) : fallback();
}

PyObject* selected_lists_and_clear(CacheObject* self, PyObject* blacklist_arg, PyObject* whitelist_arg) {
    compat::RecursionGuard guard;  // truth tests and `__members__` may run code
    if (!guard) return nullptr;
    Ref blacklist = Ref::steal(true_or(blacklist_arg, [] { return PyList_New(0); }));
    if (!blacklist) return nullptr;
    int truth = PyObject_IsTrue(whitelist_arg);
    if (truth < 0) return nullptr;
    Ref whitelist = truth ? Ref::borrow(whitelist_arg) : Ref();
    Flags every_member = {};
    if (!whitelist) {
        // Every member: straight from the member map when that runs no code,
        // else as the list `__members__.values()` gives.
        Ref cache_type = Ref::steal(lookup_global(names.CacheType));
        if (!cache_type) return nullptr;
        Ref map = Ref::steal(stock_member_map(cache_type.get()));
        if (!map || !mark_members_directly(map.get(), every_member)) {
            whitelist = Ref::steal(all_members(cache_type.get()));
            if (!whitelist) return nullptr;
        }
    }
    if (check_value_type(blacklist.get(), &PyList_Type) < 0) return nullptr;
    if (whitelist && check_value_type(whitelist.get(), &PyList_Type) < 0) return nullptr;
    if (clear_selected(self, blacklist.get(), whitelist.get(), whitelist ? nullptr : every_member) < 0) {
        add_traceback("Cache.c_clear_selected");
        return nullptr;
    }
    Py_RETURN_NONE;
}

const Params kClearSelectedParams = {
    "clear_selected", "Cache.clear_selected", kModuleFile, 2, 0, {&names.blacklist, &names.whitelist}};

}  // namespace

void c_clear_selected(CacheObject* self, PyObject* blacklist, PyObject* whitelist) {
    if (clear_selected(self, blacklist, whitelist, nullptr) < 0) add_traceback("Cache.c_clear_selected");
}

PyObject* Cache_clear_selected(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind_args(kClearSelectedParams, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* result = selected_lists_and_clear(as_cache(self), bound[0], bound[1]);
    if (!result) add_traceback("Cache.clear_selected");
    return result;
}

}  // namespace umbo::cache
