// Ref: a move-only owning reference to a Python object.
//
// Every function in this module returns null (or -1) with a Python exception
// set on failure; Ref only makes sure that whatever a function took is given
// back on every path.  Create one with Ref::steal (take over a new reference)
// or Ref::borrow (take a new reference to a borrowed one), and hand the
// reference on with release().
#pragma once

#include <Python.h>

#include <utility>

namespace umbo {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Gives up ownership without releasing the reference.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Holds `obj` (a new reference) and releases the previous one afterwards,
    // so that code run by the release never sees a dangling field.
    void reset(PyObject* obj = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace umbo
