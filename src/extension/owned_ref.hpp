// Owning handle for a Python object reference.
//
// Ownership is said at construction: `OwnedRef::steal` takes over a new
// reference (what most C API calls return), `OwnedRef::borrow` adds one to a
// borrowed pointer.  Copy increfs, move transfers, destruction decrefs, so no
// error path can leak or double-free a reference.
//
// One exception to "destruction decrefs": a thread that takes the GIL back
// while the interpreter is finalizing is ended there (pthread_exit), and the
// forced unwind runs the destructors of every frame above it without the GIL.
// That happens inside the module's own `run_without_gil`, and inside any
// library it calls that lets the GIL go (OpenCV, Pillow, numpy, ONNX
// Runtime).  The references are then left to the dying interpreter.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn {

// True on a thread from the moment it lets go of the GIL until it holds it
// again; still true only while such a thread is being unwound.
inline thread_local bool t_gil_released = false;

// Whether this thread may touch reference counts: it holds the GIL.  The
// interpreter's current thread state is the GIL holder's; PyGILState_Check
// cannot be used, as it answers yes once finalization has deleted its key.
inline bool may_touch_refcounts() noexcept {
    if (t_gil_released) return false;
    const PyThreadState* holder = _PyThreadState_UncheckedGet();
    return holder && holder->thread_id == PyThread_get_thread_ident();
}

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
    ~OwnedRef() {
        if (obj_ && may_touch_refcounts()) Py_DECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Py_BEGIN/END_ALLOW_THREADS around `work`, which must not throw.  Taking
// the GIL back may end the thread by a forced unwind (see above).
template <typename Work>
void run_without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    t_gil_released = true;
    work();
    PyEval_RestoreThread(state);
    t_gil_released = false;
}

}  // namespace quarn
