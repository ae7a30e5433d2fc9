// Writes: put and _delete, nested transactions with savepoints, and revert.
#include <string_view>

#include "binding/deepcopy.h"
#include "binding/members.h"
#include "binding/runtime.h"
#include "sqltext/constants.h"
#include "sqltext/quoting.h"

namespace velmor::binding {
namespace {

py::object none() { return py::none(); }

bool ends_internal(py::handle table_name) {
  if (!PyUnicode_Check(table_name.ptr())) {
    PyErr_Format(PyExc_TypeError, "the table name must be a str, not %.200s",
                 Py_TYPE(table_name.ptr())->tp_name);
    throw_python_error();
  }
  return sqltext::is_internal_table(utf8(table_name));
}

void set_item(py::handle mapping, py::handle key, py::handle value) {
  if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw_python_error();
}

py::object get_item(py::handle mapping, py::handle key) {
  return steal_or_throw(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

py::object statement(PyObject* prefix, py::handle name) {
  return steal_or_throw(PyUnicode_Concat(prefix, name.ptr()));
}

// Takes the revert entry (copy, data) that a failed put recorded out of the
// innermost level again. Runs while the put's error is held, so its own failure
// must not replace that error.
void forget_revert_entry(py::handle self, py::handle copy, py::handle data) noexcept {
  try {
    py::object level = last_item(get_attr(self, Name::_revert_data));
    Py_ssize_t size = PySequence_Size(level.ptr());
    if (size < 0) throw_python_error();
    for (Py_ssize_t i = size - 1; i >= 0; --i) {
      py::object entry = steal_or_throw(PySequence_GetItem(level.ptr(), i));
      if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 2) continue;
      if (PyTuple_GET_ITEM(entry.ptr(), 0) != copy.ptr() ||
          PyTuple_GET_ITEM(entry.ptr(), 1) != data.ptr())
        continue;
      if (PySequence_DelItem(level.ptr(), i) < 0) throw_python_error();
      return;
    }
  } catch (py::error_already_set&) {
    // error_already_set has taken the secondary error; dropping it is intended.
  } catch (...) {
  }
}

}  // namespace

py::object savepoint_name(Args) {
  py::object letters = get_attr(global(Name::string), Name::ascii_letters);
  py::object chosen = call_method_kw(global(Name::random), Name::choices, kw_k(), letters,
                                     py::int_(10));
  static PyObject* empty = constant_str("");
  return steal_or_throw(PyUnicode_Join(empty, chosen.ptr()));
}

py::object put(Args a) {
  py::handle self = a[0], address = a[1], data = a[2];
  py::object copy;
  if (truthy(get_attr(self, Name::_is_revert_enabled))) {
    copy = call_method(address, Name::model_copy);
    call_method(self, Name::_add_revert_data, copy, data);
  }
  try {
    py::object service = get_attr(self, Name::table_schema_manager);
    py::object table = call_method(service, Name::resolve_table_name, address);
    const bool internal = ends_internal(table);
    py::object copier = global(Name::deepcopy);
    py::object insert_data = copier.ptr() == standard_deepcopy() ? deep_copy(data, copier)
                                                                  : call(copier, data);
    set_item(insert_data, global(Name::PRIMARY_PARTITION_KEY), get_attr(address, Name::object_id));
    if (!internal)
      set_item(insert_data, global(Name::SECONDARY_PARTITION_KEY),
               get_attr(address, Name::object_version));
    if (utf8(table) == "metadata") {
      py::object stored_address = get_item(data, name(Name::address));
      set_item(insert_data, name(Name::object_id), get_item(stored_address, name(Name::object_id)));
      set_item(insert_data, name(Name::object_version),
               get_item(stored_address, name(Name::object_version)));
    }
    py::object description = call_method(self, Name::_describe_table, table);

    py::dict columns;
    auto keep = [&](py::handle key, py::handle value) {
      py::object data_type;
      if (PyDict_CheckExact(description.ptr())) {
        PyObject* found = PyDict_GetItemWithError(description.ptr(), key.ptr());
        if (!found) {
          if (PyErr_Occurred()) throw_python_error();
          return;
        }
        data_type = py::reinterpret_borrow<py::object>(found);
      } else {
        int known = PySequence_Contains(description.ptr(), key.ptr());
        if (known < 0) throw_python_error();
        if (!known) return;
        data_type = get_item(description, key);
      }
      py::object adapted = call_method(self, Name::process_value_before_insert, value, data_type);
      if (PyDict_SetItem(columns.ptr(), key.ptr(), adapted.ptr()) < 0) throw_python_error();
    };
    if (PyDict_CheckExact(insert_data.ptr())) {
      // The copy is this call's own: nothing else can change it while it is read.
      Py_ssize_t position = 0;
      PyObject *key, *value;
      while (PyDict_Next(insert_data.ptr(), &position, &key, &value)) {
        py::object held_key = py::reinterpret_borrow<py::object>(key);
        py::object held_value = py::reinterpret_borrow<py::object>(value);
        keep(held_key, held_value);
      }
    } else {
      for (py::handle entry : call_method(insert_data, Name::items)) {
        auto [key, value] = unpack2(entry);
        keep(key, value);
      }
    }
    auto [text, values] = unpack2(call_method(self, Name::_build_insert_statement, table, columns));
    call_method_spread(self, Name::execute, text, values);
  } catch (py::error_already_set&) {
    // The row was not written: a later revert must not delete a row of this address.
    if (copy) forget_revert_entry(self, copy, data);
    throw;
  }
  return none();
}

py::object begin(Args a) {
  py::handle self = a[0];
  py::object levels = get_attr(self, Name::_revert_data);
  call_method(levels, Name::append, py::list());
  Py_ssize_t depth = PyObject_Length(levels.ptr());
  if (depth < 0) throw_python_error();
  if (depth > 1) {
    py::object savepoint = call_method(self, Name::_savepoint_name);
    call_method(get_attr(self, Name::_savepoints), Name::append, savepoint);
    static PyObject* const prefix = constant_str(sqltext::kSavepointPrefix);
    call_method(self, Name::execute, statement(prefix, savepoint));
  } else {
    static PyObject* const text = constant_str(sqltext::kBegin);
    call_method(self, Name::execute, text);
  }
  return none();
}

py::object commit(Args a) {
  py::handle self = a[0];
  py::object levels = get_attr(self, Name::_revert_data);
  py::object operations = pop_last(levels);
  py::object savepoints = get_attr(self, Name::_savepoints);
  if (truthy(savepoints)) pop_last(savepoints);
  if (truthy(levels))
    call_method(last_item(levels), Name::extend, operations);
  else {
    static PyObject* const text = constant_str(sqltext::kCommit);
    call_method(self, Name::execute, text);
  }
  return none();
}

py::object rollback(Args a) {
  py::handle self = a[0];
  pop_last(get_attr(self, Name::_revert_data));
  py::object savepoints = get_attr(self, Name::_savepoints);
  if (truthy(savepoints)) {
    py::object savepoint = pop_last(savepoints);
    static PyObject* const prefix = constant_str(sqltext::kRollbackToSavepointPrefix);
    call_method(self, Name::execute, statement(prefix, savepoint));
  } else {
    static PyObject* const text = constant_str(sqltext::kRollback);
    call_method(self, Name::execute, text);
  }
  return none();
}

py::object on_transaction_complete(Args a) {
  call_method(get_attr(a[0], Name::_revert_data), Name::clear);
  return none();
}

py::object revert(Args a) {
  py::handle self = a[0];
  if (!truthy(get_attr(self, Name::_is_revert_enabled)))
    raise_connection_error("Revert is not supported");
  set_attr(self, Name::_is_revert_enabled, py::bool_(false));
  try {
    py::object levels = get_attr(self, Name::_revert_data);
    py::object entries = steal_or_throw(PySequence_List(last_item(levels).ptr()));
    for (Py_ssize_t i = PyList_GET_SIZE(entries.ptr()) - 1; i >= 0; --i) {
      auto [address, data] = unpack2(PyList_GET_ITEM(entries.ptr(), i));
      call_method(self, Name::_delete, address);
    }
  } catch (py::error_already_set&) {
    // Recording must come back on whatever happened to the deletes.
    PyObject* on = Py_True;
    if (PyObject_SetAttr(self.ptr(), name(Name::_is_revert_enabled), on) < 0) PyErr_Clear();
    throw;
  }
  set_attr(self, Name::_is_revert_enabled, py::bool_(true));
  pop_last(get_attr(self, Name::_revert_data));
  return none();
}

py::object add_revert_data(Args a) {
  py::object level = last_item(get_attr(a[0], Name::_revert_data));
  call_method(level, Name::append, py::make_tuple(a[1], a[2]));
  return none();
}

py::object delete_record(Args a) {
  py::handle self = a[0], address = a[1];
  py::object version = get_attr(address, Name::object_version);
  if (is_instance(version, global(Name::Versions))) {
    static PyObject* empty = constant_str("");
    py::object text = steal_or_throw(PyObject_Format(version.ptr(), empty));
    py::object message = steal_or_throw(PyUnicode_FromFormat(
        "Deleting in reverse requires a specific version. Current version is %U.", text.ptr()));
    raise_connection_error(utf8(message));
  }
  py::object service = get_attr(self, Name::table_schema_manager);
  py::object table = call_method(service, Name::resolve_table_name, address);
  const bool internal = ends_internal(table);
  py::dict data;
  data[global(Name::PRIMARY_PARTITION_KEY)] = get_attr(address, Name::object_id);
  if (!internal) data[global(Name::SECONDARY_PARTITION_KEY)] = get_attr(address, Name::object_version);
  auto [text, values] = unpack2(call_method(self, Name::_build_delete_statement, table, data));
  call_method_spread(self, Name::execute, text, values);
  return none();
}

}  // namespace velmor::binding
