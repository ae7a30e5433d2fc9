// The memo of table descriptions, shared by all instances of the class.
//
// Entries are held per (instance, table name) without bound, but the instance is
// referenced weakly: when it is freed, its entries go with it.
#pragma once

#include <pybind11/pybind11.h>

namespace velmor::binding {

namespace py = pybind11;

// The stored description, or a null object when there is none.
py::object memo_lookup(py::handle instance, py::handle table_name);

// Stores `description`; instances that cannot be weakly referenced are not memoised.
void memo_store(py::handle instance, py::handle table_name, py::handle description);

}  // namespace velmor::binding
