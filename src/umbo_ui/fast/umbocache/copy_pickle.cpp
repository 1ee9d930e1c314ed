// Copies and pickles: copy(), __deepcopy__, the reduction (__reduce__ and
// __reduce_cython__), the restore (__setstate__ and __setstate_cython__),
// and the module-level reconstructor __pyx_unpickle_Cache.
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

// The layout checksums a pickle may carry: the one written, then two older ones.
constexpr long long kChecksums[] = {kChecksum, 0xe95c4d5, 0xc883660};

// ---- copies

extern Callable copy_method, deepcopy_method, reduce_method, setstate_method;

// A new plain Cache (never a subclass) with its own copy of the slot list.
// Constructing Cache() would first install a list of 32 None that nobody
// can see before it is replaced, so the copy goes straight from allocation
// to its own list, read from the source in one step.
PyObject* copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (bind_args(copy_method, args, nargs, kwnames, nullptr) < 0) return nullptr;
    Ref fresh = Ref::steal(cache_alloc(&Cache_Type));
    Ref source = Ref::steal(fresh ? slot_list_ref(as_cache(self)) : nullptr);
    PyObject* list = source ? compat::list_copy(source.get()) : nullptr;
    if (!list) {
        add_traceback("Cache.copy");
        return nullptr;
    }
    install_slot_list(as_cache(fresh.get()), list);
    return fresh.release();
}

Callable copy_method = {.name = "copy", .qualname = "Cache.copy", .impl = copy, .locals = {"copy"}};

// copy.deepcopy's hook: whatever `self.copy()` gives; `memo` is not needed,
// as the copy shares its slot values with the source.
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(deepcopy_method, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* result = compat::guarded([self] { return PyObject_CallMethodNoArgs(self, names.copy); });
    if (!result) add_traceback("Cache.__deepcopy__");
    return result;
}

Callable deepcopy_method = {.name = "__deepcopy__",
                            .qualname = "Cache.__deepcopy__",
                            .impl = deepcopy,
                            .params = {"memo"},
                            .binding = Binding::kMethodAnySelf};

// ---- the reduction

// A new tuple of `items` (each taken as a new reference), or null: what
// PyTuple_Pack makes, without walking a variable argument list.
template <typename... Items>
PyObject* tuple_of(Items*... items) {
    PyObject* tuple = PyTuple_New(sizeof...(items));
    Py_ssize_t i = 0;
    if (tuple) (PyTuple_SET_ITEM(tuple, i++, Py_NewRef(items)), ...);
    return tuple;
}

// {name: value} for the __slots__ of a subclass that hold a value, so that
// pickles and copy.copy keep them as they do for Python classes; a new
// reference, or Py_None when there are none (always for a plain Cache).
PyObject* slot_values(PyObject* self) {
    if (Py_IS_TYPE(self, &Cache_Type)) return Py_NewRef(Py_None);
    Ref copyreg = Ref::steal(PyImport_Import(names.copyreg));
    Ref slotnames = Ref::steal(
        copyreg ? PyObject_CallMethodOneArg(copyreg.get(), names._slotnames, reinterpret_cast<PyObject*>(Py_TYPE(self)))
                : nullptr);
    Ref iter = Ref::steal(slotnames ? PyObject_GetIter(slotnames.get()) : nullptr);
    Ref values = Ref::steal(iter ? PyDict_New() : nullptr);
    if (!values) return nullptr;
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        PyObject* value = nullptr;
        const int found = compat::get_optional_attr(self, name.get(), &value);
        Ref held = Ref::steal(value);
        if (found < 0 || (found && PyDict_SetItem(values.get(), name.get(), value) < 0)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyDict_GET_SIZE(values.get()) ? values.release() : Py_NewRef(Py_None);
}

// getattr(self, "__dict__", None): 1 with *result set, 0 when absent, -1.
// On a plain Cache the generic lookup provably finds nothing (its type
// defines no __dict__), so the answer is the member-name fallback's, which
// need not build an AttributeError that nobody sees.
int probe_dict(PyObject* self, PyObject** result) {
    if (!Py_IS_TYPE(self, &Cache_Type)) return compat::get_optional_attr(self, names.__dict__, result);
    *result = cache_member_or_missing(as_cache(self), names.__dict__);
    if (*result) return 1;
    if (!PyErr_Occurred()) return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// The state tuple: (cache_arr,), (cache_arr, __dict__) when the instance
// has a true attribute dictionary, and (cache_arr, __dict__ or None, slot
// values) when a subclass's __slots__ hold values.  *use_setstate tells
// whether it must be applied by __setstate__ (Form A).
PyObject* pickle_state(CacheObject* self, bool* use_setstate) {
    PyObject* op = reinterpret_cast<PyObject*>(self);
    Ref slot_list;
    PyObject* found = nullptr;
    int probe;
    UMBO_BEGIN_CRITICAL_SECTION(self);
    slot_list = Ref::borrow(self->cache_arr);  // held: the probe may replace it
    probe = probe_dict(op, &found);
    UMBO_END_CRITICAL_SECTION();
    Ref dict = Ref::steal(found);
    if (probe < 0) return nullptr;
    int dict_is_true = 0;
    if (dict && dict.get() != Py_None) {
        dict_is_true = dict.get() == Py_True ? 1 : dict.get() == Py_False ? 0 : PyObject_IsTrue(dict.get());
        if (dict_is_true < 0) return nullptr;
    }
    Ref slot_attrs = Ref::steal(slot_values(op));
    if (!slot_attrs) return nullptr;
    *use_setstate = dict_is_true || slot_attrs.get() != Py_None || slot_list.get() != Py_None;
    if (slot_attrs.get() != Py_None) {
        return tuple_of(slot_list.get(), dict_is_true ? dict.get() : Py_None, slot_attrs.get());
    }
    return dict_is_true ? tuple_of(slot_list.get(), dict.get()) : tuple_of(slot_list.get());
}

// Form A: (reconstructor, (class, checksum, None), state)
// Form B: (reconstructor, (class, checksum, state))
PyObject* reduce_cache(CacheObject* self) {
    bool use_setstate = false;
    // The __dict__ probe and truth test may run code.
    Ref state_tuple = Ref::steal(compat::guarded([&] { return pickle_state(self, &use_setstate); }));
    Ref reconstructor = Ref::steal(state_tuple ? lookup_global(names.__pyx_unpickle_Cache) : nullptr);
    if (!reconstructor) return nullptr;
    // Held: code run by a collection inside the packing below may assign
    // the instance's __class__ and drop the last other reference.
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref args = Ref::steal(tuple_of(cls.get(), state.checksum, use_setstate ? Py_None : state_tuple.get()));
    if (!args) return nullptr;
    if (use_setstate) return tuple_of(reconstructor.get(), args.get(), state_tuple.get());
    return tuple_of(reconstructor.get(), args.get());
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (bind_args(reduce_method, args, nargs, kwnames, nullptr) < 0) return nullptr;
    PyObject* result = reduce_cache(as_cache(self));
    if (!result) add_traceback("Cache.__reduce_cython__", kPickleFile);
    return result;
}

Callable reduce_method = {.name = "__reduce_cython__",
                          .qualname = "Cache.__reduce_cython__",
                          .impl = reduce,
                          .file = kPickleFile,
                          .locals = {"state", "_dict", "use_setstate"},
                          .alias = "__reduce__"};

// ---- the restore

// Merges a true `attrs` into the instance's attribute dictionary.
int merge_dict(CacheObject* self, PyObject* attrs) {
    const int truth = PyObject_IsTrue(attrs);
    if (truth <= 0) return truth;
    Ref dict = Ref::steal(PyObject_GenericGetDict(reinterpret_cast<PyObject*>(self), nullptr));
    if (!dict) return -1;
    if (PyDict_CheckExact(dict.get())) return PyDict_Update(dict.get(), attrs);
    Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), names.update, attrs));
    return done ? 0 : -1;
}

// Sets the attributes of a {name: value} dict, the values of __slots__;
// anything else in that place of a state is ignored.
int restore_slot_values(CacheObject* self, PyObject* values) {
    if (!PyDict_CheckExact(values)) return 0;
    Ref keep = Ref::borrow(values);
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(values, &pos, &name, &value)) {
        // Held: setting an attribute may run code that changes the dict.
        Ref held_name = Ref::borrow(name), held_value = Ref::borrow(value);
        if (PyObject_SetAttr(reinterpret_cast<PyObject*>(self), name, value) < 0) return -1;
    }
    return 0;
}

// Applies a state tuple to an instance: member 0 becomes the slot list, a
// true member 1 is merged into the instance's attribute dictionary, and a
// member 2 holds the values of a subclass's __slots__.  The tuple is held
// while its members are installed: merging may run code that drops every
// other reference to it.
int set_state(CacheObject* self, PyObject* state_tuple) {
    Ref keep = Ref::borrow(state_tuple);
    const Py_ssize_t size = PyTuple_GET_SIZE(state_tuple);
    int status = -1;
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError, "empty Cache state: expected (cache_arr,) or (cache_arr, __dict__)");
    } else if (check_value_type(PyTuple_GET_ITEM(state_tuple, 0), &PyList_Type) == 0) {
        install_slot_list(self, Py_NewRef(PyTuple_GET_ITEM(state_tuple, 0)));
        // Truth tests, merges and attribute stores may run code.
        status = size < 2 ? 0 : compat::guarded([&] {
            const int merged = merge_dict(self, PyTuple_GET_ITEM(state_tuple, 1));
            return merged == 0 && size > 2 ? restore_slot_values(self, PyTuple_GET_ITEM(state_tuple, 2)) : merged;
        });
    }
    if (status < 0) add_traceback("__pyx_unpickle_Cache__set_state", kPickleFile);
    return status;
}

PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(setstate_method, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* state_tuple = bound[0];
    if (check_value_type(state_tuple, &PyTuple_Type) < 0 || (state_tuple == Py_None && raise_none_not_allowed() < 0) ||
        set_state(as_cache(self), state_tuple) < 0) {
        add_traceback("Cache.__setstate_cython__", kPickleFile);
        return nullptr;
    }
    Py_RETURN_NONE;
}

Callable setstate_method = {.name = "__setstate_cython__",
                            .qualname = "Cache.__setstate_cython__",
                            .impl = setstate,
                            .params = {"__pyx_state"},
                            .file = kPickleFile,
                            .alias = "__setstate__"};

// ---- the reconstructor

PyObject* unpickle(PyObject* type, long long checksum, PyObject* state_tuple) {
    if (std::find(std::begin(kChecksums), std::end(kChecksums), checksum) == std::end(kChecksums)) {
        Ref pickle = Ref::steal(PyImport_Import(names.pickle));
        Ref error = Ref::steal(pickle ? PyObject_GetAttr(pickle.get(), names.PickleError) : nullptr);
        if (error) {
            PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                         static_cast<unsigned>(checksum & 0xFFFFFFFFu), static_cast<unsigned>(kChecksums[0]),
                         static_cast<unsigned>(kChecksums[1]), static_cast<unsigned>(kChecksums[2]), "cache_arr");
        }
        return nullptr;
    }
    // Cache.__new__(type): a bare instance of `type`, never initialised.  The
    // type is static, so for `type` Cache itself that is the allocation step.
    Ref instance =
        Ref::steal(type == reinterpret_cast<PyObject*>(&Cache_Type)
                       ? cache_alloc(&Cache_Type)
                       : PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&Cache_Type), names.__new__, type));
    if (!instance || (state_tuple != Py_None && set_state(as_cache(instance.get()), state_tuple) < 0)) return nullptr;
    return instance.release();
}

PyObject* pyx_unpickle_Cache(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[3];
    if (bind_args(unpickle_function, args, nargs, kwnames, bound) < 0) return nullptr;
    const long long checksum = as_int64(bound[1]);
    if (checksum == -1 && PyErr_Occurred()) {
        add_traceback("__pyx_unpickle_Cache", kPickleFile);
        return nullptr;
    }
    if (check_exact_type("__pyx_state", bound[2], &PyTuple_Type) < 0) return nullptr;
    PyObject* result = unpickle(bound[0], checksum, bound[2]);
    if (!result) add_traceback("__pyx_unpickle_Cache", kPickleFile);
    return result;
}

}  // namespace

Callable* const copy_pickle_methods[] = {&copy_method, &deepcopy_method, &reduce_method, &setstate_method, nullptr};

// Picklers and copy.copy look an object's exact type up in copyreg's
// dispatch table before they ask the object for __reduce_ex__.  The base
// object's __reduce_ex__ ends in the type's __reduce__ for every protocol,
// so with that __reduce__ in the table a plain Cache, and a function object
// of the module (the reconstructor among them), give the same answer
// without the lookups and the call in between.  A subclass, which may
// define its own __reduce_ex__, is no key there.  Where the table can't
// take them (an Exception), pickling takes the longer way to the same bytes.
int register_reductions() {
    Ref copyreg = Ref::steal(PyImport_Import(names.copyreg));
    Ref table = Ref::steal(copyreg ? PyObject_GetAttr(copyreg.get(), names.dispatch_table) : nullptr);
    for (PyTypeObject* type : {&Cache_Type, function_type()}) {
        PyObject* reduce = table ? PyDict_GetItemWithError(type->tp_dict, names.__reduce__) : nullptr;
        if (reduce && PyObject_SetItem(table.get(), reinterpret_cast<PyObject*>(type), reduce) == 0) continue;
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
    }
    return 0;
}

Callable unpickle_function = {.name = "__pyx_unpickle_Cache",
                              .qualname = "__pyx_unpickle_Cache",
                              .impl = pyx_unpickle_Cache,
                              .params = {"__pyx_type", "__pyx_checksum", "__pyx_state"},
                              .binding = Binding::kFunction,
                              .file = kPickleFile,
                              .locals = {"__pyx_result"}};

}  // namespace umbo::cache
