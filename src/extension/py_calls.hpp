// Small helpers for calling into Python from the module's functions.
//
// Each helper throws PythonError (see python_error.hpp) when the call fails,
// so a function reads as the sequence of statements it implements.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "function_object.hpp"
#include "owned_ref.hpp"
#include "python_error.hpp"

namespace quarn {

// `callable(*args)`; the arguments are borrowed.
template <typename... Args>
OwnedRef call(PyObject* callable, const Args&... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `obj.name(*args)` without creating a bound method.
template <typename... Args>
OwnedRef call_method(PyObject* obj, PyObject* name, const Args&... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return check(
        PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A tuple of K keyword names.  K is part of the type, so that call_kw is
// given exactly one value per name.
template <size_t K>
struct KeywordNames {
    OwnedRef tuple;
};

// The names, interned, in order: `keyword_names({"dtype"})`.
template <size_t K>
KeywordNames<K> keyword_names(const char* const (&names)[K]) {
    OwnedRef tuple = check(PyTuple_New(K));
    for (size_t i = 0; i < K; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, check(PyUnicode_InternFromString(names[i])).release());
    return {std::move(tuple)};
}

// `callable(*positional, **{names[i]: values[i]})`.  The argument array is
// sized by the lists given, and the values must match the names in number:
// a call that does not fit does not compile.
template <size_t P, size_t K>
OwnedRef call_kw(PyObject* callable, PyObject* const (&positional)[P], const KeywordNames<K>& names,
                 PyObject* const (&values)[K]) {
    PyObject* argv[P + K];
    for (size_t i = 0; i < P; ++i) argv[i] = positional[i];
    for (size_t i = 0; i < K; ++i) argv[P + i] = values[i];
    return check(PyObject_Vectorcall(callable, argv, P, names.tuple.get()));
}

inline OwnedRef get_attr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

inline OwnedRef get_item(PyObject* obj, PyObject* key) { return check(PyObject_GetItem(obj, key)); }

inline OwnedRef str(PyObject* obj) { return check(PyObject_Str(obj)); }

inline bool is_true(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

// `a == b` or `a != b` as a truth value.
inline bool compare(PyObject* a, PyObject* b, int op) { return is_true(check(PyObject_RichCompare(a, b, op)).get()); }

// A module global, read at call time so that rebinding it takes effect at
// once; then, as in a Python function, the builtins.
inline OwnedRef get_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value) return OwnedRef::borrow(value);
    if (PyErr_Occurred()) throw PythonError{};
    PyObject* builtins = PyDict_GetItemString(globals, "__builtins__");
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    if (builtins && PyDict_Check(builtins)) {
        value = PyDict_GetItemWithError(builtins, name);
        if (value) return OwnedRef::borrow(value);
        if (PyErr_Occurred()) throw PythonError{};
    }
    // The NameError names the missing global, as the interpreter's does.
    OwnedRef message = check(PyUnicode_FromFormat("name '%U' is not defined", name));
    OwnedRef error = call(PyExc_NameError, message.get());
    check(PyObject_SetAttrString(error.get(), "name", name));
    PyErr_SetObject(PyExc_NameError, error.get());
    throw PythonError{};
}

// `type(obj).<name>` bound to `obj`: special methods are looked up on the
// type, never the instance.  Empty when there is none.
inline OwnedRef lookup_special(PyObject* obj, PyObject* name) {
    OwnedRef found = OwnedRef::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!found) return {};
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (!get) return found;
    return check(get(found.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// What the raise statement makes of `obj`: an exception instance as it is,
// an exception class called without arguments, anything else a TypeError.
inline OwnedRef exception_to_raise(OwnedRef obj) {
    if (PyExceptionInstance_Check(obj.get())) return obj;
    if (!PyExceptionClass_Check(obj.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw PythonError{};
    }
    OwnedRef value = check(PyObject_CallNoArgs(obj.get()));
    if (!PyExceptionInstance_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj.get(),
                     reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
        throw PythonError{};
    }
    return value;
}

// `raise cls(message)`, with `cls` whatever the module global holds now.
[[noreturn]] inline void raise_new(PyObject* cls, PyObject* message) {
    OwnedRef exc = exception_to_raise(call(cls, message));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw PythonError{};
}

// Unpacks `obj` into exactly `n` values, with the messages generated modules use.
inline void unpack(PyObject* obj, OwnedRef* out, Py_ssize_t n) {
    auto too_few = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        return PythonError{};
    };
    auto too_many = [n]() {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return PythonError{};
    };
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size > n) throw too_many();
        if (size < n) throw too_few(size);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = OwnedRef::borrow(PySequence_Fast_GET_ITEM(obj, i));
        return;
    }
    OwnedRef it = check(PyObject_GetIter(obj));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = OwnedRef::steal(PyIter_Next(it.get()));
        if (!out[i]) throw PyErr_Occurred() ? PythonError{} : too_few(i);
    }
    OwnedRef extra = OwnedRef::steal(PyIter_Next(it.get()));
    if (extra) throw too_many();
    if (PyErr_Occurred()) throw PythonError{};
}

// The next item of an iterator; empty when it is exhausted.
inline OwnedRef next(PyObject* iterator) {
    OwnedRef item = OwnedRef::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw PythonError{};
    return item;
}

// The exception being handled by an `except` clause, held aside: the
// interpreter must not be called with an exception set (some lookups clear
// it silently).  While the handler runs it is also the interpreter's handled
// exception (`sys.exception()`), as in Python, so whatever the handler raises
// gets its context from the interpreter itself, at the moment it is raised:
// never the exception itself, and without making a cycle of contexts.
// Whatever the handler does not take over is re-raised when the handler ends.
class CaughtError {
public:
    explicit CaughtError(Frame& frame) noexcept : frame_(frame) {
        frame.add_traceback_entry();
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
        // What entering the except clause does to the thread's exception stack.
        stack_ = PyThreadState_Get()->exc_info;
        outer_ = std::exchange(stack_->exc_value, Py_XNewRef(value_));
    }
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;
    ~CaughtError() {
        if (!may_touch_refcounts()) return;
        end_handler();
        if (!type_) return;
        if (PyErr_Occurred()) {
            discard();  // the handler raised: that exception goes on, its context already set
        } else {
            PyErr_Restore(type_, value_, tb_);
            type_ = value_ = tb_ = nullptr;
        }
    }

    // `except cls`: the interpreter's test, which refuses anything but an
    // exception class or a tuple of them.
    bool matches(PyObject* cls) const {
        const bool is_tuple = PyTuple_Check(cls);
        const Py_ssize_t n = is_tuple ? PyTuple_GET_SIZE(cls) : 1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyExceptionClass_Check(is_tuple ? PyTuple_GET_ITEM(cls, i) : cls)) {
                PyErr_SetString(PyExc_TypeError,
                                "catching classes that do not inherit from BaseException is not allowed");
                throw PythonError{};
            }
        }
        return PyErr_GivenExceptionMatches(type_, cls) != 0;
    }
    PyObject* value() const noexcept { return value_; }

    // `raise`: the exception goes on unchanged, its traceback already
    // holding this frame's entry.
    [[noreturn]] void reraise() {
        end_handler();
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
        frame_.reraised = true;
        throw PythonError{};
    }

    // Drops the exception (a handler that swallows it).
    void discard() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }

    // `raise cls(message) from exc`, as the raise statement does it: the
    // cause set, then raised with the interpreter's own context chaining.
    [[noreturn]] void raise_from(PyObject* cls, PyObject* message) {
        OwnedRef exc = exception_to_raise(call(cls, message));  // a failure here has the caught exception as context
        PyException_SetCause(exc.get(), Py_NewRef(value_));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        throw PythonError{};
    }

private:
    // Leaving the except clause: the exception handled before it is back.
    void end_handler() noexcept {
        if (!stack_) return;
        Py_XSETREF(stack_->exc_value, outer_);
        stack_ = nullptr;
        outer_ = nullptr;
    }

    Frame& frame_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
    _PyErr_StackItem* stack_ = nullptr;  // the thread's exception stack entry the handler changed
    PyObject* outer_ = nullptr;          // what it held before (owned)
};

}  // namespace quarn
