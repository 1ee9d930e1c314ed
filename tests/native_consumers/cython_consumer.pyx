# cython: language_level=3, freethreading_compatible=True
# A Cython module that reaches Cache only through the package's .pxd files:
# each function calls one native method, as Cython code calls the methods of
# any cdef class.
from libc.stdint cimport int32_t

from umbo_ui.fast.umbocache.umbocache cimport Cache


def clear(Cache cache not None):
    cache.c_clear()


def clear_selected(Cache cache not None, list blacklist, list whitelist):
    cache.c_clear_selected(blacklist, whitelist)


def get(Cache cache not None, int32_t idx):
    return cache.c_get(idx)


def set(Cache cache not None, int32_t idx, value):
    cache.c_set(idx, value)


def get_or_set_val(Cache cache not None, int32_t idx, value):
    return cache.c_get_or_set_val(idx, value)


def get_or_exec(Cache cache not None, int32_t idx, func):
    return cache.c_get_or_exec(idx, func)


def new():
    return Cache.new()


def slot_list(Cache cache not None):
    return cache.cache_arr
