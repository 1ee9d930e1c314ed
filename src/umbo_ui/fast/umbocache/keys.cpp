// Keys and member names turned into slot indexes, without running Python
// code wherever that provably gives the same answer.
//
// A key's slot index is `key.value` as a 32-bit int, and `cache.NAME` reads
// the member `CacheType[NAME]` after testing `NAME in CacheType.__members__`.
// For an enum member `value` is the enum module's Python-level property, and
// `__members__` and `[NAME]` are Python code of its metaclass: most of the
// cost of a cache operation.  While those are the enum module's own,
// unchanged, the same answers come from plain lookups:
//
//  - `member.value` is the `value` property of enum.Enum, whose getter
//    returns `self._value_`: it is read as the member's own `_value_` when
//    the key's type uses the generic attribute lookup, `value` resolves on
//    it to that very property and `_value_` to nothing, and the property
//    (its type's __get__ and __set__, its fget, that function's code) is as
//    it was at import, and did then what the direct read stands for;
//  - `CacheType.__members__` and `CacheType[NAME]` both read the class's
//    `_member_map_` when its metaclass resolves them to the enum
//    metaclass's own property and method, their code unchanged;
//  - a plain key whose `value` is a __slots__ member is read from the slot.
//
// What a key type's attributes resolve to is kept under the type's version
// tag.  Everything else, and every read that finds nothing,
// takes the generic path, which runs the Python code and so raises whatever
// it raises.
//
// The guards.  "tag": checked when the type's version tag changes, which
// every assignment to the type or a base does; "call": checked at every call;
// "watched": checked once, then trusted until a watcher (3.12+, see
// compat.h) reports a change to the object named, where the host can (the
// middle column says where, and what is checked elsewhere).  Each line is
// exact; what a user changes otherwise takes the generic path.
//
//   what the direct read assumes             checked by                  what a user would have to do
//   key type looks attributes up generically tp_getattro (tag)           a __getattribute__/__getattr__ on it
//   `value` resolves to Enum's property      identity (tag)              a `value` anywhere in the MRO
//   `_value_` is no attribute of the type    resolves to nothing (tag)   a class attribute `_value_`
//   the property is of enum's property type  its type (call: __class__   assign its __class__
//                                              tells no watcher)
//   its fget is the stock getter             watched: the property's     assign fget, replace the property's
//                                              dict (3.13.1+), which is    __dict__, or call __init__ again
//                                              still its own (call); else
//                                              its own `fget` (call)
//   the getter and __get__ run their code    code identity (call: only a assign either's __code__
//                                              function watcher would
//                                              tell, and it would run for
//                                              every function made)
//   property type: __get__, __set__ stock,   identity, tp_getattro,      replace either, add __getattribute__
//     `fget` read from the instance            no `fget` on it: watched,   or __getattr__ or a data `fget` to
//                                              the type and its bases,     it or a base
//                                              with the fget above; else
//                                              tag (3.10: every call)
//   a slot key's `value` is its own member   member type, flags and      replace `value`
//                                              layout (tag)
//   the value is an exact int of 32 bits     exact type, size (call)     an int subclass or __index__ object
//   metaclass: __getattribute__, __members__ identity, mp_subscript,     override any of them in a metaclass
//     and __getitem__ are stock, no           no `_member_map_` on it
//     `_member_map_` of its own               (class and meta tags)
//   __members__'s fget, both functions' code identity (call)             __init__ the property again, assign
//                                                                          __code__
//   enum.MappingProxyType is the builtin     watched: enum's namespace   rebind the global
//                                              (3.12+); else call
//   `_member_map_` is an exact dict          type (class tag); the map   rebind `_member_map_`; its items
//                                              itself is read live         change nothing
//   CacheType and __pyx_unpickle_Cache are   watched: the module's       rebind either (a lookup that may
//     what the namespace binds                 namespace, with the GIL     run code runs at every call)
//                                              (3.12+); else looked up
//   an address and a tag name one state of   the host: from 3.11 no      -- (3.10 reuses tags: nothing is
//     one type (nothing is held)               tag is given twice          kept there, every call checks)
//   what was there at import does what the   the getters' and            patch enum before importing this
//     direct reads stand for                   __getitem__'s code is the   module (honoured: all generic)
//                                              lambda's they stand for;
//                                              __get__ is a function of
//                                              enum's, from its file
//                                              (import)
//
// Where code still runs.  A lookup of a str in a dict runs code where the
// dict holds a key that isn't an exact str (its __eq__).  A single key's
// read looks up the property's `fget`, then the member's `_value_`, the
// steps and the order in which the property's own code does, and decides
// nothing after them but the int check: the same answer.  A watched check
// stands for a lookup only where the dict's lookups run no code (a key of
// another kind is a change it hears of).  Two reads stand for more of
// Python's, and take the generic path where such a dict could run code:
// the member map's one lookup for `in __members__` and `[NAME]`, and the
// values of a list of keys or of the members, read under checks made once
// for all of them while no code runs.  Type dictionaries are the host's:
// its type cache decides whether a lookup in them runs at all.
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "common/stack_guard.h"
#include "umbocache/cache.h"

namespace umbo::cache {

namespace {

// ---- the enum module's own objects, taken at import and held for good

struct StockEnum {
    PyObject* value_property;     // enum.Enum's `value`
    PyTypeObject* property_type;  // enum.property
    unsigned int property_type_tag;
    PyObject* property_get;  // its __get__ and __set__
    PyObject* property_get_code;
    PyObject* property_set;
    PyObject* value_getter;  // the property's fget: `return self._value_`
    PyObject* value_getter_code;
    Py_ssize_t value_dict_offset;  // where the property's attribute dictionary is, if it can be watched; else 0
    PyTypeObject* metaclass;       // enum.EnumType
    PyObject* members_property;    // its __members__ ...
    PyObject* members_getter;      // ... whose fget is `return MappingProxyType(cls._member_map_)`
    PyObject* members_getter_code;
    PyObject* getitem;  // its __getitem__: `return cls._member_map_[name]`
    PyObject* getitem_code;
    PyObject* type_getattribute;  // type.__getattribute__
    Py_ssize_t getter_offset;     // where a builtin property holds its fget
};
StockEnum stock;
bool have_stock = false;

// The checks made once and trusted until a watched object changes: how
// many changes each began after, when it last passed, and the dictionary
// it read (compared as an address only).
enum { kValueProperty, kMemberFunctions };
std::atomic<uint64_t> passed_after[2];
std::atomic<PyObject*> dict_read[2];

bool passed(int check) { return passed_after[check].load() == compat::watched_changes.load(); }

// The type's attribute `name` as a new reference (null: absent).
PyObject* lookup(PyTypeObject* type, PyObject* name) { return compat::type_lookup_ref(type, name); }

bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) {
    return Ref::steal(lookup(type, name)).get() == expected;  // compared as addresses only
}

// Whether the property's type looks attributes up the generic way,
// resolves __get__ and __set__ as it did at import and leaves `fget` to the
// property's own attributes.
bool property_type_as_taken(const StockEnum& s) {
    return s.property_type->tp_getattro == PyObject_GenericGetAttr &&
           resolves_to(s.property_type, names.__get__, s.property_get) &&
           resolves_to(s.property_type, names.__set__, s.property_set) &&
           resolves_to(s.property_type, names.fget, nullptr);
}

// Whether `func` is a function of the module that defines `owner`, compiled
// from that module's own file: what the standard library put there, not a
// patch made before this module was imported.
bool defined_in_module_of(PyObject* func, PyTypeObject* owner) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(owner), "__module__"));
    Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
    if (!module || !func || !PyFunction_Check(func) || PyFunction_GET_GLOBALS(func) != PyModule_GetDict(module.get()))
        return false;
    Ref file = Ref::steal(PyObject_GetAttrString(module.get(), "__file__"));
    Ref code_file = Ref::steal(file ? PyObject_GetAttrString(PyFunction_GET_CODE(func), "co_filename") : nullptr);
    return code_file && PyObject_RichCompareBool(file.get(), code_file.get(), Py_EQ) == 1;
}

// Whether `func` is a function whose code does what the lambda `reference`
// does: the same instructions over the same names, parameters and kind (a
// generator, say).  Where a function is, or what it is called, can be
// imitated; what its code does can't.
bool does_as(PyObject* func, const char* reference) {
    Ref scope = Ref::steal(PyDict_New());
    Ref model = Ref::steal(scope ? PyRun_String(reference, Py_eval_input, scope.get(), scope.get()) : nullptr);
    if (!func || !PyFunction_Check(func) || !model) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(func));
    auto* expected = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(model.get()));
    constexpr int kKind = CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;
    if (code->co_argcount != expected->co_argcount || code->co_kwonlyargcount != expected->co_kwonlyargcount ||
        (code->co_flags ^ expected->co_flags) & kKind)
        return false;
    auto instructions_and_names = [](PyCodeObject* c) {
        PyObject* ops = PyObject_GetAttrString(reinterpret_cast<PyObject*>(c), "co_code");
        return Ref::steal(Py_BuildValue("(NO)", ops, c->co_names));  // (null `ops`: null, no exception set)
    };
    Ref mine = instructions_and_names(code), theirs = instructions_and_names(expected);
    return mine && theirs && PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ) == 1;
}

// Takes the enum module's objects (held for good), if that module is
// loaded and they do what the direct reads stand for; 0, or -1 (an
// exception may be set).
int take_stock(StockEnum* s) {
    Ref module = Ref::steal(PyImport_GetModule(names.enum_));
    Ref base = Ref::steal(module ? PyObject_GetAttr(module.get(), names.Enum) : nullptr);
    if (!base || !PyType_Check(base.get())) return -1;
    s->value_property =
        Py_XNewRef(PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(base.get())->tp_dict, names.value));
    if (!s->value_property) return -1;
    s->property_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(s->value_property)));
    s->property_get = lookup(s->property_type, names.__get__);
    s->property_set = lookup(s->property_type, names.__set__);
    s->value_getter = compat::instance_item(s->value_property, names.fget);
    if (!s->property_get || !s->property_set || !does_as(s->value_getter, "lambda self: self._value_")) return -1;
    s->value_getter_code = Py_NewRef(PyFunction_GET_CODE(s->value_getter));
    s->property_type_tag = compat::assign_version_tag(s->property_type, names.fget);
    s->value_dict_offset = compat::watchable_dict_offset(s->value_property);

    s->metaclass = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(base.get())));
    s->members_property = Py_XNewRef(PyDict_GetItemWithError(s->metaclass->tp_dict, names.__members__));
    if (!s->members_property || !Py_IS_TYPE(s->members_property, &PyProperty_Type)) return -1;
    for (PyMemberDef* def = PyProperty_Type.tp_members; def && def->name; ++def) {
        if (std::strcmp(def->name, "fget") == 0 && def->type == T_OBJECT) s->getter_offset = def->offset;
    }
    s->members_getter = Py_XNewRef(compat::object_field(s->members_property, s->getter_offset));
    s->getitem = Py_XNewRef(PyDict_GetItemWithError(s->metaclass->tp_dict, names.__getitem__));
    s->type_getattribute = lookup(&PyType_Type, names.__getattribute__);
    if (!s->getter_offset || !s->type_getattribute || !property_type_as_taken(*s) ||
        !does_as(s->members_getter, "lambda cls: MappingProxyType(cls._member_map_)") ||
        !does_as(s->getitem, "lambda cls, name: cls._member_map_[name]") ||
        !defined_in_module_of(s->property_get, s->property_type)) {
        return -1;
    }
    s->members_getter_code = Py_NewRef(PyFunction_GET_CODE(s->members_getter));
    s->getitem_code = Py_NewRef(PyFunction_GET_CODE(s->getitem));
    s->property_get_code = Py_NewRef(PyFunction_GET_CODE(s->property_get));
    // Changes to the property's type are heard of, or nothing of the property is watched.
    if (!compat::watch(reinterpret_cast<PyObject*>(s->property_type))) s->value_dict_offset = 0;
    return 0;
}

// Whether `dict[name]` is `expected`, read under the dict's lock once the
// dict is watched: no change goes unheard, and none heard of is read
// before it is made.  The answer stands as check `check`, begun after
// `began` changes, until the next change where a lookup runs no code.
bool entry_is(int check, uint64_t began, PyObject* dict, PyObject* name, PyObject* expected) {
    const bool kept = compat::dict_lookups_run_no_code(dict) && compat::watch(dict);
    PyObject* found = nullptr;
    UMBO_BEGIN_CRITICAL_SECTION(dict);
    if (compat::dict_get_item_ref(dict, name, &found) < 0) PyErr_Clear();
    UMBO_END_CRITICAL_SECTION();
    Py_XDECREF(found);  // compared as an address only
    if (found == expected && kept) {
        dict_read[check].store(dict, std::memory_order_relaxed);
        passed_after[check].store(began, std::memory_order_release);
    }
    return found == expected;
}

// The property's type and fget, checked at every call where no watcher can
// stand for them: when the type's tag changes (every change to it or a
// base does), that it still resolves what property_type_as_taken() reads
// as it did at import, and then its new tag stands for that (given first,
// so that a watcher hears of the next change); then its fget.
UMBO_NOINLINE bool value_property_read(bool no_code) {
    const unsigned int tag = compat::version_tag(stock.property_type);
    if (!tag || tag != stock.property_type_tag) {
        const unsigned int new_tag = compat::assign_version_tag(stock.property_type, names.fget);
        if (!property_type_as_taken(stock)) return false;
        stock.property_type_tag = new_tag;
    }
    return Ref::steal(compat::instance_item(stock.value_property, names.fget, no_code)).get() == stock.value_getter;
}

// The same where the property's dictionary can be watched (3.13.1+): then,
// where its type has a tag and a lookup in the dictionary runs no code,
// the answer stands until a watcher hears of a change (the fget read again
// as entry_is() reads it).
UMBO_NOINLINE bool value_property_checked(bool no_code) {
    const uint64_t began = compat::watched_changes.load(std::memory_order_acquire);
    if (!value_property_read(no_code)) return false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(stock.value_property, nullptr));
    if (!dict) PyErr_Clear();
    if (stock.property_type_tag && dict && compat::dict_lookups_run_no_code(dict.get()))
        return entry_is(kValueProperty, began, dict.get(), names.fget, stock.value_getter);
    return true;
}

// Whether `member.value` still means `member._value_` (see the top);
// `no_code`: false where reading the property's fget could run code.
UMBO_ALWAYS_INLINE bool value_property_unchanged(bool no_code = false) {
    if (!Py_IS_TYPE(stock.value_property, stock.property_type) ||
        PyFunction_GET_CODE(stock.value_getter) != stock.value_getter_code ||
        PyFunction_GET_CODE(stock.property_get) != stock.property_get_code) {
        return false;
    }
    if (!stock.value_dict_offset) return value_property_read(no_code);
    return (passed(kValueProperty) && compat::object_field(stock.value_property, stock.value_dict_offset) ==
                                          dict_read[kValueProperty].load(std::memory_order_relaxed)) ||
           value_property_checked(no_code);
}

// ---- how `value` is read on instances of a type

enum class Route : uint8_t {
    kGeneric,  // by running the lookup
    kEnum,     // the stock enum property over the member's own `_value_`
    kSlot,     // a __slots__ member: the object at `offset`
};

struct TypeRoute {
    Route route = Route::kGeneric;
    Py_ssize_t offset = 0;
};

TypeRoute find_route(PyTypeObject* type) {
    TypeRoute found;
    if (type->tp_getattro != PyObject_GenericGetAttr) return found;
    Ref descr = Ref::steal(lookup(type, names.value));
    if (!descr) return found;
    if (have_stock && descr.get() == stock.value_property) {
        if (resolves_to(type, names._value_, nullptr)) found.route = Route::kEnum;
    } else if (Py_IS_TYPE(descr.get(), &PyMemberDescr_Type)) {
        PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
        if (def->type == T_OBJECT_EX && (def->flags & ~READONLY) == 0 &&
            PyType_IsSubtype(type, PyDescr_TYPE(descr.get()))) {
            found = {Route::kSlot, def->offset};
        }
    }
    return found;
}

// The routes of the last few key types are kept, each valid while its type
// keeps the version tag it had.  Nothing is held: a type's address and a
// valid tag can't come to name another type (compat::version_tag), and a
// user's type must not outlive the interpreter because a key was read.
// Without the GIL each thread keeps its own.
struct KeptRoute {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    TypeRoute route;
};
#ifdef Py_GIL_DISABLED
thread_local
#endif
    KeptRoute kept_routes[4];

KeptRoute& kept_route(PyTypeObject* type) {
    return kept_routes[(reinterpret_cast<uintptr_t>(type) >> 6) % std::size(kept_routes)];
}

UMBO_NOINLINE TypeRoute find_and_keep_route(PyTypeObject* type) {
    const unsigned int tag = compat::assign_version_tag(type, names.value);
    TypeRoute route = find_route(type);
    if (tag && compat::version_tag(type) == tag)
        kept_route(type) = KeptRoute{type, tag, route};  // not modified meanwhile
    return route;
}

inline TypeRoute route_of(PyTypeObject* type) {
    const KeptRoute& kept = kept_route(type);
    const unsigned int tag = compat::version_tag(type);
    return kept.type == type && kept.tag == tag && tag ? kept.route : find_and_keep_route(type);
}

// An exact int in the signed 32-bit range as a slot index (1), else 0: what
// converting any other object means is for the generic path to find out.
int small_index(PyObject* value, int32_t* index) {
    long long small;
    const bool fits = value && PyLong_CheckExact(value) && compat::small_int_value(value, &small) &&
                      small >= INT32_MIN && small <= INT32_MAX;
    if (fits) *index = static_cast<int32_t>(small);
    return fits;
}

// A key's slot index read without running code, once its type's route is
// known: 1 with *index set, else 0 (nothing has run, no exception is set).
// `checked`: for keys read one after another, where the value property,
// once checked, holds for the next key while no code runs; null for a
// single key.  Reading one of several keys runs no code, and clears
// *checked where code must run instead (the caller's generic read).
UMBO_ALWAYS_INLINE int index_by_route(PyObject* key, TypeRoute route, bool* checked, int32_t* index) {
    Ref value;
    if (route.route == Route::kEnum && ((checked && *checked) || value_property_unchanged(checked != nullptr))) {
        if (checked) *checked = true;
        value = Ref::steal(compat::instance_item(key, names._value_, checked != nullptr));
    } else if (route.route == Route::kSlot) {
        value = Ref::steal(compat::read_object_member(key, route.offset));
    }
    const int found = small_index(value.get(), index);
    if (checked && !found) *checked = false;
    return found;
}

// ---- member maps

// MappingProxyType, which the members getter calls, is still the builtin
// one: a global of the getter's module, checked again after each change
// to that module's namespace.
UMBO_NOINLINE bool mapping_proxy_checked() {
    return entry_is(kMemberFunctions, compat::watched_changes.load(std::memory_order_acquire),
                    PyFunction_GET_GLOBALS(stock.members_getter), names.MappingProxyType,
                    reinterpret_cast<PyObject*>(&PyDictProxy_Type));
}

// Whether the metaclass's `__members__` and `__getitem__` still run the code
// they ran at import.  A property's fget is read-only, but calling its
// __init__ again replaces it; and the getter's MappingProxyType is a global.
bool member_functions_unchanged() {
    if (compat::object_field(stock.members_property, stock.getter_offset) != stock.members_getter ||
        PyFunction_GET_CODE(stock.members_getter) != stock.members_getter_code ||
        PyFunction_GET_CODE(stock.getitem) != stock.getitem_code) {
        return false;
    }
    return passed(kMemberFunctions) || mapping_proxy_checked();
}

// The member map of `cls` found the long way, by looking its metaclass's
// attributes up.  A metaclass with __getattr__ (3.11's) still looks
// attributes up the ordinary way first, and these are all found that way.
PyObject* find_member_map(PyTypeObject* cls) {
    PyTypeObject* meta = Py_TYPE(cls);
    if (!meta->tp_as_mapping || meta->tp_as_mapping->mp_subscript != stock.metaclass->tp_as_mapping->mp_subscript ||
        !resolves_to(meta, names.__getattribute__, stock.type_getattribute) ||
        !resolves_to(meta, names.__members__, stock.members_property) ||
        !resolves_to(meta, names.__getitem__, stock.getitem) || !resolves_to(meta, names._member_map_, nullptr)) {
        return nullptr;
    }
    Ref map = Ref::steal(lookup(cls, names._member_map_));
    return map && PyDict_CheckExact(map.get()) ? map.release() : nullptr;
}

#ifdef Py_GIL_DISABLED
PyObject* member_map_of(PyTypeObject* cls) { return find_member_map(cls); }
#else
// With the GIL, the last member map found is kept while the class and its
// metaclass keep their version tags; the map is borrowed, since the class
// holds it for as long as its tag stays (and nothing user-made is held).
struct KeptMap {
    PyTypeObject* cls = nullptr;
    unsigned int cls_tag = 0, meta_tag = 0;
    PyObject* map = nullptr;
} kept_map;

PyObject* member_map_of(PyTypeObject* cls) {
    const unsigned int cls_tag = compat::version_tag(cls), meta_tag = compat::version_tag(Py_TYPE(cls));
    if (kept_map.cls == cls && kept_map.cls_tag == cls_tag && kept_map.meta_tag == meta_tag && cls_tag && meta_tag) {
        return Py_NewRef(kept_map.map);
    }
    PyObject* map = find_member_map(cls);
    if (map) kept_map = KeptMap{cls, compat::version_tag(cls), compat::version_tag(Py_TYPE(cls)), map};
    return map;
}
#endif

}  // namespace

void take_stock_of_enum() {
    compat::start_watching();
    StockEnum s = {};
    have_stock = take_stock(&s) == 0;  // the objects taken stay held either way
    if (have_stock) stock = s;
    PyErr_Clear();  // without the enum module's objects, every read is generic
}

// The generic read of a key's `value`, which may call back into the cache
// (out of line, so that the direct reads stay small).
UMBO_NOINLINE static int32_t key_index_generically(PyObject* key) {
    Ref value = Ref::steal(compat::guarded([key] { return PyObject_GetAttr(key, names.value); }));
    return value ? as_int32(value.get()) : -1;
}

int32_t key_index(PyObject* key, bool* checked) {
    int32_t index;
    return index_by_route(key, route_of(Py_TYPE(key)), checked, &index) ? index : key_index_generically(key);
}

int32_t key_index(PyObject* key) {  // (the above for one key, with what it tests for many folded away)
    int32_t index;
    return index_by_route(key, route_of(Py_TYPE(key)), nullptr, &index) ? index : key_index_generically(key);
}

bool mark_members_directly(PyObject* member_map, bool flags[kSlotCount]) {
    bool marked[kSlotCount] = {};
    bool checked = false, read = true;
    PyTypeObject* type = nullptr;
    TypeRoute route;
    Py_ssize_t pos = 0;
    PyObject *name, *member;
    UMBO_BEGIN_CRITICAL_SECTION(member_map);
    while (read && PyDict_Next(member_map, &pos, &name, &member)) {
        if (Py_TYPE(member) != type) {  // the members of an enum share their type
            type = Py_TYPE(member);
            route = route_of(type);
        }
        int32_t index;
        read = index_by_route(member, route, &checked, &index);
        if (read && index >= 0 && index < kSlotCount) marked[index] = true;
    }
    UMBO_END_CRITICAL_SECTION();
    if (read) std::copy(std::begin(marked), std::end(marked), flags);
    return read;
}

PyObject* stock_member_map(PyObject* cache_type) {
    if (!have_stock || !PyType_Check(cache_type) || !member_functions_unchanged()) return nullptr;
    Ref map = Ref::steal(member_map_of(reinterpret_cast<PyTypeObject*>(cache_type)));
    // One lookup in it stands for the two of Python code: only where neither runs code.
    return map && compat::dict_lookups_run_no_code(map.get()) ? map.release() : nullptr;
}

}  // namespace umbo::cache
