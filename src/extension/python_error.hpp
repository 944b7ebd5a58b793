// Errors inside the module: a failed C API call becomes a C++ exception.
//
// `check` tests a C API result and throws `PythonError` only on failure,
// with the interpreter's error indicator left set, so a successful call
// costs one test as before.  The exception unwinds through OwnedRef
// destructors to the module's entry points (a function object's call, the
// module's create and exec steps), which return the Python error to the
// interpreter through `set_error_for_exception`.  No C++ exception ever
// crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "owned_ref.hpp"

// glibc ends a thread (pthread_exit, as the interpreter does at shutdown) by
// unwinding it as an exception with no object, which libstdc++ names; it
// must go on unwinding past any catch-all.  Elsewhere nothing unwinds a
// thread this way, and the stand-in type is never thrown.
#if defined(__GLIBCXX__)
#include <cxxabi.h>
namespace quarn {
using ForcedUnwind = abi::__forced_unwind;
}  // namespace quarn
#else
namespace quarn {
struct ForcedUnwind {};
}  // namespace quarn
#endif

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

// A C API size (PyObject_Size and the like): negative means the call failed.
// Its own overload, so that a length is never narrowed to int on the way.
inline Py_ssize_t check(Py_ssize_t size) {
    if (size < 0) throw PythonError{};
    return size;
}

// A forced unwind carries no exception object: its handler's reference is
// bound to null, which the undefined-behaviour sanitizer reports although
// nothing reads it.
#if defined(__GNUC__) || defined(__clang__)
#define QUARN_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("null")))
#else
#define QUARN_FORCED_UNWIND_HANDLER
#endif

// Called in an entry point's `catch (...)`: sets the Python error the
// exception in flight stands for.  PythonError has it set already, and
// std::bad_alloc is MemoryError.  Nothing else is thrown by design; should
// anything else arrive, it becomes SystemError naming it instead of ending
// the process.  A thread the interpreter is ending (a forced unwind) goes on
// unwinding.
QUARN_FORCED_UNWIND_HANDLER inline void set_error_for_exception() {
    try {
        throw;
    } catch (ForcedUnwind&) {
        throw;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace quarn
