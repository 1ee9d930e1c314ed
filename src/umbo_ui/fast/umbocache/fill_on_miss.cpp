// Fill-on-miss: get_or_set_val and get_or_exec, and their native twins.
// A slot is empty when it holds None itself; the first use fills it.
#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/stack_guard.h"
#include "common/traceback.h"
#include "umbocache/cache.h"

namespace umbo::cache {

namespace {

// The slot `idx` of the instance's list after storing `value` there if it
// held None.  New reference, or null.
PyObject* fill_with_value(CacheObject* self, int32_t idx, PyObject* value) {
    Ref list = Ref::steal(slot_list_ref(self));
    if (!list) return nullptr;
    PyObject* item = fill_if_none(list.get(), idx, value);
    return item ? item : read_slot(list.get(), idx);  // read_slot words the error
}

// Stores `made` into slot `idx` of the instance's current list, then
// releases everything the operation held (the slot's previous occupant,
// the list, `made` itself) before it reads the slot: finalisers run by
// those releases may change the cache, and what is returned is what the
// slot holds after them.  New reference, or null with an exception set.
PyObject* store_and_reread(CacheObject* self, int32_t idx, Ref& made) {
    // Filling an empty slot releases nothing that could run code, and
    // neither do the releases of the list and of `made` that follow: with
    // the GIL the list need not be held for that.
#ifndef UMBO_WITHOUT_GIL
    PyObject* filled = self->cache_arr != Py_None ? fill_if_none(self->cache_arr, idx, made.get()) : nullptr;
    if (filled && filled == made.get()) return filled;
    Py_XDECREF(filled);
#endif
    {
        Ref list = Ref::steal(slot_list_ref(self));
        if (!list) return nullptr;
        Ref item = Ref::steal(fill_if_none(list.get(), idx, made.get()));
        if (item.get() == made.get()) return item.release();
        // The store releases the slot's hold on the occupant; `item`'s
        // release, on leaving this block, then runs its finaliser.
        if (store_slot(list.get(), idx, made.get()) < 0) return nullptr;
    }
    made.reset();
    return read_current_slot(self, idx);
}

// The miss: calls `func` and stores what it made, out of line so that the
// hit stays small.
UMBO_NOINLINE PyObject* call_and_store(CacheObject* self, int32_t idx, PyObject* func) {
    // `func` may call back into the cache.  A Python function's frame counts
    // the recursion, but before 3.14 never measures the stack: that is left.
    auto call = [func] { return PyObject_CallNoArgs(func); };
    Ref made = Ref::steal(PyFunction_Check(func) ? compat::guarded<false>(call) : compat::guarded(call));
    // `func` may have replaced the list or filled the slot itself: the store
    // goes to the current list and overwrites whatever the slot holds.
    return made ? store_and_reread(self, idx, made) : nullptr;
}

PyObject* fill_with_call(CacheObject* self, int32_t idx, PyObject* func) {
    PyObject* current = read_current_slot(self, idx);  // holds no list while `func` runs
    if (current != Py_None) return current;            // the slot's object, or null
    Py_DECREF(current);
    return call_and_store(self, idx, func);
}

extern Callable get_or_set_val_method, get_or_exec_method;

PyObject* get_or_set_val(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind_args(get_or_set_val_method, args, nargs, kwnames, bound) < 0) return nullptr;
    const int32_t idx = key_index(bound[0]);
    PyObject* result = idx == -1 && PyErr_Occurred() ? nullptr : c_get_or_set_val(as_cache(self), idx, bound[1]);
    if (!result) add_traceback("Cache.get_or_set_val");
    return result;
}

Callable get_or_set_val_method = {
    .name = "get_or_set_val", .qualname = "Cache.get_or_set_val", .impl = get_or_set_val, .params = {"type", "value"}};

PyObject* get_or_exec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (bind_args(get_or_exec_method, args, nargs, kwnames, bound) < 0) return nullptr;
    if (check_not_none("type", bound[0]) < 0 || check_not_none("func", bound[1]) < 0) return nullptr;
    const int32_t idx = key_index(bound[0]);
    PyObject* result = idx == -1 && PyErr_Occurred() ? nullptr : c_get_or_exec(as_cache(self), idx, bound[1]);
    if (!result) add_traceback("Cache.get_or_exec");
    return result;
}

Callable get_or_exec_method = {
    .name = "get_or_exec", .qualname = "Cache.get_or_exec", .impl = get_or_exec, .params = {"type", "func"}};

}  // namespace

Callable* const fill_methods[] = {&get_or_set_val_method, &get_or_exec_method, nullptr};

PyObject* c_get_or_set_val(CacheObject* self, int32_t type_idx, PyObject* value) {
    PyObject* result = fill_with_value(self, type_idx, value);
    if (!result) add_traceback("Cache.c_get_or_set_val");
    return result;
}

PyObject* c_get_or_exec(CacheObject* self, int32_t type_idx, PyObject* func) {
    PyObject* result = fill_with_call(self, type_idx, func);
    if (!result) add_traceback("Cache.c_get_or_exec");
    return result;
}

}  // namespace umbo::cache
