// Owning handle for a Python object reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The build says whether the interpreter counts references (a debug build). Built with headers of
// the other configuration, the module would keep counts that the interpreter does not: refuse.
#if defined(FERROVANE_PY_DEBUG)
#if FERROVANE_PY_DEBUG && !defined(Py_REF_DEBUG)
#error "the interpreter is a debug build, but the headers as found give the release configuration"
#elif !FERROVANE_PY_DEBUG && defined(Py_REF_DEBUG)
#error "the interpreter is a release build, but the headers as found give the debug configuration"
#endif
#endif

namespace login {

// Holds one strong reference and releases it when it goes out of scope, so every path out of a
// function, success or failure, drops what it took. Moving transfers the reference.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, as returned by a failing C-API call).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

  private:
    PyObject* p_ = nullptr;
};

} // namespace login
