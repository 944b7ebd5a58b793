// Owning handle for a Python object reference.
//
// Ownership is said at construction: `OwnedRef::steal` takes over a new
// reference (what most C API calls return), `OwnedRef::borrow` adds one to a
// borrowed pointer.  Copy increfs, move transfers, destruction decrefs, so no
// error path can leak or double-free a reference.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
    static OwnedRef borrow(PyObject* obj) noexcept { return OwnedRef(Py_XNewRef(obj)); }

    OwnedRef(const OwnedRef& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    OwnedRef& operator=(OwnedRef other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace quarn
