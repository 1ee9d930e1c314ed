// Copies and pickles: copy(), __deepcopy__, the reduction (__reduce__ /
// __reduce_cython__), the restore (__setstate__ / __setstate_cython__), the
// module-level reconstructor __pyx_unpickle_Cache, and the start-up step
// that publishes the pickling methods under the protocol's names.
#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/traceback.h"
#include "umbocache/cache.h"
#include "umbocache/constants.h"

namespace umbo::cache {

namespace {

constexpr long long kChecksum = 0xbd51cb4;
constexpr long long kOldChecksums[] = {0xe95c4d5, 0xc883660};

// ---- copies

// A new list holding the entries of `source`, each with a new reference.
// The one allocation that may run the collector (and so finalisers that
// resize `source`) comes before the length is read; free-threaded hosts
// copy under one hold of the source's lock.
PyObject* duplicate_list(PyObject* source) { return PySequence_List(source); }

// A new plain Cache (never a subclass) holding its own copy of the slot
// list.  Constructing Cache() would first install a list of 32 None that
// nobody can see before it is replaced, so the copy goes straight from
// allocation to its own list.
PyObject* copy_cache(CacheObject* self) {
    Ref fresh = Ref::steal(cache_alloc(&Cache_Type));
    if (!fresh) return nullptr;
    Ref source = Ref::steal(slot_list_ref(self));
    if (!source) return nullptr;
    PyObject* list = duplicate_list(source.get());
    if (!list) return nullptr;
    install_slot_list(as_cache(fresh.get()), list);
    return fresh.release();
}

const Params kDeepcopyParams = {"__deepcopy__", "Cache.__deepcopy__", kModuleFile, 1, 1, {&names.memo}};

}  // namespace

PyObject* Cache_copy(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_no_args("copy", nargs, kwnames) < 0) return nullptr;
    PyObject* result = copy_cache(as_cache(self));
    if (!result) add_traceback("Cache.copy");
    return result;
}

PyObject* Cache___deepcopy__(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(kDeepcopyParams, args, nargs, kwnames, bound) < 0) return nullptr;
    // `memo` is not needed: the copy shares its slot values with the source.
    PyObject* result = nullptr;
    if (compat::RecursionGuard guard; guard) result = PyObject_CallMethodNoArgs(self, names.copy);
    if (!result) add_traceback("Cache.__deepcopy__");
    return result;
}

// ---- the reduction

namespace {

// {name: value} for the __slots__ of a subclass that hold a value, so that
// pickles and copy.copy keep them as they do for Python classes; a new
// reference, or Py_None when there are none (always for a plain Cache).
PyObject* slot_values(PyObject* self) {
    if (Py_IS_TYPE(self, &Cache_Type)) return Py_NewRef(Py_None);
    Ref copyreg = Ref::steal(PyImport_Import(names.copyreg));
    if (!copyreg) return nullptr;
    Ref slotnames = Ref::steal(
        PyObject_CallMethodOneArg(copyreg.get(), names._slotnames, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!slotnames) return nullptr;
    Ref iter = Ref::steal(PyObject_GetIter(slotnames.get()));
    if (!iter) return nullptr;
    Ref values = Ref::steal(PyDict_New());
    if (!values) return nullptr;
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        PyObject* value = nullptr;
        int found = compat::get_optional_attr(self, name.get(), &value);
        if (found < 0) return nullptr;
        Ref held = Ref::steal(value);
        if (found && PyDict_SetItem(values.get(), name.get(), value) < 0) return nullptr;
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
    Ref dict;
    int probe = 0;
    UMBO_BEGIN_CRITICAL_SECTION(self);
    slot_list = Ref::borrow(self->cache_arr);  // held: the probe may replace it
    PyObject* found = nullptr;
    probe = probe_dict(op, &found);
    dict = Ref::steal(found);
    UMBO_END_CRITICAL_SECTION();
    if (probe < 0) return nullptr;

    int dict_is_true = 0;
    if (dict && dict.get() != Py_None) {
        dict_is_true = dict.get() == Py_True ? 1 : dict.get() == Py_False ? 0 : PyObject_IsTrue(dict.get());
        if (dict_is_true < 0) return nullptr;
    }
    Ref slot_attrs = Ref::steal(slot_values(op));
    if (!slot_attrs) return nullptr;
    *use_setstate = dict_is_true || slot_attrs.get() != Py_None || self->cache_arr != Py_None;
    if (slot_attrs.get() != Py_None) {
        return PyTuple_Pack(3, slot_list.get(), dict_is_true ? dict.get() : Py_None, slot_attrs.get());
    }
    return dict_is_true ? PyTuple_Pack(2, slot_list.get(), dict.get()) : PyTuple_Pack(1, slot_list.get());
}

// Form A: (reconstructor, (class, checksum, None), state)
// Form B: (reconstructor, (class, checksum, state))
PyObject* reduce_cache(CacheObject* self) {
    bool use_setstate = false;
    Ref state_tuple;
    {
        compat::RecursionGuard guard;  // the __dict__ probe and truth test may run code
        if (!guard) return nullptr;
        state_tuple = Ref::steal(pickle_state(self, &use_setstate));
    }
    if (!state_tuple) return nullptr;
    Ref reconstructor = Ref::steal(lookup_global(names.__pyx_unpickle_Cache));
    if (!reconstructor) return nullptr;
    // Held: code run by a collection inside the packing below may assign
    // the instance's __class__ and drop the last other reference.
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref args = Ref::steal(PyTuple_Pack(3, cls.get(), state.checksum, use_setstate ? Py_None : state_tuple.get()));
    if (!args) return nullptr;
    if (use_setstate) return PyTuple_Pack(3, reconstructor.get(), args.get(), state_tuple.get());
    return PyTuple_Pack(2, reconstructor.get(), args.get());
}

// Merges a true `attrs` into the instance's attribute dictionary.
int merge_dict(CacheObject* self, PyObject* attrs) {
    int truth = PyObject_IsTrue(attrs);
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
// member 2 holds the values of a subclass's __slots__.
int set_state(CacheObject* self, PyObject* state_tuple) {
    if (PyTuple_GET_SIZE(state_tuple) == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "empty Cache state: expected (cache_arr,) or (cache_arr, __dict__)");
        return -1;
    }
    PyObject* slots = PyTuple_GET_ITEM(state_tuple, 0);
    if (check_value_type(slots, &PyList_Type) < 0) return -1;
    install_slot_list(self, Py_NewRef(slots));
    if (PyTuple_GET_SIZE(state_tuple) < 2) return 0;
    compat::RecursionGuard guard;  // truth tests and merges may run code
    if (!guard) return -1;
    if (merge_dict(self, PyTuple_GET_ITEM(state_tuple, 1)) < 0) return -1;
    return PyTuple_GET_SIZE(state_tuple) > 2 ? restore_slot_values(self, PyTuple_GET_ITEM(state_tuple, 2)) : 0;
}

int set_state_with_traceback(CacheObject* self, PyObject* state_tuple) {
    // Holds the state while its members are installed: merging the
    // dictionary may run code that drops every other reference to it.
    Ref keep = Ref::borrow(state_tuple);
    if (set_state(self, state_tuple) == 0) return 0;
    add_traceback("__pyx_unpickle_Cache__set_state", kPickleFile);
    return -1;
}

const Params kSetstateParams = {
    "__setstate_cython__", "Cache.__setstate_cython__", kPickleFile, 1, 1, {&names.__pyx_state}};
const Params kUnpickleParams = {"__pyx_unpickle_Cache", "__pyx_unpickle_Cache", kPickleFile, 3, 3,
                                {&names.__pyx_type, &names.__pyx_checksum, &names.__pyx_state}};

bool is_known_checksum(long long checksum) {
    if (checksum == kChecksum) return true;
    for (long long old : kOldChecksums) {
        if (checksum == old) return true;
    }
    return false;
}

void raise_incompatible_checksum(long long checksum) {
    Ref pickle = Ref::steal(PyImport_Import(names.pickle));
    if (!pickle) return;
    Ref error = Ref::steal(PyObject_GetAttr(pickle.get(), names.PickleError));
    if (!error) return;
    PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                 static_cast<unsigned>(checksum & 0xFFFFFFFFu), static_cast<unsigned>(kChecksum),
                 static_cast<unsigned>(kOldChecksums[0]), static_cast<unsigned>(kOldChecksums[1]), "cache_arr");
}

PyObject* unpickle(PyObject* type, long long checksum, PyObject* state_tuple) {
    if (!is_known_checksum(checksum)) {
        raise_incompatible_checksum(checksum);
        return nullptr;
    }
    // Cache.__new__(type): a bare instance of `type`, never initialised.  The
    // type is static, so for `type` Cache itself that is the allocation step.
    Ref instance = Ref::steal(
        type == reinterpret_cast<PyObject*>(&Cache_Type)
            ? cache_alloc(&Cache_Type)
            : PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&Cache_Type), names.__new__, type));
    if (!instance) return nullptr;
    if (state_tuple != Py_None && set_state_with_traceback(as_cache(instance.get()), state_tuple) < 0) {
        return nullptr;
    }
    return instance.release();
}

}  // namespace

PyObject* Cache___reduce_cython__(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    if (expect_no_args("__reduce_cython__", nargs, kwnames) < 0) return nullptr;
    PyObject* result = reduce_cache(as_cache(self));
    if (!result) add_traceback("Cache.__reduce_cython__", kPickleFile);
    return result;
}

PyObject* Cache___setstate_cython__(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(kSetstateParams, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* state_tuple = bound[0];
    int ok = check_value_type(state_tuple, &PyTuple_Type) == 0 &&
             (state_tuple != Py_None || raise_none_not_allowed() == 0) &&
             set_state_with_traceback(as_cache(self), state_tuple) == 0;
    if (!ok) {
        add_traceback("Cache.__setstate_cython__", kPickleFile);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* pyx_unpickle_Cache(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[3];
    if (bind_args(kUnpickleParams, args, nargs, kwnames, bound) < 0) return nullptr;
    long long checksum = as_int64(bound[1]);
    if (checksum == -1 && PyErr_Occurred()) {
        add_traceback("__pyx_unpickle_Cache", kPickleFile);
        return nullptr;
    }
    if (check_exact_type("__pyx_state", bound[2], &PyTuple_Type) < 0) return nullptr;
    PyObject* result = unpickle(bound[0], checksum, bound[2]);
    if (!result) add_traceback("__pyx_unpickle_Cache", kPickleFile);
    return result;
}

// ---- publishing the pickling methods under the protocol's names

namespace {

// 1 if `obj.__name__` equals `expected`; an Exception-derived error while
// reading or comparing counts as "different"; -1 on any other failure.
int name_is(PyObject* obj, PyObject* expected) {
    PyObject* name = nullptr;
    int found = compat::get_optional_attr(obj, names.__name__, &name);
    if (found < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!found) return -1;  // missing without an error
    Ref held = Ref::steal(name);
    int eq = PyObject_RichCompareBool(name, expected, Py_EQ);
    if (eq < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
    return eq;
}

// Moves type_dict[from] to type_dict[to]; 1 if moved, 0 if absent, -1.
int rename_in_type_dict(PyObject* type, PyObject* from, PyObject* to) {
    Ref method = Ref::steal(PyObject_GetAttr(type, from));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
    if (PyDict_SetItem(dict, to, method.get()) < 0 || PyDict_DelItem(dict, from) < 0) return -1;
    return 1;
}

int install_pickling(PyObject* type) {
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);

    // A type that defines its own __getstate__ or __reduce_ex__ keeps them.
    Ref getstate = Ref::steal(PyObject_GetAttr(type, names.__getstate__));
    if (!getstate) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    } else {
        Ref object_getstate = Ref::steal(PyObject_GetAttr(object_type, names.__getstate__));
        if (!object_getstate) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
        }
        if (getstate.get() != object_getstate.get()) return 0;
    }
    Ref object_reduce_ex = Ref::steal(PyObject_GetAttr(object_type, names.__reduce_ex__));
    if (!object_reduce_ex) return -1;
    Ref reduce_ex = Ref::steal(PyObject_GetAttr(type, names.__reduce_ex__));
    if (!reduce_ex) return -1;
    if (reduce_ex.get() != object_reduce_ex.get()) return 0;

    Ref object_reduce = Ref::steal(PyObject_GetAttr(object_type, names.__reduce__));
    if (!object_reduce) return -1;
    Ref reduce = Ref::steal(PyObject_GetAttr(type, names.__reduce__));
    if (!reduce) return -1;
    if (reduce.get() != object_reduce.get()) {
        int named = name_is(reduce.get(), names.__reduce_cython__);
        if (named <= 0) return named;
    }
    int moved = rename_in_type_dict(type, names.__reduce_cython__, names.__reduce__);
    if (moved < 0) return -1;
    if (moved == 0 && (reduce.get() == object_reduce.get() || PyErr_Occurred())) return -1;

    Ref setstate = Ref::steal(PyObject_GetAttr(type, names.__setstate__));
    if (!setstate) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
    }
    int setstate_ours = 1;
    if (setstate) {
        setstate_ours = name_is(setstate.get(), names.__setstate_cython__);
        if (setstate_ours < 0) return -1;
    }
    if (setstate_ours) {
        moved = rename_in_type_dict(type, names.__setstate_cython__, names.__setstate__);
        if (moved < 0) return -1;
        if (moved == 0 && (!setstate || PyErr_Occurred())) return -1;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

}  // namespace

int setup_pickling() {
    PyObject* type = reinterpret_cast<PyObject*>(&Cache_Type);
    if (install_pickling(type) == 0) return 0;
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", Cache_Type.tp_name);
    }
    return -1;
}

}  // namespace umbo::cache
