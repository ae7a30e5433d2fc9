// Writes: put and _delete, nested transactions with savepoints, and revert.
#include <string>
#include <string_view>

#include "binding/deepcopy.h"
#include "binding/members.h"
#include "binding/runtime.h"
#include "sqltext/quoting.h"

namespace velmor::binding {
namespace {

bool ends_internal(py::handle table_name) {
  if (!PyUnicode_Check(table_name.ptr())) {
    PyErr_Format(PyExc_TypeError, "the table name must be a str, not %.200s",
                 Py_TYPE(table_name.ptr())->tp_name);
    throw_python_error();
  }
  return sqltext::is_internal_table(Utf8(table_name));
}

void set_item(py::handle mapping, py::handle key, py::handle value) {
  if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw_python_error();
}

py::object get_item(py::handle mapping, py::handle key) {
  return steal_or_throw(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

py::object concat(PyObject* prefix, py::handle name) {
  return steal_or_throw(PyUnicode_Concat(prefix, name.ptr()));
}

// A write inside begin() must land in the transaction that begin() opened. When the
// connection holds none (it was lost and reopened, or someone ended it behind our
// back), the driver's autocommit would keep the write at once, beyond the reach of
// the caller's rollback. Connections that cannot tell are trusted.
bool holds_no_transaction(const ModuleState& st, py::handle self) {
  py::object connection = st.attr(self, Name::_connection);
  if (connection.is_none()) return false;  // execute reports the missing connection
  PyObject* probe = PyObject_GetAttr(connection.ptr(), st.name(Name::get_transaction_status));
  if (!probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
  }
  py::object status = call(py::reinterpret_steal<py::object>(probe));
  // libpq's PQTRANS_IDLE: connected, and no transaction block open. Any other answer,
  // an int too large for a long included, is not idle (and leaves no error behind).
  if (!PyLong_CheckExact(status.ptr())) return false;
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(status.ptr(), &overflow);
  return overflow == 0 && value == 0;
}

// Finds what `_add_revert_data` records: the object that the innermost level gains
// during the call, whatever its shape (a host may record a snapshot of the data).
class RevertEntryProbe {
 public:
  RevertEntryProbe(const ModuleState& st, py::handle self) : st_(st) {
    py::object levels = st.attr(self, Name::_revert_data);
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
  const ModuleState& st_;
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
void forget_revert_entry(const ModuleState& st, py::handle self, py::handle entry) noexcept {
  try {
    py::object levels = st.attr(self, Name::_revert_data);
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
    if (py::object recorded = gained()) forget_revert_entry(st_, self, recorded);
  } catch (py::error_already_set&) {
  }
}

[[noreturn]] void raise_no_transaction(const ModuleState& st, const char* what) {
  st.raise_connection_error(std::string(what) + " failed: no transaction is in progress");
}

}  // namespace

py::object savepoint_name(const Args& a) {
  const ModuleState& st = a.st;
  py::object letters = st.attr(st.global(Name::string), Name::ascii_letters);
  py::object chosen = st.call_method_kw(st.global(Name::random), Name::choices, Kw::K, letters, py::int_(10));
  return steal_or_throw(PyUnicode_Join(st.text(Text::empty), chosen.ptr()));
}

py::object put(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], address = a[1], data = a[2];
  if (truthy(st.attr(self, Name::_revert_data)) && holds_no_transaction(st, self)) raise_no_transaction(st, "Write");
  py::object recorded;  // what this put recorded for revert, taken back if the write fails
  if (truthy(st.attr(self, Name::_is_revert_enabled))) {
    py::object copy = st.call_method(address, Name::model_copy);
    RevertEntryProbe probe(st, self);
    try {
      st.call_method(self, Name::_add_revert_data, copy, data);
    } catch (py::error_already_set&) {
      probe.take_back(self);
      throw;
    }
    recorded = probe.gained();
  }
  try {
    py::object service = st.attr(self, Name::table_schema_manager);
    py::object table = st.call_method(service, Name::resolve_table_name, address);
    const bool internal = ends_internal(table);
    py::object copier = st.global(Name::deepcopy);
    py::object insert_data = copier.ptr() == st.standard_deepcopy() ? deep_copy(data, copier) : call(copier, data);
    set_item(insert_data, st.global(Name::PRIMARY_PARTITION_KEY), st.attr(address, Name::object_id));
    if (!internal) set_item(insert_data, st.global(Name::SECONDARY_PARTITION_KEY), st.attr(address, Name::object_version));
    if (Utf8(table) == "metadata") {
      py::object stored_address = get_item(data, st.name(Name::address));
      set_item(insert_data, st.name(Name::object_id), get_item(stored_address, st.name(Name::object_id)));
      set_item(insert_data, st.name(Name::object_version), get_item(stored_address, st.name(Name::object_version)));
    }
    py::object description = st.call_method(self, Name::_describe_table, table);

    // Only the table's columns, each value adapted to its column's type, walked with
    // the mapping's own iterator: the adaptation may run code that reaches the copy
    // (cyclic data), and a change then fails as it would in Python.
    py::dict columns;
    auto keep = [&](py::handle key, py::handle value) {
      int known = PySequence_Contains(description.ptr(), key.ptr());
      if (known < 0) throw_python_error();
      if (!known) return;
      py::object adapted = st.call_method(self, Name::process_value_before_insert, value, get_item(description, key));
      if (PyDict_SetItem(columns.ptr(), key.ptr(), adapted.ptr()) < 0) throw_python_error();
    };
    if (PyDict_CheckExact(insert_data.ptr())) {
      py::object key, value;
      for (DictWalk entries(insert_data); entries.next(key, value);) keep(key, value);
    } else {  // a deepcopy patched in may return any mapping
      py::object entries = steal_or_throw(PyObject_GetIter(st.call_method(insert_data, Name::items).ptr()));
      while (py::object entry = next_item(entries)) {
        auto [key, value] = unpack2(entry);
        keep(key, value);
      }
    }
    auto [text, values] = unpack2(st.call_method(self, Name::_build_insert_statement, table, columns));
    st.call_method_spread(self, Name::execute, text, values);
  } catch (py::error_already_set&) {
    // The row was not written: a later revert must not delete a row of this address.
    if (recorded) forget_revert_entry(st, self, recorded);
    throw;
  }
  return py::none();
}

py::object begin(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0];
  py::object levels = st.attr(self, Name::_revert_data);
  st.call_method(levels, Name::append, py::list());
  Py_ssize_t depth = PyObject_Length(levels.ptr());
  if (depth < 0) throw_python_error();
  if (depth > 1) {
    py::object savepoint = st.call_method(self, Name::_savepoint_name);
    st.call_method(st.attr(self, Name::_savepoints), Name::append, savepoint);
    st.call_method(self, Name::execute, concat(st.statement(Statement::SavepointPrefix), savepoint));
  } else {
    st.call_method(self, Name::execute, st.statement(Statement::Begin));
  }
  return py::none();
}

py::object commit(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0];
  py::object levels = st.attr(self, Name::_revert_data);
  py::object operations = st.pop_last(levels);
  py::object savepoints = st.attr(self, Name::_savepoints);
  if (truthy(levels)) {
    // An inner level ends without a statement: its savepoint stays open in the
    // database and its writes become the enclosing level's to revert.
    if (truthy(savepoints)) st.pop_last(savepoints);
    st.call_method(last_item(levels), Name::extend, operations);
    return py::none();
  }
  // Names left over (after on_transaction_complete mid-transaction) name savepoints
  // that end with the transaction.
  st.call_method(savepoints, Name::clear);
  if (holds_no_transaction(st, self)) raise_no_transaction(st, "Commit");
  py::object cursor = st.call_method(self, Name::execute, st.statement(Statement::Commit));
  // PostgreSQL answers COMMIT of a transaction aborted by an earlier error with the
  // status ROLLBACK and no error: nothing was kept.
  PyObject* status = PyObject_GetAttr(cursor.ptr(), st.name(Name::statusmessage));
  if (!status) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();  // an execute that returns no driver cursor has nothing to check
    return py::none();
  }
  py::object answer = py::reinterpret_steal<py::object>(status);
  int aborted = PyObject_RichCompareBool(answer.ptr(), st.statement(Statement::Rollback), Py_EQ);
  if (aborted < 0) throw_python_error();
  if (aborted) st.raise_connection_error("Commit failed: the database rolled the transaction back");
  return py::none();
}

py::object rollback(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0];
  py::object levels = st.attr(self, Name::_revert_data);
  py::object savepoints = st.attr(self, Name::_savepoints);
  Py_ssize_t depth = PyObject_Length(levels.ptr());
  if (depth < 0) throw_python_error();
  // An inner level needs its savepoint: without one, refuse before anything changes
  // rather than roll back more or less than the level.
  if (depth > 1 && !truthy(savepoints)) st.pop_last(savepoints);
  st.pop_last(levels);
  if (truthy(levels)) {
    py::object savepoint = st.pop_last(savepoints);
    st.call_method(self, Name::execute, concat(st.statement(Statement::RollbackToPrefix), savepoint));
  } else {
    st.call_method(savepoints, Name::clear);
    st.call_method(self, Name::execute, st.statement(Statement::Rollback));
  }
  return py::none();
}

py::object on_transaction_complete(const Args& a) {
  a.st.call_method(a.st.attr(a[0], Name::_revert_data), Name::clear);
  return py::none();
}

py::object revert(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0];
  if (!truthy(st.attr(self, Name::_is_revert_enabled))) st.raise_connection_error("Revert is not supported");
  // Inside begin(), on a connection that holds no transaction (it was lost and reopened),
  // the deletes would be kept at once and could remove rows another client committed.
  if (truthy(st.attr(self, Name::_revert_data)) && holds_no_transaction(st, self)) {
    raise_no_transaction(st, "Revert");
  }
  st.set_attr(self, Name::_is_revert_enabled, py::bool_(false));
  try {
    // Newest first, through reversed(level) as a for loop walks it: a _delete that
    // changes the level cannot make the walk read past its end.
    py::object level = last_item(st.attr(self, Name::_revert_data));
    py::object entries = call(reinterpret_cast<PyObject*>(&PyReversed_Type), level);
    while (py::object entry = next_item(entries)) {
      auto [address, data] = unpack2(entry);
      st.call_method(self, Name::_delete, address);
    }
  } catch (py::error_already_set&) {
    // Recording must come back on whatever happened to the deletes.
    if (PyObject_SetAttr(self.ptr(), st.name(Name::_is_revert_enabled), Py_True) < 0) PyErr_Clear();
    throw;
  }
  st.set_attr(self, Name::_is_revert_enabled, py::bool_(true));
  py::object levels = st.attr(self, Name::_revert_data);
  st.pop_last(levels);
  // Closing an inner level closes its savepoint level too, as commit does, so that a
  // later rollback of the enclosing level does not stop at this level's savepoint.
  if (truthy(levels)) {
    py::object savepoints = st.attr(self, Name::_savepoints);
    if (truthy(savepoints)) st.pop_last(savepoints);
  }
  return py::none();
}

py::object add_revert_data(const Args& a) {
  const ModuleState& st = a.st;
  py::object level = last_item(st.attr(a[0], Name::_revert_data));
  st.call_method(level, Name::append, py::make_tuple(a[1], a[2]));
  return py::none();
}

py::object delete_record(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], address = a[1];
  py::object version = st.attr(address, Name::object_version);
  if (is_instance(version, st.global(Name::Versions))) {
    py::object text = steal_or_throw(PyObject_Format(version.ptr(), st.text(Text::empty)));
    py::object message = steal_or_throw(
        PyUnicode_FromFormat("Deleting in reverse requires a specific version. Current version is %U.", text.ptr()));
    st.raise_connection_error(Utf8(message));
  }
  py::object service = st.attr(self, Name::table_schema_manager);
  py::object table = st.call_method(service, Name::resolve_table_name, address);
  const bool internal = ends_internal(table);
  py::dict data;
  data[st.global(Name::PRIMARY_PARTITION_KEY)] = st.attr(address, Name::object_id);
  if (!internal) data[st.global(Name::SECONDARY_PARTITION_KEY)] = st.attr(address, Name::object_version);
  auto [text, values] = unpack2(st.call_method(self, Name::_build_delete_statement, table, data));
  st.call_method_spread(self, Name::execute, text, values);
  return py::none();
}

}  // namespace velmor::binding
