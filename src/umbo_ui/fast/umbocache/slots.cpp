// The slot list of a Cache: reading it out of the instance, replacing it,
// and reading, storing and emptying one slot.  Every operation on slots goes
// through these, so each keeps its index inside the list and holds the
// references it needs while code run by a release may change the cache.
#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "umbocache/cache.h"
#include "umbocache/constants.h"

namespace umbo::cache {

namespace {

PyObject* raise_not_subscriptable() {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
}

PyObject* raise_slot_index_error(int32_t idx, Py_ssize_t size) {
    PyErr_Format(PyExc_IndexError, "cache slot index %d out of range (the slot list holds %zd entries)",
                 static_cast<int>(idx), size);
    return nullptr;
}

}  // namespace

PyObject* slot_list_ref(CacheObject* self) {
    PyObject* list;
    UMBO_FT_BEGIN_CRITICAL_SECTION(self);
    list = Py_NewRef(self->cache_arr);
    UMBO_FT_END_CRITICAL_SECTION();
    if (list != Py_None) return list;
    Py_DECREF(list);
    return raise_not_subscriptable();
}

int require_slot_list(CacheObject* self) {
    Ref list = Ref::steal(slot_list_ref(self));
    return list ? 0 : -1;
}

void install_slot_list(CacheObject* self, PyObject* list) {
    PyObject* old;
    UMBO_FT_BEGIN_CRITICAL_SECTION(self);
    old = self->cache_arr;
    self->cache_arr = list;
    UMBO_FT_END_CRITICAL_SECTION();
    Py_XDECREF(old);  // may run code; the field already holds the new list
}

PyObject* read_slot(PyObject* list, int32_t idx) {
    // Reads never count from the end and never leave the list.
    PyObject* item = nullptr;
    Py_ssize_t size;
    UMBO_FT_BEGIN_CRITICAL_SECTION(list);
    size = PyList_GET_SIZE(list);
    if (idx >= 0 && idx < size) item = Py_NewRef(PyList_GET_ITEM(list, idx));
    UMBO_FT_END_CRITICAL_SECTION();
    return item ? item : raise_slot_index_error(idx, size);
}

int store_slot(PyObject* list, int32_t idx, PyObject* value) {
    // PyList_SetItem tests the position, takes the new reference even when
    // it fails, and releases the previous occupant after the store.  That
    // release may run code that drops the cache's hold on the list: the
    // caller holds a reference of its own.
    return PyList_SetItem(list, idx, Py_NewRef(value));
}

int empty_slot(PyObject* list, int32_t idx) {
    // Storing None over None changes nothing and runs no code.
    bool empty;
    UMBO_FT_BEGIN_CRITICAL_SECTION(list);
    empty = idx >= 0 && idx < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, idx) == Py_None;
    UMBO_FT_END_CRITICAL_SECTION();
    return empty ? 0 : store_slot(list, idx, Py_None);
}

bool replace_none(PyObject* list, int32_t idx, PyObject* value) {
    bool replaced = false;
    UMBO_FT_BEGIN_CRITICAL_SECTION(list);
    if (idx >= 0 && idx < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, idx) == Py_None) {
        PyList_SET_ITEM(list, idx, Py_NewRef(value));
        Py_DECREF(Py_None);
        replaced = true;
    }
    UMBO_FT_END_CRITICAL_SECTION();
    return replaced;
}

PyObject* fill_slot_if_empty(PyObject* list, int32_t idx, PyObject* value) {
    // The test and the store happen with no other code in between: the
    // only object released is the None being replaced.
    PyObject* item = nullptr;
    Py_ssize_t size;
    UMBO_FT_BEGIN_CRITICAL_SECTION(list);
    size = PyList_GET_SIZE(list);
    if (idx >= 0 && idx < size) {
        if (PyList_GET_ITEM(list, idx) == Py_None) (void)PyList_SetItem(list, idx, Py_NewRef(value));
        item = Py_NewRef(PyList_GET_ITEM(list, idx));
    }
    UMBO_FT_END_CRITICAL_SECTION();
    return item ? item : raise_slot_index_error(idx, size);
}

int empty_slots(CacheObject* self, const bool selected[kSlotCount]) {
#ifdef UMBO_WITHOUT_GIL
    // Other threads run beside this one: every selected slot is emptied
    // under one hold of the list's lock, and the values are released once
    // the whole clear is done, so no thread sees it half-way.
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
        PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
    }
    Py_END_CRITICAL_SECTION();
    for (int k = 0; k < count; ++k) Py_DECREF(released[k]);
    if (!past_end) return 0;
    PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
    return -1;
#else
    // Slot by slot in ascending order: releasing a value may run code that
    // replaces the list, so each store reads the instance's list anew.
    for (int32_t i = 0; i < kSlotCount; ++i) {
        if (!selected[i]) continue;
        Ref list = Ref::steal(slot_list_ref(self));
        if (!list || empty_slot(list.get(), i) < 0) return -1;
    }
    return 0;
#endif
}

}  // namespace umbo::cache
