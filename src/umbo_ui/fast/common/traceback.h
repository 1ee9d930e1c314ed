// Traceback entries for failures raised in native code.
//
// A native function that fails adds an entry naming itself, so that a
// Python traceback shows which operation of the module failed.
#pragma once

#include <Python.h>

namespace umbo {

// The source files the entries name.
inline constexpr const char* kModuleFile = "src/umbo_ui/fast/umbocache/umbocache";
inline constexpr const char* kPickleFile = "(tree fragment)";

// Adds an entry for `qualname` (under the module's name) in `filename` to
// the traceback of the pending exception.  Keeps the pending exception as
// it is if the entry itself can't be made.
void add_traceback(const char* qualname, const char* filename = kModuleFile);

// The same for an entry whose name is given whole ("init <module>").
void add_traceback_named(const char* funcname, const char* filename = kModuleFile);

// Sets the globals that entries' frames see (the module's dictionary).
void set_traceback_globals(PyObject* globals);

}  // namespace umbo
