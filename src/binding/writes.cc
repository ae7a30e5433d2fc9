// Writes: put and _delete, nested transactions with savepoints, and revert.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/deepcopy.h"
#include "binding/members.h"
#include "binding/runtime.h"
#include "sqltext/quoting.h"

namespace velmor::binding {
namespace {

bool ends_internal(Handle table_name) {
  if (!PyUnicode_Check(table_name.ptr())) {
    PyErr_Format(PyExc_TypeError, "the table name must be a str, not %.200s",
                 Py_TYPE(table_name.ptr())->tp_name);
    throw_python_error();
  }
  return sqltext::is_internal_table(Utf8(table_name));
}

void set_item(Handle mapping, Handle key, Handle value) {
  if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw_python_error();
}

Object get_item(Handle mapping, Handle key) {
  return steal_or_throw(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// `prefix + name`, as Python adds them (a name's own __radd__ included).
Object concat(PyObject* prefix, Handle name) {
  return steal_or_throw(PyNumber_Add(prefix, name.ptr()));
}

// The dict of (key, value) pairs, in their order.
Object dict_of(const std::vector<std::pair<Object, Object>>& pairs) {
  Object dict = new_dict();
  for (const auto& [key, value] : pairs) set_item(dict, key, value);
  return dict;
}

// A write inside begin() must land in the transaction that begin() opened. When the
// connection holds none (it was lost and reopened, or someone ended it behind our
// back), the driver's autocommit would keep the write at once, beyond the reach of
// the caller's rollback. Connections that cannot tell are trusted.
bool holds_no_transaction(const ModuleState& st, Handle self) {
  Object connection = st.attr(self, Name::_connection);
  if (connection.is_none()) return false;  // execute reports the missing connection
  PyObject* probe = PyObject_GetAttr(connection.ptr(), st.name(Name::get_transaction_status));
  if (!probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
  }
  Object status = call(Object::steal(probe));
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
  RevertEntryProbe(const ModuleState& st, Handle self) : st_(st) {
    Object levels = st.attr(self, Name::_revert_data);
    Py_ssize_t depth = PyObject_Length(levels.ptr());
    if (depth < 0) throw_python_error();
    if (depth == 0) return;  // _add_revert_data reports the missing level itself
    level_ = steal_or_throw(PySequence_GetItem(levels.ptr(), depth - 1));
    size_ = PyObject_Length(level_.ptr());
    if (size_ < 0) throw_python_error();
  }

  // The recorded object, or a null object when the level did not grow.
  Object gained() const;

  // After a failed _add_revert_data: takes back whatever it recorded before failing.
  void take_back(Handle self) const;

 private:
  const ModuleState& st_;
  Object level_;
  Py_ssize_t size_ = 0;
};

Object RevertEntryProbe::gained() const {
  if (!level_) return {};
  Py_ssize_t size = PyObject_Length(level_.ptr());
  if (size < 0) throw_python_error();
  if (size <= size_) return {};
  return steal_or_throw(PySequence_GetItem(level_.ptr(), size - 1));
}

// Takes a failed put's revert entry back out of whichever level holds it now,
// innermost first, by identity: callbacks may have opened or closed levels since, and
// recorded other entries, equal ones included. Runs while the put's error is held
// aside, so its own failure must not replace that error (only a thread's exit passes).
void forget_revert_entry(const ModuleState& st, Handle self, Handle entry) {
  PendingError pending;
  try {
    Object levels = st.attr(self, Name::_revert_data);
    Py_ssize_t depth = PyObject_Length(levels.ptr());
    if (depth < 0) throw_python_error();
    for (Py_ssize_t d = depth - 1; d >= 0; --d) {
      Object level = steal_or_throw(PySequence_GetItem(levels.ptr(), d));
      Py_ssize_t size = PyObject_Length(level.ptr());
      if (size < 0) throw_python_error();
      for (Py_ssize_t i = size - 1; i >= 0; --i) {
        Object candidate = steal_or_throw(PySequence_GetItem(level.ptr(), i));
        if (candidate.ptr() != entry.ptr()) continue;
        if (PySequence_DelItem(level.ptr(), i) < 0) throw_python_error();
        return;
      }
    }
  } catch (...) {
    VELMOR_PASS_THREAD_EXIT
    // Dropped on purpose: the put's own error is the one its caller must see.
  }
}

void RevertEntryProbe::take_back(Handle self) const {
  PendingError pending;
  try {
    if (Object recorded = gained()) forget_revert_entry(st_, self, recorded);
  } catch (...) {
    VELMOR_PASS_THREAD_EXIT
  }
}

// `method(args...)`, `method` being `self.<name>` as looked up: the class's own member is
// run in place when the call is one it takes as it is (`as_is`: the exact types it demands
// hold), which is what calling it would run.
template <typename... A>
Object invoke(ModuleState& st, const Method& method, Impl impl, bool as_is, Handle self, A... args) {
  if (method.is_own() && as_is) {
    PyObject* slots[] = {self.ptr(), Handle(args).ptr()...};
    return impl(Args{st, slots});
  }
  return method(args...);
}

// The columns an insert keeps: as (key, value) pairs while every key is an exact str, so
// that the class's own builder can take them without a dict, else as the dict.
struct KeptColumns {
  bool as_pairs;
  std::vector<std::pair<Object, Object>> pairs;
  Object dict;

  void keep(Handle key, Object value) {
    if (as_pairs && PyUnicode_CheckExact(key.ptr())) {
      pairs.emplace_back(own(key), std::move(value));
      return;
    }
    if (as_pairs) {  // a key of another type: hashing it may run code, so from now on the dict
      dict = dict_of(pairs);
      pairs.clear();
      as_pairs = false;
    }
    set_item(dict, key, value);
  }
  Object as_dict() const { return as_pairs ? dict_of(pairs) : dict; }
};

// Whether looking an exact str up in `mapping` runs no code: an exact dict whose keys are
// all exact strs compares them without calling any __eq__.
bool answers_quietly(Handle mapping) {
  if (!PyDict_CheckExact(mapping.ptr())) return false;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(mapping.ptr(), &position, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

// {key: self.process_value_before_insert(value, description[key])
//  for key, value in insert_data.items() if key in description}
// Walked with the mapping's own iterator: the adaptation may run code that reaches the
// copy (cyclic data), and a change then fails as it would in Python. Each key asks
// `key in description`, looks the method up and reads `description[key]`, as the
// comprehension does; while no Python code can have run since the last key's look-up (an
// exact str key, a description that answers it quietly, the class's own adaptation), that
// look-up and one read of the dict are those answers.
KeptColumns kept_columns(ModuleState& st, Handle self, Handle insert_data, Handle description) {
  KeptColumns kept{st.fast_paths() && PyDict_CheckExact(insert_data.ptr()), {}, {}};
  if (kept.as_pairs) {
    kept.pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(insert_data.ptr())));
  } else {
    kept.dict = new_dict();
  }
  std::optional<Method> adapt;  // the last key's look-up
  bool settled = false;         // nothing can have run since, and the description answers quietly
  auto keep = [&](Handle key, Handle value) {
    Object data_type;
    if (settled && PyUnicode_CheckExact(key.ptr())) {
      PyObject* found = PyDict_GetItemWithError(description.ptr(), key.ptr());
      if (!found) {
        if (PyErr_Occurred()) throw_python_error();
        return;
      }
      data_type = own(found);
    } else {
      settled = false;
      const int known = PySequence_Contains(description.ptr(), key.ptr());
      if (known < 0) throw_python_error();
      if (!known) return;
      adapt.emplace(st.method(self, Name::process_value_before_insert));
      data_type = get_item(description, key);
      settled = st.fast_paths() && PyUnicode_CheckExact(key.ptr()) && answers_quietly(description);
    }
    Object adapted;
    if (adapt->is_own() && PyUnicode_CheckExact(data_type.ptr())) {
      bool ran_python = false;
      adapted = adapt_value(st, value, data_type, ran_python);
      settled = settled && !ran_python;
    } else {
      adapted = (*adapt)(value, data_type);
      settled = false;
    }
    kept.keep(key, std::move(adapted));
    settled = settled && kept.as_pairs;  // a key set into the dict may have run its __hash__
  };
  if (PyDict_CheckExact(insert_data.ptr())) {
    Object key, value;
    for (DictWalk entries(insert_data); entries.next(key, value);) keep(key, value);
  } else {  // a deepcopy patched in may return any mapping
    Object entries = steal_or_throw(PyObject_GetIter(st.call_method(insert_data, Name::items).ptr()));
    while (Object entry = next_item(entries)) {
      auto [key, value] = unpack2(entry);
      keep(key, value);
    }
  }
  return kept;
}

// The insert of put, from the caller's address and data on.
void write_row(ModuleState& st, Handle self, Handle address, Handle data) {
  Object service = st.attr(self, Name::table_schema_manager);
  Object table = st.call_method(service, Name::resolve_table_name, address);
  const bool internal = ends_internal(table);
  Object copier = st.global(Name::deepcopy);
  Object insert_data = st.is_standard_deepcopy(copier) ? deep_copy(data, copier) : call(copier, data);
  // insert_data[<key>] = address.<attribute>: the value is read before the key.
  auto take = [&](Name key, Name attribute) {
    Object value = st.attr(address, attribute);
    set_item(insert_data, st.global(key), value);
  };
  take(Name::PRIMARY_PARTITION_KEY, Name::object_id);
  if (!internal) take(Name::SECONDARY_PARTITION_KEY, Name::object_version);
  if (holds_ascii(table, "metadata")) {
    for (Name key : {Name::object_id, Name::object_version}) {
      Object value = get_item(get_item(data, st.name(Name::address)), st.name(key));
      set_item(insert_data, st.name(key), value);
    }
  }
  const bool plain_table = PyUnicode_CheckExact(table.ptr());
  Method describe = st.method(self, Name::_describe_table);
  Object description = invoke(st, describe, describe_table, plain_table, self, table);
  KeptColumns kept = kept_columns(st, self, insert_data, description);
  Method build = st.method(self, Name::_build_insert_statement);
  std::pair<Object, Object> statement = build.is_own() && kept.as_pairs && plain_table
                                            ? insert_statement_of(st, self, table, kept.pairs)
                                            : unpack2(invoke(st, build, build_insert_statement, plain_table, self,
                                                             table, kept.as_dict()));
  execute_spread(st, self, statement.first, statement.second);
}

[[noreturn]] void raise_no_transaction(const ModuleState& st, const char* what) {
  st.raise_connection_error(std::string(what) + " failed: no transaction is in progress");
}

}  // namespace

Object savepoint_name(const Args& a) {
  const ModuleState& st = a.st;
  Object letters = st.attr(st.global(Name::string), Name::ascii_letters);
  Object chosen = st.call_method_kw(st.global(Name::random), Name::choices, Kw::K, letters, int_(10));
  return steal_or_throw(PyUnicode_Join(st.text(Text::empty), chosen.ptr()));
}

Object put(const Args& a) {
  ModuleState& st = a.st;
  Handle self = a[0], address = a[1], data = a[2];
  if (truthy(st.attr(self, Name::_revert_data)) && holds_no_transaction(st, self)) raise_no_transaction(st, "Write");
  Object recorded;  // what this put recorded for revert, taken back if the write fails
  if (truthy(st.attr(self, Name::_is_revert_enabled))) {
    // self._add_revert_data(address.model_copy(), data): the method is looked up first.
    Method add = st.method(self, Name::_add_revert_data);
    Object copy = st.call_method(address, Name::model_copy);
    RevertEntryProbe probe(st, self);
    try {
      invoke(st, add, add_revert_data, PyDict_CheckExact(data.ptr()), self, copy, data);
      recorded = probe.gained();
    } catch (...) {
      VELMOR_PASS_THREAD_EXIT
      probe.take_back(self);
      throw;
    }
  }
  try {
    write_row(st, self, address, data);
  } catch (...) {
    VELMOR_PASS_THREAD_EXIT
    // The row was not written, whatever stopped it: a later revert must not delete a
    // row of this address.
    if (recorded) forget_revert_entry(st, self, recorded);
    throw;
  }
  return none();
}

Object begin(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0];
  Object levels = st.attr(self, Name::_revert_data);
  st.call_method(levels, Name::append, new_list());
  Py_ssize_t depth = PyObject_Length(levels.ptr());
  if (depth < 0) throw_python_error();
  if (depth > 1) {
    Object savepoint = st.call_method(self, Name::_savepoint_name);
    st.call_method(st.attr(self, Name::_savepoints), Name::append, savepoint);
    Method run = st.method(self, Name::execute);
    run(concat(st.statement(Statement::SavepointPrefix), savepoint));
  } else {
    st.call_method(self, Name::execute, st.statement(Statement::Begin));
  }
  return none();
}

Object commit(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0];
  Object levels = st.attr(self, Name::_revert_data);
  Object operations = st.pop_last(levels);
  Object savepoints = st.attr(self, Name::_savepoints);
  if (truthy(levels)) {
    // An inner level ends without a statement: its savepoint stays open in the
    // database and its writes become the enclosing level's to revert.
    if (truthy(savepoints)) st.pop_last(savepoints);
    st.call_method(last_item(levels), Name::extend, operations);
    return none();
  }
  // Names left over (after on_transaction_complete mid-transaction) name savepoints
  // that end with the transaction.
  st.call_method(savepoints, Name::clear);
  if (holds_no_transaction(st, self)) raise_no_transaction(st, "Commit");
  Object cursor = st.call_method(self, Name::execute, st.statement(Statement::Commit));
  // PostgreSQL answers COMMIT of a transaction aborted by an earlier error with the
  // status ROLLBACK and no error: nothing was kept.
  PyObject* status = PyObject_GetAttr(cursor.ptr(), st.name(Name::statusmessage));
  if (!status) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();  // an execute that returns no driver cursor has nothing to check
    return none();
  }
  Object answer = Object::steal(status);
  int aborted = PyObject_RichCompareBool(answer.ptr(), st.statement(Statement::Rollback), Py_EQ);
  if (aborted < 0) throw_python_error();
  if (aborted) st.raise_connection_error("Commit failed: the database rolled the transaction back");
  return none();
}

Object rollback(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0];
  Object levels = st.attr(self, Name::_revert_data);
  Object savepoints = st.attr(self, Name::_savepoints);
  Py_ssize_t depth = PyObject_Length(levels.ptr());
  if (depth < 0) throw_python_error();
  // An inner level needs its savepoint: without one, refuse before anything changes
  // rather than roll back more or less than the level.
  if (depth > 1 && !truthy(savepoints)) st.pop_last(savepoints);
  st.pop_last(levels);
  if (truthy(levels)) {
    Object savepoint = st.pop_last(savepoints);
    Method run = st.method(self, Name::execute);
    run(concat(st.statement(Statement::RollbackToPrefix), savepoint));
  } else {
    st.call_method(savepoints, Name::clear);
    st.call_method(self, Name::execute, st.statement(Statement::Rollback));
  }
  return none();
}

Object on_transaction_complete(const Args& a) {
  a.st.call_method(a.st.attr(a[0], Name::_revert_data), Name::clear);
  return none();
}

Object revert(const Args& a) {
  ModuleState& st = a.st;
  Handle self = a[0];
  if (!truthy(st.attr(self, Name::_is_revert_enabled))) st.raise_connection_error("Revert is not supported");
  // The deletes must land in the transaction that holds the writes. After a lost
  // connection there is none, and autocommitted deletes would remove rows that
  // others committed since.
  if (truthy(st.attr(self, Name::_revert_data)) && holds_no_transaction(st, self)) raise_no_transaction(st, "Revert");
  st.set_attr(self, Name::_is_revert_enabled, bool_(false));
  try {
    // Newest first, over a copy of the level taken now, using only each entry's
    // address: a _delete that changes the level cannot change what is deleted, and
    // a host may record entries with more than two items.
    Object entries = steal_or_throw(PySequence_List(last_item(st.attr(self, Name::_revert_data)).ptr()));
    Object first = int_(0);
    for (Py_ssize_t i = PyList_GET_SIZE(entries.ptr()) - 1; i >= 0; --i) {
      // `entries` is our own list: nothing else can change it.
      Object entry = own(PyList_GET_ITEM(entries.ptr(), i));
      // self._delete(entry[0]): the method is looked up first.
      Method remove = st.method(self, Name::_delete);
      Object address = steal_or_throw(PyObject_GetItem(entry.ptr(), first.ptr()));
      invoke(st, remove, delete_record, true, self, address);
    }
  } catch (...) {
    VELMOR_PASS_THREAD_EXIT
    // Recording must come back on whatever happened to the deletes.
    PendingError pending;
    if (PyObject_SetAttr(self.ptr(), st.name(Name::_is_revert_enabled), Py_True) < 0) PyErr_Clear();
    throw;
  }
  st.set_attr(self, Name::_is_revert_enabled, bool_(true));
  Object levels = st.attr(self, Name::_revert_data);
  st.pop_last(levels);
  // Closing an inner level closes its savepoint level too, as commit does, so that a
  // later rollback of the enclosing level does not stop at this level's savepoint.
  if (truthy(levels)) {
    Object savepoints = st.attr(self, Name::_savepoints);
    if (truthy(savepoints)) st.pop_last(savepoints);
  }
  return none();
}

Object add_revert_data(const Args& a) {
  const ModuleState& st = a.st;
  Object level = last_item(st.attr(a[0], Name::_revert_data));
  st.call_method(level, Name::append, make_tuple(a[1], a[2]));
  return none();
}

Object delete_record(const Args& a) {
  ModuleState& st = a.st;
  Handle self = a[0], address = a[1];
  Object version = st.attr(address, Name::object_version);
  if (st.is_instance_of_class(version, st.global(Name::Versions))) {
    Object text = steal_or_throw(PyObject_Format(version.ptr(), st.text(Text::empty)));
    Object message = steal_or_throw(
        PyUnicode_FromFormat("Deleting in reverse requires a specific version. Current version is %U.", text.ptr()));
    st.raise_connection_error(Utf8(message));
  }
  Object service = st.attr(self, Name::table_schema_manager);
  Object table = st.call_method(service, Name::resolve_table_name, address);
  const bool internal = ends_internal(table);
  // {PRIMARY_PARTITION_KEY: address.object_id}, then [SECONDARY_PARTITION_KEY] =
  // address.object_version: kept as pairs while the keys are distinct exact strs (building
  // the dict would run no code), so that the class's own builder can take them without it.
  bool plain = st.fast_paths() && PyUnicode_CheckExact(table.ptr());
  std::vector<std::pair<Object, Object>> pairs;
  pairs.reserve(2);
  Object data;
  auto add = [&](Object key, Object value) {
    if (plain && PyUnicode_CheckExact(key.ptr()) &&
        (pairs.empty() || PyUnicode_Compare(pairs.front().first.ptr(), key.ptr()) != 0)) {
      pairs.emplace_back(std::move(key), std::move(value));
      return;
    }
    if (!data) data = dict_of(pairs);
    plain = false;
    set_item(data, key, value);  // hashing this key may run code: just where Python would
  };
  {
    Object key = st.global(Name::PRIMARY_PARTITION_KEY);  // a dict display reads the key first
    add(std::move(key), st.attr(address, Name::object_id));
  }
  if (!internal) {
    Object value = st.attr(address, Name::object_version);  // an assignment reads the value first
    add(st.global(Name::SECONDARY_PARTITION_KEY), std::move(value));
  }
  Method build = st.method(self, Name::_build_delete_statement);
  std::pair<Object, Object> statement;
  if (plain && build.is_own()) {
    statement = delete_statement_of(st, self, table, pairs);
  } else {
    if (!data) data = dict_of(pairs);
    statement = unpack2(invoke(st, build, build_delete_statement, PyUnicode_CheckExact(table.ptr()), self, table, data));
  }
  execute_spread(st, self, statement.first, statement.second);
  return none();
}

}  // namespace velmor::binding
