#include "binding/memo.h"

#include <utility>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

// The weak reference's callback; its self is a capsule of (instance address, memo).
PyObject* forget_instance(PyObject* key_capsule, PyObject* /*weakref*/) {
  auto* memo = static_cast<DescriptionMemo*>(PyCapsule_GetContext(key_capsule));
  auto* key = static_cast<PyObject*>(PyCapsule_GetPointer(key_capsule, nullptr));
  if (!memo || !key) return nullptr;
  memo->forget(key);
  Py_RETURN_NONE;
}

PyMethodDef kForget = {"_forget_table_descriptions", forget_instance, METH_O, nullptr};

}  // namespace

void DescriptionMemo::forget(PyObject* instance) noexcept {
  auto found = entries_.find(instance);
  if (found == entries_.end()) return;
  // Out of the table first: releasing the descriptions may run code that uses it.
  Entry entry = std::move(found->second);
  entries_.erase(found);
}

py::object DescriptionMemo::lookup(py::handle instance, py::handle table_name) const {
  auto found = entries_.find(instance.ptr());
  if (found == entries_.end()) return {};
  PyObject* description = PyDict_GetItemWithError(found->second.tables.ptr(), table_name.ptr());
  if (!description && PyErr_Occurred()) throw_python_error();
  return own(description);
}

void DescriptionMemo::store(py::handle instance, py::handle table_name, py::handle description) {
  py::object tables;
  auto found = entries_.find(instance.ptr());
  if (found != entries_.end()) {
    tables = found->second.tables;
  } else {
    py::object capsule = steal_or_throw(PyCapsule_New(instance.ptr(), nullptr, nullptr));
    if (PyCapsule_SetContext(capsule.ptr(), this) < 0) throw_python_error();
    py::object callback = steal_or_throw(PyCFunction_New(&kForget, capsule.ptr()));
    PyObject* weakref = PyWeakref_NewRef(instance.ptr(), callback.ptr());
    if (!weakref) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
      PyErr_Clear();  // not weakly referenceable: answer without memoising
      return;
    }
    Entry entry{py::reinterpret_steal<py::object>(weakref), steal_or_throw(PyDict_New())};
    tables = entry.tables;
    // Allocating above may have run a collection and its callbacks: look again.
    entries_.insert_or_assign(instance.ptr(), std::move(entry));
  }
  if (PyDict_SetItem(tables.ptr(), table_name.ptr(), description.ptr()) < 0) throw_python_error();
}

int DescriptionMemo::traverse(visitproc visit, void* arg) const {
  for (const auto& [key, entry] : entries_) {
    Py_VISIT(entry.weakref.ptr());
    Py_VISIT(entry.tables.ptr());
  }
  return 0;
}

void DescriptionMemo::clear() noexcept {
  // Moved out first: releasing an entry may run code that reaches the memo again.
  auto entries = std::move(entries_);
  entries_.clear();
}

}  // namespace velmor::binding
