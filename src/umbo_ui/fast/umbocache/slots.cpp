// The slot list of a Cache: reading it out of the instance, replacing it,
// and reading, storing and emptying slots.  Every operation on slots goes
// through these, so each keeps its index inside the list and holds the
// references it needs while code run by a release may change the cache.
//
// Without the GIL a slot list is read without its lock (read_slot, and the
// host's own iteration of a list a caller was given), so every store into
// one holds the list's lock and goes through compat::list_store, whose
// release pairs with the host's atomic item loads; PyList_SET_ITEM is only
// for lists no other thread can see yet.
#include <algorithm>

#include "common/compat.h"
#include "common/ref.h"
#include "umbocache/cache.h"

namespace umbo::cache {

PyObject* slot_list_ref(CacheObject* self) {
    PyObject* list;
    UMBO_BEGIN_CRITICAL_SECTION(self);
    list = Py_NewRef(self->cache_arr);
    UMBO_END_CRITICAL_SECTION();
    if (list != Py_None) return list;
    Py_DECREF(list);
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
}

int require_slot_list(CacheObject* self) { return Ref::steal(slot_list_ref(self)) ? 0 : -1; }

void install_slot_list(CacheObject* self, PyObject* list) {
    PyObject* old;
    UMBO_BEGIN_CRITICAL_SECTION(self);
    old = self->cache_arr;
    self->cache_arr = list;
    UMBO_END_CRITICAL_SECTION();
    Py_XDECREF(old);  // may run code; the field already holds the new list
}

PyObject* new_slot_list() {
    PyObject* list = PyList_New(kSlotCount);
    for (Py_ssize_t i = 0; list && i < kSlotCount; ++i) PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
    return list;
}

PyObject* read_slot(PyObject* list, int32_t idx) {
    // Reads never count from the end and never leave the list.
    PyObject* item = nullptr;
    Py_ssize_t size;
#ifdef UMBO_WITHOUT_GIL
    // The host's own read takes no lock and refuses what is outside the
    // list; it loads the item atomically, which pairs with list_store.
    if ((item = PyList_GetItemRef(list, idx)) != nullptr) return item;
    PyErr_Clear();
    size = PyList_Size(list);
#else
    size = PyList_GET_SIZE(list);
    if (idx >= 0 && idx < size) item = Py_NewRef(PyList_GET_ITEM(list, idx));
#endif
    if (!item) {
        PyErr_Format(PyExc_IndexError, "cache slot index %d out of range (the slot list holds %zd entries)",
                     static_cast<int>(idx), size);
    }
    return item;
}

int store_slot(PyObject* list, int32_t idx, PyObject* value) {
    // PyList_SetItem tests the position, takes the new reference even when
    // it fails, and releases the previous occupant after the store.  That
    // release may run code that drops the cache's hold on the list: the
    // caller holds a reference of its own.
    return PyList_SetItem(list, idx, Py_NewRef(value));
}

PyObject* fill_if_none(PyObject* list, int32_t idx, PyObject* value) {
    PyObject* item = nullptr;
    UMBO_BEGIN_CRITICAL_SECTION(list);
    if (idx >= 0 && idx < PyList_GET_SIZE(list)) {
        item = PyList_GET_ITEM(list, idx);
        if (item == Py_None) {
            compat::list_store(list, idx, Py_NewRef(value));
            Py_DECREF(Py_None);  // runs no code
            item = value;
        }
        Py_INCREF(item);
    }
    UMBO_END_CRITICAL_SECTION();
    return item;
}

int empty_slots(CacheObject* self, const bool selected[kSlotCount]) {
#ifdef UMBO_WITHOUT_GIL
    // Other threads run beside this one: every selected slot is emptied
    // under one hold of the list's lock, and the values are released once
    // the whole clear is done, so no thread sees it half-way.  With nothing
    // selected no list is read, as in the GIL build.
    if (std::none_of(selected, selected + kSlotCount, [](bool s) { return s; })) return 0;
    Ref list = Ref::steal(slot_list_ref(self));
    if (!list) return -1;
    PyObject* released[kSlotCount];
    int count = 0;
    bool past_end = false;
    Py_BEGIN_CRITICAL_SECTION(list.get());
    const Py_ssize_t size = PyList_GET_SIZE(list.get());
    for (int32_t i = 0; i < kSlotCount && !past_end; ++i) {
        if (!selected[i]) continue;
        past_end = i >= size;
        PyObject* old = past_end ? Py_None : PyList_GET_ITEM(list.get(), i);
        if (old == Py_None) continue;
        released[count++] = old;
        compat::list_store(list.get(), i, Py_NewRef(Py_None));
    }
    Py_END_CRITICAL_SECTION();
    for (int k = 0; k < count; ++k) Py_DECREF(released[k]);
    if (!past_end) return 0;
    PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
    return -1;
#else
    // Slot by slot in ascending order.  Releasing a value may run code that
    // replaces the list, so the instance's list is read anew after each
    // store; storing None over None changes nothing and runs no code.
    Ref list;
    for (int32_t i = 0; i < kSlotCount; ++i) {
        if (!selected[i]) continue;
        if (!list && !(list = Ref::steal(slot_list_ref(self)))) return -1;
        if (i < PyList_GET_SIZE(list.get()) && PyList_GET_ITEM(list.get(), i) == Py_None) continue;
        if (store_slot(list.get(), i, Py_None) < 0) return -1;
        list.reset();
    }
    return 0;
#endif
}

}  // namespace umbo::cache
