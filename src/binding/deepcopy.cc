#include "binding/deepcopy.h"

#include <unordered_map>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

bool is_atom(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
         type == &PyBool_Type || value == Py_None || type == &PyBytes_Type ||
         type == &PyComplex_Type;
}

// The memo maps each original container to its copy, so that shared and cyclic
// structure stays shared and cyclic. It lives in C++ until an object needs
// copy.deepcopy; from then on it is copy.deepcopy's own memo dict, shared both ways.
class Copier {
 public:
  explicit Copier(py::handle fallback) : fallback_(fallback) {}

  py::object copy(PyObject* value) {
    if (is_atom(value)) return py::reinterpret_borrow<py::object>(value);
    const bool is_dict = PyDict_CheckExact(value);
    if (!is_dict && !PyList_CheckExact(value)) return delegate(value);
    if (py::object seen = recall(value)) return seen;

    if (Py_EnterRecursiveCall(" while deep-copying")) throw_python_error();
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    return is_dict ? copy_dict(value) : copy_list(value);
  }

 private:
  py::object copy_dict(PyObject* original) {
    py::object result = steal_or_throw(PyDict_New());
    remember(original, result);
    const Py_ssize_t size = PyDict_GET_SIZE(original);
    Py_ssize_t position = 0;
    PyObject *item_key, *item_value;
    while (PyDict_Next(original, &position, &item_key, &item_value)) {
      // Own the entry: copying the value may run code that changes the dict.
      py::object held_key = py::reinterpret_borrow<py::object>(item_key);
      py::object held_value = py::reinterpret_borrow<py::object>(item_value);
      py::object new_key = copy(held_key.ptr());
      py::object new_value = copy(held_value.ptr());
      if (PyDict_SetItem(result.ptr(), new_key.ptr(), new_value.ptr()) < 0) throw_python_error();
    }
    if (PyDict_GET_SIZE(original) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      throw_python_error();
    }
    return result;
  }

  py::object copy_list(PyObject* original) {
    py::object result = steal_or_throw(PyList_New(0));
    remember(original, result);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(original); ++i) {
      py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(original, i));
      py::object copied = copy(item.ptr());
      if (PyList_Append(result.ptr(), copied.ptr()) < 0) throw_python_error();
    }
    return result;
  }

  py::object recall(PyObject* original) {
    if (!memo_dict_) {
      auto found = memo_.find(original);
      if (found == memo_.end()) return {};
      return found->second;
    }
    py::object key = steal_or_throw(PyLong_FromVoidPtr(original));
    PyObject* seen = PyDict_GetItemWithError(memo_dict_.ptr(), key.ptr());
    if (!seen && PyErr_Occurred()) throw_python_error();
    return py::reinterpret_borrow<py::object>(seen);
  }

  void remember(PyObject* original, py::handle copy) {
    if (!memo_dict_) {
      memo_.emplace(original, py::reinterpret_borrow<py::object>(copy));
      return;
    }
    py::object key = steal_or_throw(PyLong_FromVoidPtr(original));
    if (PyDict_SetItem(memo_dict_.ptr(), key.ptr(), copy.ptr()) < 0) throw_python_error();
  }

  py::object delegate(PyObject* value) {
    if (!memo_dict_) {
      memo_dict_ = py::dict();
      for (auto& [original, copied] : memo_) {
        py::object key = steal_or_throw(PyLong_FromVoidPtr(original));
        if (PyDict_SetItem(memo_dict_.ptr(), key.ptr(), copied.ptr()) < 0) throw_python_error();
      }
      memo_.clear();
    }
    PyObject* argv[] = {nullptr, value, memo_dict_.ptr()};
    return steal_or_throw(
        PyObject_Vectorcall(fallback_.ptr(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }

  py::handle fallback_;
  std::unordered_map<PyObject*, py::object> memo_;
  py::object memo_dict_;  // copy.deepcopy's memo format: id(original) -> copy
};

}  // namespace

py::object deep_copy(py::handle value, py::handle fallback) {
  if (is_atom(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  return Copier(fallback).copy(value.ptr());
}

}  // namespace velmor::binding
