/* The header as a C11 translation unit sees it: the seventh entry is
 * spelled `new` here and sits where C++ code finds `new_`. */
#include <stddef.h>

#include "umbocache.h"

_Static_assert(offsetof(UmboCacheObject, __pyx_vtab) == sizeof(PyObject),
               "the table pointer follows the object header");
_Static_assert(offsetof(CacheNativeMethods, new) == 6 * sizeof(void (*)(void)),
               "new is the seventh entry");

PyObject *make_cache(void)
{
    PyTypeObject *type;
    CacheNativeMethods *table;
    if (UmboCache_Import(&type, &table) < 0) return NULL;
    Py_DECREF(type);
    return table->new();
}
