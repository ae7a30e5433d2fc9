#include "binding/memo.h"

#include <utility>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

// The weak reference's callback. Its self is (module, instance address): the module
// is held, and its state is looked up at each call, so a call after the module was
// cleared (a re-import, shutdown, or anyone calling __callback__ by hand) finds no
// memo, or no entry, and does nothing.
PyObject* forget_instance(PyObject* self, PyObject* /*weakref*/) {
  if (!PyTuple_CheckExact(self) || PyTuple_GET_SIZE(self) != 2) Py_RETURN_NONE;
  void* key = PyLong_AsVoidPtr(PyTuple_GET_ITEM(self, 1));
  if (!key && PyErr_Occurred()) return nullptr;
  auto* slot = static_cast<StateSlot*>(PyModule_GetState(PyTuple_GET_ITEM(self, 0)));
  if (!slot && PyErr_Occurred()) return nullptr;
  if (ModuleState* st = slot ? slot->get() : nullptr) st->memo().forget(key);
  Py_RETURN_NONE;
}

PyMethodDef kForget = {"_forget_table_descriptions", forget_instance, METH_O, nullptr};

}  // namespace

void DescriptionMemo::forget(const void* instance) noexcept {
  auto found = entries_.find(instance);
  if (found == entries_.end()) return;
  // Out of the table first: releasing the descriptions may run code that uses it.
  Entry entry = std::move(found->second);
  entries_.erase(found);
}

Object DescriptionMemo::lookup(Handle instance, Handle table_name) const {
  auto found = entries_.find(instance.ptr());
  if (found == entries_.end()) return {};
  PyObject* description = PyDict_GetItemWithError(found->second.tables.ptr(), table_name.ptr());
  if (!description && PyErr_Occurred()) throw_python_error();
  return own(description);
}

void DescriptionMemo::store(Handle module, Handle instance, Handle table_name, Handle description) {
  Object tables;
  auto found = entries_.find(instance.ptr());
  if (found != entries_.end()) {
    tables = found->second.tables;
  } else {
    Object address = steal_or_throw(PyLong_FromVoidPtr(instance.ptr()));
    Object self = make_tuple(module, address);
    Object callback = steal_or_throw(PyCFunction_New(&kForget, self.ptr()));
    PyObject* weakref = PyWeakref_NewRef(instance.ptr(), callback.ptr());
    if (!weakref) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
      PyErr_Clear();  // not weakly referenceable: answer without memoising
      return;
    }
    Entry entry{Object::steal(weakref), new_dict()};
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
