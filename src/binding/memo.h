// The memo of table descriptions, shared by all instances of one import of the class.
//
// Entries are held per (instance, table name) without bound, but the instance is
// referenced weakly: when it is freed, its entries go with it.
#pragma once

#include <pybind11/pybind11.h>

#include <unordered_map>

namespace velmor::binding {

namespace py = pybind11;

class DescriptionMemo {
 public:
  DescriptionMemo() = default;
  DescriptionMemo(const DescriptionMemo&) = delete;
  DescriptionMemo& operator=(const DescriptionMemo&) = delete;

  // The stored description, or a null object when there is none.
  py::object lookup(py::handle instance, py::handle table_name) const;

  // Stores `description`; instances that cannot be weakly referenced are not memoised.
  void store(py::handle instance, py::handle table_name, py::handle description);

  // Drops the entries of a freed instance (its weak reference's callback).
  void forget(PyObject* instance) noexcept;

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

 private:
  struct Entry {
    py::object weakref;  // its callback drops the entry
    py::object tables;   // dict: table name -> description
  };

  // Keyed by the instance's address. The weak reference's callback runs while the
  // instance is being freed, before its address can be reused; it can only run while
  // the entry holds the weak reference, so while this memo exists.
  std::unordered_map<PyObject*, Entry> entries_;
};

}  // namespace velmor::binding
