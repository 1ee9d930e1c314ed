# Declarations of umbo_ui.fast.umbocache.umbocache for Cython modules:
#
#     from umbo_ui.fast.umbocache.umbocache cimport Cache
#
# with umbo_ui.fast.umbocache.get_include() on Cython's include path.  The
# extension is written in C++, but its Cache has the record and the method
# table that Cython gives a cdef class: at import Cython checks the type's
# size and reads the table from the type's __pyx_vtable__ capsule, then
# calls the methods below through it.  Their order and signatures are those
# of the table and must not change.
#
# Slot indexes: 0 <= type_idx < len(cache_arr), 0..31 for every Cache built
# by construction.  c_clear, c_clear_selected and c_set report a failure
# only by a pending exception, which the `except *` below makes Cython test
# after each call.

from libc.stdint cimport int32_t


cdef class Cache:
    # The slot list: 32 entries, None in an empty slot; None itself in an
    # instance that Cache.__new__ made without __init__.
    cdef list cache_arr

    cdef void c_clear(self) except *
    cdef void c_clear_selected(self, list blacklist, list whitelist) except *
    cdef object c_get(self, int32_t type_idx)
    cdef void c_set(self, int32_t type_idx, object value) except *
    cdef object c_get_or_set_val(self, int32_t type_idx, object value)
    cdef object c_get_or_exec(self, int32_t type_idx, object func)

    # A ready Cache (32 empty slots), made without calling __init__.
    @staticmethod
    cdef Cache new()
