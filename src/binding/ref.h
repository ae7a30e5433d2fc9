// Owned and borrowed references, and the one C++ exception of the binding layer.
//
// PythonError means "the interpreter's error indicator is set": it carries nothing,
// so throwing it allocates nothing Python can see, and the error itself never leaves
// the interpreter's hands. Each member's boundary (method.cc) turns it back into a
// NULL return. Nothing here reaches for the GIL-state API or builds lazy state: every
// call happens on the thread and in the interpreter that called the member, which is
// what makes subinterpreters safe.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <utility>

namespace velmor::binding {

struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// --- A thread ended under a member --------------------------------------------------------
//
// At exit, CPython 3.11 to 3.13 end a daemon thread that asks for the GIL with
// pthread_exit, which unwinds the thread's C++ frames with a forced unwind: a foreign
// exception, with no C++ object, that must pass through every catch (every `catch (...)`
// starts with VELMOR_PASS_THREAD_EXIT). The frames it unwinds no longer hold the GIL: the
// references they release then stay as they are, for the process is ending.

// Set once any interpreter of the process has begun to exit (its atexit hooks run), or a
// forced unwind has been seen. Until then every release is plain: the test costs one load.
inline std::atomic<bool> exit_started{false};

// Whether this thread holds the GIL (its interpreter's). Asked only after exit_started.
inline bool thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;  // this thread's own, null while detached
#else
  const PyThreadState* holder = _PyThreadState_UncheckedGet();  // the GIL's holder, any thread's
  return holder && holder->thread_id == PyThread_get_thread_ident();
#endif
}

// Whether this thread may change reference counts and the interpreter's state.
inline bool may_touch_python() noexcept {
  return !exit_started.load(std::memory_order_relaxed) || thread_holds_gil();
}

inline void note_thread_exit() noexcept { exit_started.store(true, std::memory_order_relaxed); }

// The first statement of every `catch (...)`. A foreign exception has no C++ object, so
// std::current_exception() is empty for it alone (catching abi::__forced_unwind by
// reference would bind a reference to that missing object).
#define VELMOR_PASS_THREAD_EXIT              \
  if (!std::current_exception()) {           \
    ::velmor::binding::note_thread_exit();   \
    throw;                                   \
  }

// A borrowed reference: valid only while someone else holds the object.
class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr Handle(PyObject* object) noexcept : p_(object) {}  // NOLINT: a view of any object
  PyObject* ptr() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  PyObject* p_ = nullptr;
};

// An owned (strong) reference, released when it goes out of scope. Assignment takes
// the new value before it releases the old one, so code run by that release (a
// __del__) never sees the variable pointing at a freed object.
class Object {
 public:
  Object() noexcept = default;
  Object(const Object& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Object(Object&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Object& operator=(Object other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Object() {
    if (p_ && may_touch_python()) Py_DECREF(p_);
  }

  static Object steal(PyObject* object) noexcept { return Object(object); }
  static Object borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Object(object);
  }

  PyObject* ptr() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A new reference for the caller; this one stays.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  operator Handle() const noexcept { return p_; }  // NOLINT: lending is always safe
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  explicit Object(PyObject* object) noexcept : p_(object) {}
  PyObject* p_ = nullptr;
};

// A new reference's result of a C API call; null means the call failed.
inline Object steal_or_throw(PyObject* result) {
  if (!result) throw_python_error();
  return Object::steal(result);
}

// A borrowed result turned into an owned one at once (null stays null).
inline Object own(Handle borrowed) noexcept { return Object::borrow(borrowed.ptr()); }

inline Object none() noexcept { return own(Py_None); }
inline Object bool_(bool value) noexcept { return own(value ? Py_True : Py_False); }
inline Object int_(long value) { return steal_or_throw(PyLong_FromLong(value)); }
inline Object new_dict() { return steal_or_throw(PyDict_New()); }
inline Object new_list() { return steal_or_throw(PyList_New(0)); }

template <typename... A>
Object make_tuple(A... items) {
  return steal_or_throw(PyTuple_Pack(sizeof...(A), Handle(items).ptr()...));
}

// The error the indicator holds, taken out of it, as an `except ... as error:` clause
// sees it: normalised, with its traceback attached. Null when no error is set. (Not
// noexcept: normalising may run Python code, and a thread ending there must unwind.)
Object take_error();

// Raises `error` again, as it is (its traceback and chain kept).
void restore_error(Object error) noexcept;

// Holds the error in flight while cleanup code calls into Python, and puts it back
// when it goes out of scope. An error of the cleanup itself is dropped: the first
// error is the one the caller must see.
class PendingError {
 public:
  PendingError() : error_(take_error()) {}
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  ~PendingError() {
    if (!error_ || !may_touch_python()) return;
    PyErr_Clear();
    restore_error(std::move(error_));
  }

 private:
  Object error_;
};

}  // namespace velmor::binding
