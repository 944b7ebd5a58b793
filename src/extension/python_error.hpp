// Errors inside the module: a failed C API call becomes a C++ exception.
//
// `check` tests a C API result and throws `PythonError` only on failure,
// with the interpreter's error indicator left set, so a successful call
// costs one test as before.  The exception unwinds through OwnedRef
// destructors to the module's entry points (a function object's call, the
// module's create and exec steps), which return the Python error to the
// interpreter.  No C++ exception ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include "owned_ref.hpp"

namespace quarn {

// A Python exception is set; the nearest entry point reports it.
struct PythonError {};

// Takes over a new reference; a null one means the call failed.
inline OwnedRef check(PyObject* new_reference) {
    if (!new_reference) throw PythonError{};
    return OwnedRef::steal(new_reference);
}

// A C API status or truth value: negative means the call failed.
inline int check(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

}  // namespace quarn
