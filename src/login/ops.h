// Small operations on Python objects shared by the credential chain and the agent query.
#pragma once

#include "state.h"

namespace login {

// Adds the traceback entry of init_daz at `line` to the pending exception; for `return fail(..)`.
inline PyObject* fail(int line) noexcept {
    add_traceback(Func::init_daz, line);
    return nullptr;
}
inline int fail_status(int line) noexcept {
    add_traceback(Func::init_daz, line);
    return -1;
}

// `callable(a0, ..., *kw)`, where the last PyTuple_GET_SIZE(kwnames) arguments are passed by the
// keywords in kwnames. A spare slot in front of the arguments lets bound methods be called
// without a new argument array. Through the interpreter's own call function, so that a callee
// that returns null without an exception, or a result with one set, gives its SystemError.
template <typename... Args>
PyObject* call(PyObject* callable, PyObject* kwnames, Args... args) noexcept {
    PyObject* stack[] = {nullptr, args...};
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    const size_t nargsf = (sizeof...(args) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return PyObject_Vectorcall(callable, stack + 1, nargsf, kwnames);
}

// `self.<method>(args...)` without making a bound method.
template <typename... Args>
PyObject* call_method(PyObject* self, PyObject* method, Args... args) noexcept {
    PyObject* stack[] = {nullptr, self, args...};
    return PyObject_VectorcallMethod(
        method, stack + 1, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `obj == text` followed by a truth test, for a text among the interned names: 1, 0, or -1 with
// an exception set. None and exact strings cannot run user code here, so they skip the generic
// comparison.
inline int equals(PyObject* obj, PyObject* text) noexcept {
    if (obj == text) {
        return 1;
    }
    if (obj == Py_None) {
        return 0;
    }
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_Compare(obj, text) == 0 ? 1 : 0;
    }
    Ref result(PyObject_RichCompare(obj, text, Py_EQ));
    if (!result) {
        return -1;
    }
    return PyObject_IsTrue(result.get());
}

// The interpreter's truth test, with the common cases (the constants and exact strings, which
// run no user code) answered inline.
inline int is_true(PyObject* value) noexcept {
    if (value == Py_True) {
        return 1;
    }
    if (value == Py_False || value == Py_None) {
        return 0;
    }
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_GET_LENGTH(value) != 0 ? 1 : 0;
    }
    return PyObject_IsTrue(value);
}

// Truth test of a value that may be absent (null): an absent value is false.
inline int truth(const Ref& value) noexcept { return value ? is_true(value.get()) : 0; }

} // namespace login
