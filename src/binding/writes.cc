// Writes: put and _delete, nested transactions with savepoints, and revert.
#include <string>
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

// A write inside begin() must land in the transaction that begin() opened. When the
// connection holds none (it was lost and reopened, or someone ended it behind our
// back), the driver's autocommit would keep the write at once, beyond the reach of
// the caller's rollback. Connections that cannot tell are trusted.
bool holds_no_transaction(py::handle self) {
  py::object connection = get_attr(self, Name::_connection);
  if (connection.is_none()) return false;  // execute reports the missing connection
  PyObject* probe = PyObject_GetAttr(connection.ptr(), name(Name::get_transaction_status));
  if (!probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
  }
  py::object status = call(py::reinterpret_steal<py::object>(probe));
  // libpq's PQTRANS_IDLE: connected, and no transaction block open.
  return PyLong_CheckExact(status.ptr()) && PyLong_AsLong(status.ptr()) == 0;
}

// Finds what `_add_revert_data` records: the object that the innermost level gains
// during the call, whatever its shape (a host may record a snapshot of the data).
class RevertEntryProbe {
 public:
  explicit RevertEntryProbe(py::handle self) {
    py::object levels = get_attr(self, Name::_revert_data);
    Py_ssize_t depth = PyObject_Length(levels.ptr());
    if (depth < 0) throw_python_error();
    if (depth == 0) return;  // _add_revert_data reports the missing level itself
    level_ = steal_or_throw(PySequence_GetItem(levels.ptr(), depth - 1));
    size_ = PyObject_Length(level_.ptr());
    if (size_ < 0) throw_python_error();
  }

  // The recorded object, or a null object when the level did not grow.
  py::object gained() const;

  // After a failed _add_revert_data: takes back whatever it recorded before failing.
  void take_back(py::handle self) const noexcept;

 private:
  py::object level_;
  Py_ssize_t size_ = 0;
};

py::object RevertEntryProbe::gained() const {
  if (!level_) return {};
  Py_ssize_t size = PyObject_Length(level_.ptr());
  if (size < 0) throw_python_error();
  if (size <= size_) return {};
  return steal_or_throw(PySequence_GetItem(level_.ptr(), size - 1));
}

// Takes a failed put's revert entry back out of whichever level holds it now,
// innermost first, by identity: callbacks may have opened or closed levels since.
// Runs while the put's error is held, so its own failure must not replace it.
void forget_revert_entry(py::handle self, py::handle entry) noexcept {
  try {
    py::object levels = get_attr(self, Name::_revert_data);
    Py_ssize_t depth = PyObject_Length(levels.ptr());
    if (depth < 0) throw_python_error();
    for (Py_ssize_t d = depth - 1; d >= 0; --d) {
      py::object level = steal_or_throw(PySequence_GetItem(levels.ptr(), d));
      Py_ssize_t size = PyObject_Length(level.ptr());
      if (size < 0) throw_python_error();
      for (Py_ssize_t i = size - 1; i >= 0; --i) {
        py::object candidate = steal_or_throw(PySequence_GetItem(level.ptr(), i));
        if (candidate.ptr() != entry.ptr()) continue;
        if (PySequence_DelItem(level.ptr(), i) < 0) throw_python_error();
        return;
      }
    }
  } catch (py::error_already_set&) {
    // error_already_set has taken the secondary error; dropping it is intended.
  } catch (...) {
  }
}

void RevertEntryProbe::take_back(py::handle self) const noexcept {
  try {
    if (py::object recorded = gained()) forget_revert_entry(self, recorded);
  } catch (py::error_already_set&) {
  }
}

[[noreturn]] void raise_no_transaction(const char* what) {
  raise_connection_error(std::string(what) + " failed: no transaction is in progress");
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
  if (truthy(get_attr(self, Name::_revert_data)) && holds_no_transaction(self))
    raise_no_transaction("Write");
  py::object recorded;  // what this put recorded for revert, taken back if the write fails
  if (truthy(get_attr(self, Name::_is_revert_enabled))) {
    py::object copy = call_method(address, Name::model_copy);
    RevertEntryProbe probe(self);
    try {
      call_method(self, Name::_add_revert_data, copy, data);
    } catch (py::error_already_set&) {
      probe.take_back(self);
      throw;
    }
    recorded = probe.gained();
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
    if (recorded) forget_revert_entry(self, recorded);
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
  if (truthy(levels)) {
    // An inner level ends without a statement: its savepoint stays open in the
    // database and its writes become the enclosing level's to revert.
    if (truthy(savepoints)) pop_last(savepoints);
    call_method(last_item(levels), Name::extend, operations);
    return none();
  }
  // Names left over (after on_transaction_complete mid-transaction) name savepoints
  // that end with the transaction.
  call_method(savepoints, Name::clear);
  if (holds_no_transaction(self)) raise_no_transaction("Commit");
  static PyObject* const text = constant_str(sqltext::kCommit);
  py::object cursor = call_method(self, Name::execute, text);
  // PostgreSQL answers COMMIT of a transaction aborted by an earlier error with the
  // status ROLLBACK and no error: nothing was kept.
  PyObject* status = PyObject_GetAttr(cursor.ptr(), name(Name::statusmessage));
  if (!status) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();  // an execute that returns no driver cursor has nothing to check
    return none();
  }
  py::object held = py::reinterpret_steal<py::object>(status);
  static PyObject* const rolled_back = constant_str(sqltext::kRollback);
  int aborted = PyObject_RichCompareBool(held.ptr(), rolled_back, Py_EQ);
  if (aborted < 0) throw_python_error();
  if (aborted) raise_connection_error("Commit failed: the database rolled the transaction back");
  return none();
}

py::object rollback(Args a) {
  py::handle self = a[0];
  py::object levels = get_attr(self, Name::_revert_data);
  py::object savepoints = get_attr(self, Name::_savepoints);
  Py_ssize_t depth = PyObject_Length(levels.ptr());
  if (depth < 0) throw_python_error();
  // An inner level needs its savepoint: without one, refuse before anything changes
  // rather than roll back more or less than the level.
  if (depth > 1 && !truthy(savepoints)) pop_last(savepoints);
  pop_last(levels);
  if (truthy(levels)) {
    py::object savepoint = pop_last(savepoints);
    static PyObject* const prefix = constant_str(sqltext::kRollbackToSavepointPrefix);
    call_method(self, Name::execute, statement(prefix, savepoint));
  } else {
    call_method(savepoints, Name::clear);
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
  py::object levels = get_attr(self, Name::_revert_data);
  pop_last(levels);
  // Closing an inner level closes its savepoint level too, as commit does, so that a
  // later rollback of the enclosing level does not stop at this level's savepoint.
  if (truthy(levels)) {
    py::object savepoints = get_attr(self, Name::_savepoints);
    if (truthy(savepoints)) pop_last(savepoints);
  }
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
