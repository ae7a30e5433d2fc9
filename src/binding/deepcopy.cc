#include "binding/deepcopy.h"

#include <array>
#include <unordered_map>
#include <vector>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

// Deeper than this, the rest of a subtree is copied by copy.deepcopy itself, whose
// recursion the interpreter bounds and which needs no C stack per level.
constexpr int kMaxDepth = 100;

// The atoms are among the types that 3.14's copy.deepcopy returns as they are.
bool is_atom(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
         value == Py_None || type == &PyBytes_Type || type == &PyComplex_Type;
}

// The memo maps each original container to its copy, so that shared and cyclic
// structure stays shared and cyclic. As copy.deepcopy's memo does, it keeps every
// original alive until the copy is done: code run while copying (a __deepcopy__) may
// drop an original, and a new object at its address must not be taken for it. It
// lives in C++ until an object needs copy.deepcopy; from then on it is
// copy.deepcopy's own memo dict, shared both ways.
class Copier {
 public:
  explicit Copier(Handle fallback) : fallback_(fallback) {}

  Object copy(Handle value, int depth) {
    if (is_atom(value.ptr())) {
      // Up to 3.13 copy.deepcopy looks every object up in its memo first, atoms
      // included: a __deepcopy__ run earlier may have recorded a replacement for this
      // very value. From 3.14 it returns an atom at once. Until copy.deepcopy has been
      // called (and with it any __deepcopy__), the memo holds only containers of ours,
      // and an atom cannot be in it.
      if (memo_dict_ && Py_Version < 0x030E0000)
        if (Object seen = recall(value)) return seen;
      return own(value);
    }
    const bool is_dict = PyDict_CheckExact(value.ptr());
    if ((!is_dict && !PyList_CheckExact(value.ptr())) || depth >= kMaxDepth) return delegate(value);
    if (Object seen = recall(value)) return seen;

    if (Py_EnterRecursiveCall(" while deep-copying")) throw_python_error();
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    return is_dict ? copy_dict(value, depth) : copy_list(value, depth);
  }

 private:
  // copy() of a value the caller owns and gives up.
  Object copy_owned(Object value, int depth) {
    if (!memo_dict_ && is_atom(value.ptr())) return value;
    return copy(value, depth);
  }

  // As `for key, value in original.items()`: a change of size or keys made while
  // copying fails exactly as the dict's own iterator fails.
  Object copy_dict(Handle original, int depth) {
    Object result = steal_or_throw(new_dict_for(PyDict_GET_SIZE(original.ptr())));
    remember(original, result);
    Object key, value;
    for (DictWalk entries(original); entries.next(key, value);) {
      // `copy[deepcopy(key)] = deepcopy(value)` evaluates the value first.
      Object new_value = copy_owned(std::move(value), depth + 1);
      Object new_key = copy_owned(std::move(key), depth + 1);
      if (PyDict_SetItem(result.ptr(), new_key.ptr(), new_value.ptr()) < 0) throw_python_error();
    }
    return result;
  }

  // As `for item in original`: the size is read again before every item.
  Object copy_list(Handle original, int depth) {
    Object result = steal_or_throw(PyList_New(0));
    remember(original, result);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(original.ptr()); ++i) {
      Object copied = copy_owned(own(PyList_GET_ITEM(original.ptr(), i)), depth + 1);
      if (PyList_Append(result.ptr(), copied.ptr()) < 0) throw_python_error();
    }
    return result;
  }

  // An empty dict with room for `size` entries: the copy of a dict of that many entries
  // then grows no table on the way. The sizing call is CPython's own, with no public
  // counterpart (3.11 to 3.14 declare it); where it may be gone, the dict grows as it fills.
  static PyObject* new_dict_for(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030F0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
  }

  Object recall(Handle original) {
    if (!memo_dict_) {
      for (std::size_t i = 0; i < n_inline_; ++i)
        if (inline_[i].original.ptr() == original.ptr()) return inline_[i].copy;
      auto found = overflow_.find(original.ptr());
      return found == overflow_.end() ? Object() : found->second.copy;
    }
    Object key = steal_or_throw(PyLong_FromVoidPtr(original.ptr()));
    PyObject* seen = PyDict_GetItemWithError(memo_dict_.ptr(), key.ptr());
    if (!seen && PyErr_Occurred()) throw_python_error();
    return own(seen);
  }

  void remember(Handle original, Handle copy) {
    if (!memo_dict_) {
      // Most written data holds a few containers: they stay in the inline slots.
      Seen entry{own(original), own(copy)};
      if (n_inline_ < inline_.size()) {
        inline_[n_inline_++] = std::move(entry);
      } else {
        overflow_.insert_or_assign(original.ptr(), std::move(entry));
      }
      return;
    }
    kept_.push_back(own(original));
    Object key = steal_or_throw(PyLong_FromVoidPtr(original.ptr()));
    if (PyDict_SetItem(memo_dict_.ptr(), key.ptr(), copy.ptr()) < 0) throw_python_error();
  }

  Object delegate(Handle value) {
    if (!memo_dict_) {
      Object shared = new_dict();
      auto share = [&](Seen& entry) {
        Object key = steal_or_throw(PyLong_FromVoidPtr(entry.original.ptr()));
        if (PyDict_SetItem(shared.ptr(), key.ptr(), entry.copy.ptr()) < 0) throw_python_error();
        kept_.push_back(std::move(entry.original));
      };
      for (std::size_t i = 0; i < n_inline_; ++i) share(inline_[i]);
      for (auto& [original, entry] : overflow_) share(entry);
      n_inline_ = 0;
      overflow_.clear();
      memo_dict_ = std::move(shared);
    }
    return call(fallback_, value, memo_dict_);
  }

  // An original (kept alive until the copy is done: code run while copying may drop
  // it, and a new object at its address must not be taken for it) and its copy.
  struct Seen {
    Object original;
    Object copy;
  };

  Handle fallback_;
  std::array<Seen, 8> inline_;
  std::size_t n_inline_ = 0;
  std::unordered_map<PyObject*, Seen> overflow_;
  std::vector<Object> kept_;  // originals handed over with the memo to copy.deepcopy
  Object memo_dict_;          // copy.deepcopy's memo format: id(original) -> copy
};

}  // namespace

Object deep_copy(Handle value, Handle fallback) {
  if (is_atom(value.ptr())) return own(value);
  return Copier(fallback).copy(value, 0);
}

}  // namespace velmor::binding
