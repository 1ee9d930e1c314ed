// Traceback entries for failures raised in native code.
//
// A native function that fails adds an entry naming itself, so that a
// Python traceback shows which operation of the module failed.  Each module
// says once, at import, what its entries name.
#pragma once

#include <Python.h>

namespace umbo {

// The module's dotted name, the source file its entries name by default,
// and the globals their frames see (borrowed: the module's dictionary).
void traceback_setup(const char* module_name, const char* default_file, PyObject* globals);

// `file`, or the module's default where it is null.
const char* entry_file(const char* file);

// Adds an entry for `qualname` under the module's name ("<module>.Cache.get")
// to the traceback of the pending exception.  Keeps the pending exception
// as it is if the entry itself can't be made.
void add_traceback(const char* qualname, const char* file = nullptr);

// The same for an entry whose name is given whole ("init <module>").
void add_traceback_named(const char* funcname, const char* file = nullptr);

}  // namespace umbo
