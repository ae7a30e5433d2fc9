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

// A few items inline, the rest on the heap: most written data holds a few containers.
template <typename T, std::size_t N>
class SmallList {
 public:
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) { return i < N ? inline_[i] : more_[i - N]; }
  void push_back(T item) {
    if (size_ < N) {
      inline_[size_] = std::move(item);
    } else {
      more_.push_back(std::move(item));
    }
    ++size_;
  }

 private:
  std::array<T, N> inline_{};
  std::vector<T> more_;
  std::size_t size_ = 0;
};

// The memo maps each original container to its copy, so that shared and cyclic
// structure stays shared and cyclic. It lives in C++ until an object needs
// copy.deepcopy; from then on it is copy.deepcopy's own memo dict, shared both ways, and
// holds what copy.deepcopy's memo would hold at that point: each container whose copy has
// begun, by id, in the order their copies began, and, from the first finished copy on,
// copy.deepcopy's keep-alive list of the finished originals, in the order they finished.
// As that list does, the memo keeps every original alive until the copy is done: code run
// while copying (a __deepcopy__) may drop one, and a new object at its address must not be
// taken for it.
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
      ~Leave() {
        if (may_touch_python()) Py_LeaveRecursiveCall();
      }
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
    const std::size_t entry = begin(original, result);
    Object key, value;
    for (DictWalk entries(original); entries.next(key, value);) {
      // `copy[deepcopy(key)] = deepcopy(value)` evaluates the value first.
      Object new_value = copy_owned(std::move(value), depth + 1);
      Object new_key = copy_owned(std::move(key), depth + 1);
      if (PyDict_SetItem(result.ptr(), new_key.ptr(), new_value.ptr()) < 0) throw_python_error();
    }
    finish(original, result, entry);
    return result;
  }

  // As `for item in original`: the size is read again before every item.
  Object copy_list(Handle original, int depth) {
    Object result = steal_or_throw(PyList_New(0));
    const std::size_t entry = begin(original, result);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(original.ptr()); ++i) {
      Object copied = copy_owned(own(PyList_GET_ITEM(original.ptr(), i)), depth + 1);
      if (PyList_Append(result.ptr(), copied.ptr()) < 0) throw_python_error();
    }
    finish(original, result, entry);
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

  Object key_of(Handle object) const { return steal_or_throw(PyLong_FromVoidPtr(object.ptr())); }

  Object recall(Handle original) {
    if (!memo_dict_) {
      if (seen_.size() <= kInline) {
        for (std::size_t i = 0; i < seen_.size(); ++i)
          if (seen_[i].original.ptr() == original.ptr()) return seen_[i].copy;
        return {};
      }
      auto found = index_.find(original.ptr());
      return found == index_.end() ? Object() : seen_[found->second].copy;
    }
    PyObject* seen = PyDict_GetItemWithError(memo_dict_.ptr(), key_of(original).ptr());
    if (!seen && PyErr_Occurred()) throw_python_error();
    return own(seen);
  }

  // `memo[id(original)] = copy` as a container's copy begins; its place in seen_.
  std::size_t begin(Handle original, Handle copy) {
    if (memo_dict_) {
      if (PyDict_SetItem(memo_dict_.ptr(), key_of(original).ptr(), copy.ptr()) < 0) throw_python_error();
      return 0;
    }
    seen_.push_back({own(original), own(copy)});
    const std::size_t entry = seen_.size() - 1;
    if (seen_.size() > kInline) {
      if (index_.empty())
        for (std::size_t i = 0; i < entry; ++i) index_.emplace(seen_[i].original.ptr(), i);
      index_.emplace(original.ptr(), entry);
    }
    return entry;
  }

  // As copy.deepcopy ends each copy: `memo[id(original)] = copy` again, then the
  // original joins the keep-alive list.
  void finish(Handle original, Handle copy, std::size_t entry) {
    if (!memo_dict_) {
      if (finished_.size() == 0) keep_alive_at_ = seen_.size();
      finished_.push_back(entry);
      return;
    }
    if (PyDict_SetItem(memo_dict_.ptr(), key_of(original).ptr(), copy.ptr()) < 0) throw_python_error();
    // copy._keep_alive: memo[id(memo)].append(original), or a new list on a KeyError.
    Object memo_key = key_of(memo_dict_);
    PyObject* kept = PyDict_GetItemWithError(memo_dict_.ptr(), memo_key.ptr());
    if (!kept && PyErr_Occurred()) throw_python_error();
    if (kept) {
      Object list = own(kept);
      Object appended = steal_or_throw(PyObject_CallMethod(list.ptr(), "append", "O", original.ptr()));
      return;
    }
    Object list = make_list(original);
    if (PyDict_SetItem(memo_dict_.ptr(), memo_key.ptr(), list.ptr()) < 0) throw_python_error();
  }

  static Object make_list(Handle item) {
    Object list = steal_or_throw(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, Py_NewRef(item.ptr()));
    return list;
  }

  Object delegate(Handle value) {
    if (!memo_dict_) {
      // copy.deepcopy's memo as it would stand now: the begun copies by id in the order
      // they began, and the keep-alive list where the first finished copy put it.
      Object memo = new_dict();
      Object memo_key = key_of(memo);
      auto add_kept = [&] {
        Object kept = steal_or_throw(PyList_New(0));
        for (std::size_t i = 0; i < finished_.size(); ++i)
          if (PyList_Append(kept.ptr(), seen_[finished_[i]].original.ptr()) < 0) throw_python_error();
        if (PyDict_SetItem(memo.ptr(), memo_key.ptr(), kept.ptr()) < 0) throw_python_error();
      };
      for (std::size_t i = 0; i < seen_.size(); ++i) {
        if (finished_.size() && i == keep_alive_at_) add_kept();
        if (PyDict_SetItem(memo.ptr(), key_of(seen_[i].original).ptr(), seen_[i].copy.ptr()) < 0)
          throw_python_error();
      }
      if (finished_.size() && keep_alive_at_ == seen_.size()) add_kept();
      memo_dict_ = std::move(memo);
    }
    return call(fallback_, value, memo_dict_);
  }

  // An original (kept alive until the copy is done) and its copy.
  struct Seen {
    Object original;
    Object copy;
  };

  static constexpr std::size_t kInline = 8;
  Handle fallback_;
  SmallList<Seen, kInline> seen_;                // in the order their copies began
  std::unordered_map<PyObject*, std::size_t> index_;  // seen_ by original, once it is longer
  SmallList<std::size_t, kInline> finished_;     // places in seen_, in the order their copies finished
  std::size_t keep_alive_at_ = 0;          // copies begun when the first one finished
  Object memo_dict_;                       // copy.deepcopy's memo format: id(original) -> copy
};

}  // namespace

Object deep_copy(Handle value, Handle fallback) {
  if (is_atom(value.ptr())) return own(value);
  return Copier(fallback).copy(value, 0);
}

}  // namespace velmor::binding
