// Keys and member names turned into slot indexes, without running Python
// code wherever that provably gives the same answer.
//
// A key's slot index is `key.value` as a 32-bit int, and `cache.NAME` reads
// the member `CacheType[NAME]` after testing `NAME in CacheType.__members__`.
// For an enum member, `value` is the enum module's Python-level property,
// and `__members__` and `[NAME]` are Python code of its metaclass: most of
// the cost of a cache operation.  While those are the enum module's own,
// unchanged, the same answers come from plain dictionaries:
//
//  - `member.value` is the `value` property of enum.Enum, whose getter
//    returns `self._value_`.  It is read as `_value_` from the member's
//    dictionary when the key's type uses the generic attribute lookup,
//    `value` resolves on it to that very property, `_value_` resolves to
//    nothing on it, and the property, its type and its getter are as they
//    were at import;
//  - `CacheType.__members__` and `CacheType[NAME]` both read the class's
//    `_member_map_` when its metaclass resolves them to the enum
//    metaclass's own property and method, unchanged;
//  - a plain key whose `value` is a __slots__ member is read from the slot.
//
// What a type's attributes resolve to is kept per type under its version
// tag, and a member's slot index under its dictionary's version, so that a
// read that hits costs a few comparisons.  Everything else, and every read
// that finds nothing, takes the generic path, which runs the Python code and
// so raises whatever it raises.
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "common/args.h"
#include "common/compat.h"
#include "common/ref.h"
#include "umbocache/cache.h"
#include "umbocache/constants.h"

namespace umbo::cache {

namespace {

// ---- the enum module's own objects, taken at import and held for good

struct StockEnum {
    PyObject* value_property = nullptr;  // enum.Enum's `value`
    PyTypeObject* property_type = nullptr;
    unsigned int property_type_tag = 0;  // while the tag is this, what follows holds
    PyObject* property_get = nullptr;    // the property's type's __get__, __set__
    PyObject* property_set = nullptr;
    PyObject* value_getter = nullptr;    // `return self._value_`
    PyObject* value_getter_code = nullptr;
    PyTypeObject* metaclass = nullptr;   // enum.EnumType
    PyObject* members_property = nullptr;  // its __members__
    Py_ssize_t property_getter_offset = 0;  // where a property holds its fget
    PyObject* members_getter = nullptr;  // `return MappingProxyType(cls._member_map_)`
    PyObject* members_getter_code = nullptr;
    PyObject* getitem = nullptr;  // its __getitem__: `return cls._member_map_[name]`
    PyObject* getitem_code = nullptr;
    PyObject* type_getattribute = nullptr;  // type.__getattribute__
};
StockEnum stock;
bool have_stock = false;

// The type's attribute `name`, held for good; null if it has none.
PyObject* lookup_held(PyTypeObject* type, PyObject* name) { return compat::type_lookup_ref(type, name); }

// Whether the value property's type resolves __get__ and __set__ as it did
// at import, and leaves the getter to the property's own dictionary.
bool property_type_as_taken(const StockEnum* s) {
    Ref get = Ref::steal(compat::type_lookup_ref(s->property_type, names.__get__));
    Ref set = Ref::steal(compat::type_lookup_ref(s->property_type, names.__set__));
    Ref fget = Ref::steal(compat::type_lookup_ref(s->property_type, names.fget));
    return get.get() == s->property_get && set.get() == s->property_set && !fget;
}

// Takes the enum module's objects, if that module is loaded and they are as
// expected; 0, or -1 with or without an exception set.
int take_stock(StockEnum* s) {
    Ref module = Ref::steal(PyImport_GetModule(names.enum_));
    if (!module) return -1;
    Ref enum_class = Ref::steal(PyObject_GetAttr(module.get(), names.Enum));
    if (!enum_class || !PyType_Check(enum_class.get())) return -1;
    PyTypeObject* base = reinterpret_cast<PyTypeObject*>(enum_class.get());
    s->value_property = PyDict_GetItemWithError(base->tp_dict, names.value);
    if (!s->value_property) return -1;
    s->property_type = Py_TYPE(s->value_property);
    s->property_get = lookup_held(s->property_type, names.__get__);
    s->property_set = lookup_held(s->property_type, names.__set__);
    if (!s->property_get || !s->property_set || !property_type_as_taken(s)) return -1;
    s->property_type_tag = compat::assign_version_tag(s->property_type, names.fget);
    s->value_getter = compat::instance_item(s->value_property, names.fget);  // held for good
    if (!s->property_type_tag || !s->value_getter || !PyFunction_Check(s->value_getter)) return -1;
    s->value_getter_code = PyFunction_GET_CODE(s->value_getter);

    s->metaclass = Py_TYPE(enum_class.get());
    s->members_property = PyDict_GetItemWithError(s->metaclass->tp_dict, names.__members__);
    if (!s->members_property || !Py_IS_TYPE(s->members_property, &PyProperty_Type)) return -1;
    for (PyMemberDef* def = PyProperty_Type.tp_members; def && def->name; ++def) {
        if (std::strcmp(def->name, "fget") == 0 && def->type == T_OBJECT) s->property_getter_offset = def->offset;
    }
    if (!s->property_getter_offset) return -1;
    Ref members_getter = Ref::steal(PyObject_GetAttr(s->members_property, names.fget));
    if (!members_getter || !PyFunction_Check(members_getter.get())) return -1;
    s->members_getter = members_getter.get();
    s->members_getter_code = PyFunction_GET_CODE(s->members_getter);
    s->getitem = PyDict_GetItemWithError(s->metaclass->tp_dict, names.__getitem__);
    if (!s->getitem || !PyFunction_Check(s->getitem)) return -1;
    s->getitem_code = PyFunction_GET_CODE(s->getitem);
    s->type_getattribute = lookup_held(&PyType_Type, names.__getattribute__);
    if (!s->type_getattribute) return -1;
    for (PyObject* held : {s->value_property, s->value_getter_code, s->members_property,
                           s->members_getter, s->members_getter_code, s->getitem, s->getitem_code}) {
        Py_INCREF(held);  // for the life of the process
    }
    Py_INCREF(s->property_type);
    Py_INCREF(s->metaclass);
    return 0;
}

// Whether the type's attribute `name` is `expected` (null: absent).
bool resolves_to(PyTypeObject* type, PyObject* name, PyObject* expected) {
    Ref found = Ref::steal(compat::type_lookup_ref(type, name));
    return found.get() == expected;
}

// `dict[name]` as a new reference, or null with no exception set.  No code
// runs: the dictionaries read here have str keys.
PyObject* dict_item(PyObject* dict, PyObject* name) {
    PyObject* item = nullptr;
    if (compat::dict_get_item_ref(dict, name, &item) < 0) PyErr_Clear();
    return item;
}

// Whether `member.value` still means `member._value_`: the property, its
// type, its dictionary and its getter are those taken at import.
bool value_property_unchanged() {
    if (!Py_IS_TYPE(stock.value_property, stock.property_type) ||
        PyFunction_GET_CODE(stock.value_getter) != stock.value_getter_code) {
        return false;
    }
    if (compat::version_tag(stock.property_type) != stock.property_type_tag) {
        // The property's type was modified: still good if what matters
        // resolves as before (then the new tag stands for it).
        if (!property_type_as_taken(&stock)) return false;
        stock.property_type_tag = compat::assign_version_tag(stock.property_type, names.fget);
    }
    Ref getter = Ref::steal(compat::instance_item(stock.value_property, names.fget));
    return getter.get() == stock.value_getter;
}

// ---- how `value` is read on instances of a type

enum class Route : uint8_t {
    kGeneric,  // by running the lookup
    kEnum,     // the stock enum property over `_value_` in the member's dict
    kSlot,     // a __slots__ member: the object at `offset`
};

struct TypeRoute {
    Route route = Route::kGeneric;
    Py_ssize_t offset = 0;
};

TypeRoute find_route(PyTypeObject* type) {
    TypeRoute found;
    if (type->tp_getattro != PyObject_GenericGetAttr) return found;
    Ref descr = Ref::steal(compat::type_lookup_ref(type, names.value));
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

#ifdef UMBO_KEEP_ROUTES
// With the GIL, the routes of the last few key types are kept, each valid
// while its type keeps the version tag it had; the type is held, so that
// its address can't come to name another type.
struct KeptRoute {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    TypeRoute route;
};
KeptRoute kept_routes[4];

KeptRoute& kept_route(PyTypeObject* type) {
    return kept_routes[(reinterpret_cast<uintptr_t>(type) >> 6) % std::size(kept_routes)];
}

UMBO_NOINLINE TypeRoute find_and_keep_route(PyTypeObject* type) {
    KeptRoute& kept = kept_route(type);
    TypeRoute route = find_route(type);
    const unsigned int tag_now = compat::version_tag(type);  // the lookups may have tagged it
    if (tag_now != 0) {
        PyTypeObject* old = kept.type;
        kept = KeptRoute{reinterpret_cast<PyTypeObject*>(Py_NewRef(type)), tag_now, route};
        Py_XDECREF(old);
    }
    return route;
}

inline TypeRoute route_of(PyTypeObject* type) {
    const KeptRoute& kept = kept_route(type);
    const unsigned int tag = compat::version_tag(type);
    if (kept.type == type && kept.tag == tag && tag != 0) return kept.route;
    return find_and_keep_route(type);
}
#else
// Elsewhere the route is found at each read, by lookups that hold what
// they find.
TypeRoute route_of(PyTypeObject* type) { return find_route(type); }
#endif

// ---- the slot index of an enum member

// An exact int in the signed 32-bit range as a slot index (1), else 0: what
// converting any other object means is for the generic path to find out.
int small_index(PyObject* value, int32_t* index) {
    long long small;
    if (!PyLong_CheckExact(value) || !compat::small_int_value(value, &small) || small < INT32_MIN ||
        small > INT32_MAX) {
        return 0;
    }
    *index = static_cast<int32_t>(small);
    return 1;
}

// A member's index read from its dictionary (1), or 0 where the generic
// read must run.
int read_enum_index(PyObject* member, int32_t* index) {
    if (!value_property_unchanged()) return 0;
    Ref value = Ref::steal(compat::instance_item(member, names._value_));
    return value ? small_index(value.get(), index) : 0;
}

#ifdef UMBO_KEEP_ROUTES
// Whether an instance's dictionary, once it exists, learns of every change
// to the instance's attributes (3.13.0 stores some in the object itself
// without telling the dictionary's watchers): only then may what it holds
// be kept.  Found out at import.
bool keep_indexes = false;

// Whether a change to an instance's attribute reaches its dictionary's mark.
bool instance_dicts_learn_every_change() {
    Ref space = Ref::steal(PyDict_New());
    Ref cls = Ref::steal(space ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe",
                                                       space.get())
                               : nullptr);
    Ref obj = Ref::steal(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
    bool learns = false;
    if (obj && PyObject_SetAttr(obj.get(), names.value, Py_None) == 0) {
        PyObject* dict = compat::instance_dict(obj.get());
        compat::DictMark mark;
        learns = dict && compat::mark_dict(dict, &mark) && PyObject_SetAttr(obj.get(), names.value, Py_True) == 0 &&
                 !compat::dict_unchanged(dict, mark);
    }
    PyErr_Clear();
    return learns;
}

// A member's slot index, kept while its dictionary and the property's stay
// unchanged (its type's route says whether `value` reads them); the member
// and its dictionary are held, so that their addresses can't come to name
// other objects.
struct KeptIndex {
    PyObject* member = nullptr;
    PyObject* dict = nullptr;
    compat::DictMark mark;
    int32_t index = 0;
};
KeptIndex kept_indexes[128];
constexpr size_t kProbes = 4;
PyObject* property_dict = nullptr;  // the property's dictionary, when marked
compat::DictMark property_dict_mark;

size_t kept_start(PyObject* member) {
    return static_cast<size_t>(((reinterpret_cast<uintptr_t>(member) >> 4) * 0x9E3779B97F4A7C15u) >> 57);
}

bool property_unchanged_since_marked() {
    return Py_IS_TYPE(stock.value_property, stock.property_type) &&
           compat::version_tag(stock.property_type) == stock.property_type_tag &&
           property_dict && compat::instance_dict(stock.value_property) == property_dict &&
           compat::dict_unchanged(property_dict, property_dict_mark) &&
           PyFunction_GET_CODE(stock.value_getter) == stock.value_getter_code;
}

// The kept index of an enum member while it holds: a few comparisons.
// `property_checked`: the caller has just made sure of the property.
inline bool kept_index(PyObject* member, int32_t* index, bool property_checked) {
    const size_t start = kept_start(member);
    for (size_t i = 0; i < kProbes; ++i) {
        const KeptIndex& kept = kept_indexes[(start + i) % std::size(kept_indexes)];
        if (kept.member != member) continue;
        if (compat::instance_dict(member) != kept.dict || !compat::dict_unchanged(kept.dict, kept.mark) ||
            !(property_checked || property_unchanged_since_marked())) {
            return false;
        }
        *index = kept.index;
        return true;
    }
    return false;
}

// Keeps a member's index in the member's own place, a free one, or the first.
UMBO_NOINLINE void keep_index(PyObject* member, PyObject* dict, compat::DictMark mark, int32_t index) {
    const size_t start = kept_start(member);
    KeptIndex* place = &kept_indexes[start];
    for (size_t i = kProbes; i-- > 0;) {
        KeptIndex& candidate = kept_indexes[(start + i) % std::size(kept_indexes)];
        if (candidate.member == member || !candidate.member) place = &candidate;
    }
    KeptIndex old = *place;
    *place = KeptIndex{Py_NewRef(member), Py_NewRef(dict), mark, index};
    Py_XDECREF(old.member);
    Py_XDECREF(old.dict);
}

// Whether `member.value` still means `member._value_`; marks the property's
// dictionary, so that kept indexes can tell it unchanged cheaply.
UMBO_NOINLINE bool value_property_checked() {
    if (!keep_indexes) return value_property_unchanged();
    if (property_unchanged_since_marked()) return true;
    if (!value_property_unchanged()) return false;
    PyObject* dict = compat::instance_dict(stock.value_property);
    if (!dict || !compat::mark_dict(dict, &property_dict_mark)) return false;
    Py_XSETREF(property_dict, Py_NewRef(dict));
    return true;
}

// An enum member's index read from its dictionary, and kept: 1 with *index
// set, 0 when the generic read must run.
UMBO_NOINLINE int enum_index(PyObject* member, int32_t* index) {
    if (!keep_indexes) return read_enum_index(member, index);
    PyObject* dict = compat::instance_dict(member);
    compat::DictMark mark;
    if (!dict || !value_property_checked() || !compat::mark_dict(dict, &mark)) return 0;
    Ref value = Ref::steal(dict_item(dict, names._value_));
    if (!value || !small_index(value.get(), index)) return 0;
    keep_index(member, dict, mark, *index);
    return 1;
}
#else
bool value_property_checked() { return value_property_unchanged(); }
int enum_index(PyObject* member, int32_t* index) { return read_enum_index(member, index); }
#endif

// ---- member maps

#ifdef UMBO_KEEP_ROUTES
// The members of the last map asked for, kept while it is unchanged.
struct KeptMembers {
    PyObject* map = nullptr;
    compat::DictMark mark;
    PyObject* members = nullptr;  // a list
} kept_members;

// The map's values as a list (new reference), or null with no exception.
PyObject* member_list(PyObject* map) {
    if (kept_members.map != map || !compat::dict_unchanged(map, kept_members.mark)) {
        compat::DictMark mark;
        Ref values = Ref::steal(PyDict_Values(map));
        if (!values || !compat::mark_dict(map, &mark)) {
            PyErr_Clear();
            return nullptr;
        }
        KeptMembers old = kept_members;
        kept_members = KeptMembers{Py_NewRef(map), mark, values.release()};
        Py_XDECREF(old.map);
        Py_XDECREF(old.members);
    }
    return Py_NewRef(kept_members.members);
}
#else
PyObject* member_list(PyObject* map) {
    PyObject* values = PyDict_Values(map);
    if (!values) PyErr_Clear();
    return values;
}
#endif

// Whether the metaclass's `__members__` and `__getitem__` still run the code
// they ran at import.  A property's fget is read-only, but calling its
// __init__ again replaces it.
bool member_functions_unchanged() {
    return compat::object_field(stock.members_property, stock.property_getter_offset) == stock.members_getter &&
           PyFunction_GET_CODE(stock.members_getter) == stock.members_getter_code &&
           PyFunction_GET_CODE(stock.getitem) == stock.getitem_code;
}

// Whether the name that getter calls is still types.MappingProxyType.
bool mapping_proxy_unchanged() {
    Ref proxy = Ref::steal(dict_item(PyFunction_GET_GLOBALS(stock.members_getter), names.MappingProxyType));
    return proxy.get() == reinterpret_cast<PyObject*>(&PyDictProxy_Type);
}

// The member map of `cache_type` found the long way, by looking its
// metaclass's attributes up.
PyObject* find_member_map(PyObject* cache_type) {
    PyTypeObject* meta = Py_TYPE(cache_type);
    // A metaclass with __getattr__ (3.11's) still looks attributes up the
    // ordinary way first, and these are all found that way.
    if (!resolves_to(meta, names.__getattribute__, stock.type_getattribute) || !meta->tp_as_mapping ||
        meta->tp_as_mapping->mp_subscript != stock.metaclass->tp_as_mapping->mp_subscript ||
        !resolves_to(meta, names.__members__, stock.members_property) ||
        !resolves_to(meta, names.__getitem__, stock.getitem) || !resolves_to(meta, names._member_map_, nullptr) ||
        !member_functions_unchanged() || !mapping_proxy_unchanged()) {
        return nullptr;
    }
    Ref map = Ref::steal(compat::type_lookup_ref(reinterpret_cast<PyTypeObject*>(cache_type), names._member_map_));
    return map && PyDict_CheckExact(map.get()) ? map.release() : nullptr;
}

#ifdef UMBO_KEEP_ROUTES
// The last member map found, kept while the class and its metaclass keep
// their version tags and the enum module's globals are unchanged.
struct KeptMap {
    PyObject* cls = nullptr;
    unsigned int cls_tag = 0;
    unsigned int meta_tag = 0;
    compat::DictMark globals_mark;
    PyObject* map = nullptr;
} kept_map;

PyObject* kept_member_map(PyObject* cache_type) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(cache_type);
    const unsigned int cls_tag = compat::version_tag(cls);
    const unsigned int meta_tag = compat::version_tag(Py_TYPE(cls));
    PyObject* globals = PyFunction_GET_GLOBALS(stock.members_getter);
    if (kept_map.cls == cache_type && kept_map.cls_tag == cls_tag && kept_map.meta_tag == meta_tag && cls_tag &&
        meta_tag && compat::dict_unchanged(globals, kept_map.globals_mark) && member_functions_unchanged()) {
        return Py_NewRef(kept_map.map);
    }
    compat::DictMark globals_mark;
    if (!compat::mark_dict(globals, &globals_mark)) return find_member_map(cache_type);
    Ref map = Ref::steal(find_member_map(cache_type));
    if (map && compat::version_tag(cls) && compat::version_tag(Py_TYPE(cls))) {
        KeptMap old = kept_map;
        kept_map = KeptMap{Py_NewRef(cache_type), compat::version_tag(cls), compat::version_tag(Py_TYPE(cls)),
                           globals_mark, Py_NewRef(map.get())};
        Py_XDECREF(old.cls);
        Py_XDECREF(old.map);
    }
    return map.release();
}
#endif

// key_index_directly() once the route of the key's type is known.
inline int index_by_route(PyObject* key, TypeRoute route, int32_t* index, bool property_checked = false) {
    if (route.route == Route::kEnum) {
#ifdef UMBO_KEEP_ROUTES
        if (keep_indexes && kept_index(key, index, property_checked)) return 1;
#else
        (void)property_checked;
#endif
        return enum_index(key, index);
    }
    if (route.route != Route::kSlot) return 0;
    Ref value = Ref::steal(compat::read_object_member(key, route.offset));
    return value ? small_index(value.get(), index) : 0;
}

}  // namespace

void take_stock_of_enum() {
    StockEnum s;
    have_stock = take_stock(&s) == 0;
    if (have_stock) stock = s;
    PyErr_Clear();  // without the enum module's objects, every read is generic
#ifdef UMBO_KEEP_ROUTES
    keep_indexes = UMBO_DICTS_COST_NOTHING && instance_dicts_learn_every_change();
#endif
}

int key_index_directly(PyObject* key, int32_t* index) { return index_by_route(key, route_of(Py_TYPE(key)), index); }

int32_t key_index(PyObject* key) {
    int32_t index;
    if (key_index_directly(key, &index)) return index;
    Ref value;
    {
        compat::RecursionGuard guard;  // `value` may call back into the cache
        if (!guard) return -1;
        value = Ref::steal(PyObject_GetAttr(key, names.value));
    }
    return value ? as_int32(value.get()) : -1;
}

bool mark_members_directly(PyObject* map, bool flags[kSlotCount]) {
    Ref members = Ref::steal(member_list(map));
    if (!members) return false;
    bool marked[kSlotCount] = {};
    PyTypeObject* type = nullptr;
    TypeRoute route;
    const bool property_checked = value_property_checked();  // no code runs in the loop
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
        PyObject* member = PyList_GET_ITEM(members.get(), i);
        if (Py_TYPE(member) != type) {  // the members of an enum share their type
            type = Py_TYPE(member);
            route = route_of(type);
        }
        int32_t index;
        if (!index_by_route(member, route, &index, property_checked)) return false;
        if (index >= 0 && index < kSlotCount) marked[index] = true;
    }
    std::copy(std::begin(marked), std::end(marked), flags);
    return true;
}

PyObject* stock_member_map(PyObject* cache_type) {
    if (!have_stock || !PyType_Check(cache_type)) return nullptr;
#ifdef UMBO_KEEP_ROUTES
    return kept_member_map(cache_type);
#else
    return find_member_map(cache_type);
#endif
}

}  // namespace umbo::cache
