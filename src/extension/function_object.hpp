// A native function that reads, to introspection, like a Python function.
//
// It carries `__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__defaults__`, `__kwdefaults__`, `__annotations__`, `__globals__`, `__dict__`
// and a `__code__` whose argument names and first line are real, so that
// `inspect.signature` and friends treat it as a function.  It binds to
// instances like a Python method (descriptor protocol) and binds its
// arguments with the interpreter's usual rules and messages.
#pragma once

#include <Python.h>

#include "owned_ref.hpp"

namespace quarn {

// What a running call knows of its function: the globals it reads its
// collaborators from, and the line a failure is reported at (an
// implementation moves it forward statement by statement, so the traceback
// entry points at the failing one).
struct Frame {
    PyObject* globals;  // borrowed from the function object
    int first_line;
    int line;
    PyObject* function = nullptr;  // borrowed: names the traceback entries (none for the module body)
    bool reraised = false;         // the leaving exception already carries this frame's entry
    void at(int offset) noexcept { line = first_line + offset; }
    // Adds this frame's entry, at the current line, to the exception being
    // raised: a handler sees it in the traceback it catches, as in Python.
    void add_traceback_entry() const noexcept;
};

// `args` holds exactly one borrowed object per parameter, in order.  A
// failure throws PythonError with the Python exception set (python_error.hpp);
// the function object's call turns it back into the Python error.
using FunctionImpl = OwnedRef (*)(PyObject* const* args, Frame& frame);

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no docstring
    const char* const* params;
    int nparams;
    int first_line;
    FunctionImpl impl;
};

// Readies the type once; returns -1 with an exception set on failure.
int ready_function_type();

// A new function object.  `module_name` is its `__module__` and the prefix of
// its traceback entries; `filename` the code object's file; `defaults` a tuple
// or nullptr; `annotations` a dict (borrowed).
PyObject* make_function(const FunctionDef& def, PyObject* module_name, PyObject* filename, PyObject* globals,
                        PyObject* defaults, PyObject* annotations);

}  // namespace quarn
