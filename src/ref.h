// Owned references.
//
// Rules of use, for every file of the extension:
//  * A `Ref` owns one strong reference (or none) and releases it when it
//    goes out of scope, so an early `return` never leaks.
//  * `Ref::steal(p)` adopts a new reference returned by the C API (it may be
//    null: then a Python error is set and the caller returns null in turn).
//  * `Ref::new_ref(p)` takes a new strong reference to a borrowed pointer.
//    Do it before any call that can run Python code (`__eq__`, `__hash__`,
//    a key function, a mapping's `__getitem__`, a deallocation): a borrowed
//    pointer from a dict or tuple may die during such a call.
//  * A function that fails returns a null owner (`return nullptr;`) with
//    a Python error set.
//  * `release()` hands the reference over: to the interpreter, which only
//    entry points (vectorcall, tp_call, the type slots) do, or to a
//    container or struct field that steals it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace numor {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}  // so that `return nullptr;` reads as failure
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
#if defined(__GNUC__) || defined(__clang__)
    // Every early return runs it: kept inline (3.11's compilers otherwise
    // leave it out of line on the hot paths).
    [[gnu::always_inline]]
#endif
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref new_ref(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace numor
