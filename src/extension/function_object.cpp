#include "function_object.hpp"

#include <structmember.h>

#include "owned_ref.hpp"
#include "python_error.hpp"

namespace quarn {
namespace {

constexpr int kMaxParams = 8;

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionImpl impl;
    int nparams;
    int first_line;
    PyObject* params;  // tuple of interned str
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple or None
    PyObject* annotations;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* trace_name;  // "<module>.<qualname>" for traceback entries
    PyObject* kwdefaults;  // dict or None; stored only, as no parameter is keyword-only
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

const char* name_of(FunctionObject* f) {
    const char* s = PyUnicode_Check(f->name) ? PyUnicode_AsUTF8(f->name) : nullptr;
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    return s;
}

// "takes exactly/at least/at most N positional argument(s) (M given)".
void raise_arg_count(FunctionObject* f, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const char* how;
    Py_ssize_t bound;
    if (min == max) {
        how = "exactly";
        bound = min;
    } else if (given < min) {
        how = "at least";
        bound = min;
    } else {
        how = "at most";
        bound = max;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_of(f), how, bound,
                 bound == 1 ? "" : "s", given);
}

int find_param(FunctionObject* f, PyObject* key) {
    for (int i = 0; i < f->nparams; ++i) {
        if (PyTuple_GET_ITEM(f->params, i) == key) return i;
    }
    for (int i = 0; i < f->nparams; ++i) {
        int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->params, i), key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// A function without parameters refuses any argument, positional first.
bool check_no_arguments(FunctionObject* f, Py_ssize_t nargs, Py_ssize_t nkw) {
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name_of(f), "takes no arguments", nargs);
        return false;
    }
    if (nkw > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", name_of(f), "takes no keyword arguments");
        return false;
    }
    return true;
}

// Where the defaults start. They line up with the last parameters; surplus
// leading ones (`__defaults__` may be rebound to any tuple) are never used.
struct DefaultsLayout {
    Py_ssize_t first_default;  // parameter index of defaults[0]; negative when there are surplus defaults
    Py_ssize_t required;       // parameters without a default
};

DefaultsLayout defaults_layout(FunctionObject* f) {
    const Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t first_default = f->nparams - ndefaults;
    return {first_default, first_default > 0 ? first_default : 0};
}

// Binds the keyword arguments `values` (named by `kwnames`) after the
// positional ones, raising as the interpreter does at the first bad keyword.
bool bind_keywords(FunctionObject* f, PyObject* kwnames, PyObject* const* values, PyObject** bound) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", name_of(f));
            return false;
        }
        int i = find_param(f, key);
        if (i == -2) return false;
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_of(f), key);
            return false;
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_of(f), key);
            return false;
        }
        bound[i] = values[k];
    }
    return true;
}

// Fills the parameters no argument named from the defaults; a missing
// required one is reported as a positional count, as the interpreter does.
bool bind_defaults(FunctionObject* f, const DefaultsLayout& at, Py_ssize_t nargs, PyObject** bound) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (bound[i]) continue;
        if (i < at.required) {
            raise_arg_count(f, at.required, f->nparams, nargs);
            return false;
        }
        bound[i] = PyTuple_GET_ITEM(f->defaults, i - at.first_default);
    }
    return true;
}

// Fills `bound` (borrowed references) from the call's arguments, checking in
// the interpreter's order: positional count, then keywords, then missing ones.
bool bind_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    if (f->nparams == 0) return check_no_arguments(f, nargs, kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    const DefaultsLayout at = defaults_layout(f);
    if (nargs > f->nparams) {
        raise_arg_count(f, at.required, f->nparams, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    return bind_keywords(f, kwnames, args + nargs, bound) && bind_defaults(f, at, nargs, bound);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* bound[kMaxParams] = {};
    if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    // The call may replace the defaults or globals it runs on; keep them alive.
    OwnedRef defaults = OwnedRef::borrow(f->defaults);
    OwnedRef globals = OwnedRef::borrow(f->globals);
    Frame frame{globals.get(), f->first_line, f->first_line, self};
    // Where a call's C++ errors become Python errors again.
    try {
        OwnedRef result = f->impl(bound, frame);
        if (result) return result.release();
    } catch (...) {
        set_error_for_exception();
    }
    if (!frame.reraised) frame.add_traceback_entry();
    return nullptr;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->trace_name);
    Py_VISIT(f->kwdefaults);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->trace_name);
    Py_CLEAR(f->kwdefaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_kwdefaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->kwdefaults); }

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->kwdefaults, Py_NewRef(value));
    return 0;
}

// Pickled, copied and deep-copied by reference, as the interpreter does with
// functions: pickle finds it again under its module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_SETREF(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}

int set_str_attr(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_attr(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_attr(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Static type: the slots are filled in ready_function_type(); the remaining
// fields start zeroed, which is what the interpreter expects.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "quarn.inspection.detect.dfine_runner.function",
};
#pragma GCC diagnostic pop

// The code object carries the argument names and first line; it is never run.
OwnedRef make_code(const FunctionDef& def, PyObject* filename, PyObject* params) {
    const char* file = PyUnicode_AsUTF8(filename);
    if (!file) return {};
    OwnedRef empty = OwnedRef::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, def.name, def.first_line)));
    if (!empty) return {};
    OwnedRef replace = OwnedRef::steal(PyObject_GetAttrString(empty.get(), "replace"));
    OwnedRef kwargs = OwnedRef::steal(Py_BuildValue("{s:i,s:i,s:O,s:s,s:i}", "co_argcount", def.nparams, "co_nlocals",
                                                    def.nparams, "co_varnames", params, "co_qualname", def.qualname,
                                                    "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    OwnedRef noargs = OwnedRef::steal(PyTuple_New(0));
    if (!replace || !kwargs || !noargs) return {};
    return OwnedRef::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

// The parameter names as interned strings, so that a keyword argument is
// usually found by identity.
OwnedRef make_param_names(const FunctionDef& def) {
    OwnedRef params = OwnedRef::steal(PyTuple_New(def.nparams));
    if (!params) return {};
    for (int i = 0; i < def.nparams; ++i) {
        PyObject* s = PyUnicode_InternFromString(def.params[i]);
        if (!s) return {};
        PyTuple_SET_ITEM(params.get(), i, s);
    }
    return params;
}

// The attributes a function owns from its definition, all made before the
// object itself so that a failure leaves no half-filled object behind.
struct OwnedAttributes {
    OwnedRef params, code, name, qualname, doc, trace_name;
};

bool make_attributes(const FunctionDef& def, PyObject* module_name, PyObject* filename, OwnedAttributes& a) {
    // Each step stops at the first failure: no C API call is made with an exception set.
    return (a.params = make_param_names(def)) && (a.code = make_code(def, filename, a.params.get())) &&
           (a.name = OwnedRef::steal(PyUnicode_InternFromString(def.name))) &&
           (a.qualname = OwnedRef::steal(PyUnicode_FromString(def.qualname))) &&
           (a.doc = def.doc ? OwnedRef::steal(PyUnicode_FromString(def.doc)) : OwnedRef::borrow(Py_None)) &&
           (a.trace_name = OwnedRef::steal(PyUnicode_FromFormat("%U.%s", module_name, def.qualname)));
}

}  // namespace

void Frame::add_traceback_entry() const noexcept {
    if (!function) return;
    FunctionObject* f = as_function(function);
    const char* where = PyUnicode_AsUTF8(f->trace_name);
    const char* filename = PyUnicode_AsUTF8(reinterpret_cast<PyCodeObject*>(f->code)->co_filename);
    if (where && filename) _PyTraceback_Add(where, filename, line);
}

int ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_doc = "A native function of quarn that introspects like a Python function.";
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_members = function_members;
    return PyType_Ready(&FunctionType);
}

PyObject* make_function(const FunctionDef& def, PyObject* module_name, PyObject* filename, PyObject* globals,
                        PyObject* defaults, PyObject* annotations) {
    if (def.nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return nullptr;
    }
    OwnedAttributes a;
    if (!make_attributes(def, module_name, filename, a)) return nullptr;

    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->impl = def.impl;
    f->nparams = def.nparams;
    f->first_line = def.first_line;
    f->params = a.params.release();
    f->name = a.name.release();
    f->qualname = a.qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = a.doc.release();
    f->defaults = Py_NewRef(defaults ? defaults : Py_None);
    f->annotations = Py_NewRef(annotations);
    f->globals = Py_NewRef(globals);
    f->code = a.code.release();
    f->dict = nullptr;
    f->trace_name = a.trace_name.release();
    f->kwdefaults = Py_NewRef(Py_None);
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace quarn
