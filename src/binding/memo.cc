#include "binding/memo.h"

#include <unordered_map>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

struct Entry {
  PyObject* weakref;  // owned; its callback drops the entry
  PyObject* tables;   // owned dict: table name -> description
};

// Keyed by the instance's address. The weak reference's callback runs while the
// instance is being freed, before its address can be reused.
std::unordered_map<PyObject*, Entry>& entries() {
  static auto* table = new std::unordered_map<PyObject*, Entry>();  // outlives finalization
  return *table;
}

PyObject* forget_instance(PyObject* key_capsule, PyObject* /*weakref*/) {
  auto* key = static_cast<PyObject*>(PyCapsule_GetPointer(key_capsule, nullptr));
  auto found = entries().find(key);
  if (found != entries().end()) {
    Entry entry = found->second;
    entries().erase(found);
    Py_DECREF(entry.tables);
    Py_DECREF(entry.weakref);
  }
  Py_RETURN_NONE;
}

PyMethodDef kForget = {"_forget_table_descriptions", forget_instance, METH_O, nullptr};

}  // namespace

py::object memo_lookup(py::handle instance, py::handle table_name) {
  auto found = entries().find(instance.ptr());
  if (found == entries().end()) return {};
  PyObject* description = PyDict_GetItemWithError(found->second.tables, table_name.ptr());
  if (!description) {
    if (PyErr_Occurred()) throw_python_error();
    return {};
  }
  return py::reinterpret_borrow<py::object>(description);
}

void memo_store(py::handle instance, py::handle table_name, py::handle description) {
  auto found = entries().find(instance.ptr());
  if (found == entries().end()) {
    py::object capsule = steal_or_throw(PyCapsule_New(instance.ptr(), nullptr, nullptr));
    py::object callback = steal_or_throw(PyCFunction_New(&kForget, capsule.ptr()));
    PyObject* weakref = PyWeakref_NewRef(instance.ptr(), callback.ptr());
    if (!weakref) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
      PyErr_Clear();  // not weakly referenceable: answer without memoising
      return;
    }
    PyObject* tables = PyDict_New();
    if (!tables) {
      Py_DECREF(weakref);
      throw_python_error();
    }
    found = entries().emplace(instance.ptr(), Entry{weakref, tables}).first;
  }
  if (PyDict_SetItem(found->second.tables, table_name.ptr(), description.ptr()) < 0)
    throw_python_error();
}

}  // namespace velmor::binding
