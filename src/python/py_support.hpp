// Reference ownership and error plumbing shared by the extension modules.
//
// Every C API call that returns a new reference is wrapped in an OwnedRef at
// once, so no path can leak or double-release it; a reference that is only
// looked at travels as a BorrowedRef. Helpers return one of the two instead
// of a raw pointer whose null means "an exception is set". The types carry
// the null state too: an empty reference from a helper means the Python
// error indicator is set and the caller returns its failure value.
//
// Entry points (slots and methods the interpreter calls) run their body
// through `entry`, which turns any escaping C++ exception into a Python
// exception and returns the failure value that fits the slot's return type:
// a null pointer, or -1 for the integer slots. Deallocators run their body
// through `dealloc_guard`, which reports a failure as unraisable and leaves
// any exception that was already pending in place.
//
// Include this after defining Py_LIMITED_API; it includes Python.h itself.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "common/error.hpp"

namespace kelvara::py {

// Owns one strong reference: takes over a new reference (it does not add
// one) and releases it when it goes out of scope, unless `release` hands it
// on. Movable, not copyable.
class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  explicit OwnedRef(PyObject* new_reference) noexcept : object_(new_reference) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  // A new strong reference to an object the caller only borrows.
  static OwnedRef new_reference_to(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller, who now owns it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// A reference owned elsewhere, valid as long as its owner keeps it.
class BorrowedRef {
 public:
  BorrowedRef() noexcept = default;
  explicit BorrowedRef(PyObject* borrowed) noexcept : object_(borrowed) {}

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // A strong reference of the caller's own.
  OwnedRef new_reference() const noexcept { return OwnedRef::new_reference_to(object_); }

 private:
  PyObject* object_ = nullptr;
};

// Raises a core reading error: a RuntimeError whose message is the error's
// display text ("I/O error: ..." or "parse error: ..."), or a MemoryError
// saying what could not be allocated.
inline void set_error(const Error& error) {
  if (error.code() == Error::Code::OutOfMemory) {
    PyErr_SetString(PyExc_MemoryError, error.message().c_str());
    return;
  }
  const std::string text = error.display();
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
}

// Sets the Python error for the C++ exception being handled; call it only
// inside a catch block.
inline void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "kelvara internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "kelvara internal error: unknown exception");
  }
}

namespace detail {

// What an entry point returning R hands back on failure: a null pointer for
// object slots, -1 for the integer ones (lengths, init and exec slots).
template <class R>
constexpr R failure_value() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    static_assert(std::is_integral_v<R> && std::is_signed_v<R>,
                  "an entry point returns an object pointer or a signed integer");
    return R(-1);
  }
}

template <class T>
struct EntryResult {
  using type = T;
  static T pass(T value) noexcept { return value; }
};

// A body that returns an OwnedRef hands its reference to the interpreter.
template <>
struct EntryResult<OwnedRef> {
  using type = PyObject*;
  static PyObject* pass(OwnedRef value) noexcept { return value.release(); }
};

}  // namespace detail

// Runs the body of an entry point. A C++ exception becomes a Python exception
// and the failure value of the return type is returned in its place.
template <class Body>
auto entry(Body&& body) noexcept ->
    typename detail::EntryResult<std::decay_t<std::invoke_result_t<Body&>>>::type {
  using Result = detail::EntryResult<std::decay_t<std::invoke_result_t<Body&>>>;
  using R = typename Result::type;
  try {
    return Result::pass(body());
  } catch (...) {
    set_error_from_current_exception();
    return detail::failure_value<R>();
  }
}

// Runs the body of a deallocator, which must not raise. A C++ exception is
// reported through sys.unraisablehook for `self`; an exception that was
// pending before the deallocator ran is still pending after it.
template <class Body>
void dealloc_guard(PyObject* self, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    set_error_from_current_exception();
    PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, traceback);
  }
}

// A new instance of a heap type, made through the type's own tp_alloc.
inline OwnedRef alloc_instance(PyTypeObject* type) {
  auto alloc_slot = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return OwnedRef(alloc_slot(type, 0));
}

// Frees an instance of a heap type and drops the instance's reference to
// its type, as heap types require; the last step of a deallocator.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace kelvara::py
