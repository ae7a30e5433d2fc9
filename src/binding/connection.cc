// Connection lifecycle, statement execution and table descriptions.
#include <string_view>

#include "binding/members.h"
#include "binding/runtime.h"

namespace velmor::binding {
namespace {

constexpr std::pair<const char*, const char*> kEnvironment[] = {
    {"POSTGRES_HOST", "host"},         {"POSTGRES_PORT", "port"},
    {"POSTGRES_USER", "user"},         {"POSTGRES_PASSWORD", "password"},
    {"POSTGRES_DATABASE", "database"},
};

// Raises VelmorConnectionError naming the failed statement, chained to the driver's
// error exactly as `raise ... from error` inside `except Exception as error` would;
// an error while the message is built is raised instead, with the driver's error as
// its context, as the same handler written in Python would.
[[noreturn]] void raise_statement_error(const ModuleState& st, Handle query, Handle args) {
  Object cause = take_error();
  Object error;
  try {
    Object printed = steal_or_throw(PyObject_Repr(args.ptr()));
    Object message = steal_or_throw(
        PyUnicode_FromFormat("Error executing query: %U with args: %U", query.ptr(), printed.ptr()));
    error = call(st.global(Name::VelmorConnectionError), message);
  } catch (const PythonError&) {
    Object raised = take_error();
    PyException_SetContext(raised.ptr(), cause.release());
    raise_unchained(std::move(raised));
  }
  PyException_SetCause(error.ptr(), cause.new_ref());  // also suppresses the context
  PyException_SetContext(error.ptr(), cause.release());
  raise_unchained(std::move(error));
}

// libpq's rule is that the environment gives defaults, but the environment's keywords
// travel beside the DSN and the driver lets keywords win: drop every one whose parameter
// the DSN names (the environment's `database` is a DSN's `dbname`). A DSN that does not
// parse is left alone, for psycopg2.connect to report as before. In Python:
//   try: named = psycopg2.extensions.parse_dsn(dsn)
//   except Exception: return
//   for key in named:
//       envs.pop(key, None)
//       if key == "dbname": envs.pop("database", None)
void drop_keywords_the_dsn_names(const ModuleState& st, Handle envs, Handle dsn) {
  if (dsn.is_none()) return;
  Object extensions = steal_or_throw(PyImport_ImportModule("psycopg2.extensions"));
  Object parse_dsn = steal_or_throw(PyObject_GetAttrString(extensions.ptr(), "parse_dsn"));
  PyObject* parsed = PyObject_CallOneArg(parse_dsn.ptr(), dsn.ptr());
  if (!parsed) {
    // Running out of memory is no verdict on the DSN: connecting without the rule
    // could reach another server.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw_python_error();
    PyErr_Clear();
    return;
  }
  Object named = Object::steal(parsed);
  Object keys = steal_or_throw(PyObject_GetIter(named.ptr()));
  while (Object key = next_item(keys)) {
    st.call_method(envs, Name::pop, key, Py_None);
    if (PyUnicode_Check(key.ptr()) && PyUnicode_CompareWithASCIIString(key.ptr(), "dbname") == 0)
      st.call_method(envs, Name::pop, to_str("database"), Py_None);
  }
}

// `dbname` and `database` are one connection parameter under two names, and the
// driver refuses both at once: a keyword given to connect under either name replaces
// the environment's under the other. In Python:
//   for name, other in (("dbname", "database"), ("database", "dbname")):
//       if name in kwargs: envs.pop(other, None)
void drop_the_other_database_name(const ModuleState& st, Handle envs, Handle kwargs) {
  constexpr std::pair<const char*, const char*> kNames[] = {{"dbname", "database"}, {"database", "dbname"}};
  for (auto [name, other] : kNames) {
    int given = PyDict_Contains(kwargs.ptr(), to_str(name).ptr());
    if (given < 0) throw_python_error();
    if (given) st.call_method(envs, Name::pop, to_str(other), Py_None);
  }
}

}  // namespace

Object init_instance(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0];
  st.set_attr(self, Name::_is_revert_enabled, a[1]);
  st.set_attr(self, Name::_revert_data, new_list());
  st.set_attr(self, Name::_savepoints, new_list());
  st.set_attr(self, Name::_connection, none());
  return none();
}

Object table_schema_manager(const Args& a) {
  const ModuleState& st = a.st;
  // Imported on every read, like the import statement it stands for: once the module
  // is loaded that is a look-up in sys.modules.
  Object service = st.import_name(st.text(Text::schema_service_module), st.text(Text::schema_service_class));
  return call(service, a[0]);
}

Object default_envs(const Args& a) {
  const ModuleState& st = a.st;
  Object envs = new_dict();
  Object getenv = st.attr(st.global(Name::os), Name::getenv);
  for (auto [variable, keyword] : kEnvironment) {
    Object name = to_str(variable);
    if (!truthy(call(getenv, name))) continue;
    Object value = call(getenv, name);
    if (PyDict_SetItemString(envs.ptr(), keyword, value.ptr()) < 0) throw_python_error();
  }
  return envs;
}

Object connect(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], dsn = a[1], kwargs = a[2];
  if (!st.attr(self, Name::_connection).is_none()) st.raise_connection_error("Connection already established");
  Object envs = st.call_method(self, Name::_default_envs);
  drop_keywords_the_dsn_names(st, envs, dsn);
  drop_the_other_database_name(st, envs, kwargs);
  st.call_method(envs, Name::update, kwargs);
  if (!PyDict_Check(envs.ptr())) envs = call(reinterpret_cast<PyObject*>(&PyDict_Type), envs);
  Object driver_connect = st.attr(st.global(Name::psycopg2), Name::connect);
  Object positional = make_tuple(dsn);
  Object connection = steal_or_throw(PyObject_Call(driver_connect.ptr(), positional.ptr(), envs.ptr()));
  st.set_attr(self, Name::_connection, connection);
  st.set_attr(connection, Name::isolation_level, none());
  // Transactions are opened and closed only by begin/commit/rollback: without
  // autocommit the driver would open one implicitly at the first statement.
  st.set_attr(connection, Name::autocommit, bool_(true));
  return none();
}

Object disconnect(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0];
  Object connection = st.attr(self, Name::_connection);
  if (connection.is_none()) st.raise_connection_error("Connection not established");
  st.call_method(connection, Name::close);
  st.set_attr(self, Name::_connection, none());
  return none();
}

Object describe_table(const Args& a) {
  ModuleState& st = a.st;
  Handle self = a[0], table_name = a[1];
  if (Object known = st.memo().lookup(self, table_name)) return known;
  Object cursor = st.call_method(self, Name::execute, st.statement(Statement::DescribeTable), table_name);
  Object rows = st.call_method(cursor, Name::fetchall);
  Object description = new_dict();
  Object iterator = steal_or_throw(PyObject_GetIter(rows.ptr()));
  while (Object row = next_item(iterator)) {
    auto [column, data_type] = unpack2(row);
    if (PyDict_SetItem(description.ptr(), column.ptr(), data_type.ptr()) < 0) throw_python_error();
  }
  // An unknown table is not remembered, so a table created later is seen.
  if (PyDict_GET_SIZE(description.ptr()) > 0) st.memo().store(st.module(), self, table_name, description);
  return description;
}

Object execute(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], query = a[1], args = a[2];
  Object connection = st.attr(self, Name::_connection);
  if (connection.is_none()) st.raise_connection_error("Connection not established");
  Object cursor = st.call_method(connection, Name::cursor);
  try {
    st.call_method(cursor, Name::execute, query, args);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    raise_statement_error(st, query, args);
  }
  return cursor;
}

Object execute_spread(ModuleState& st, Handle self, Handle text, Handle values) {
  Method run = st.method(self, Name::execute);
  if (run.is_own() && PyUnicode_CheckExact(text.ptr()) && PyTuple_CheckExact(values.ptr())) {
    PyObject* slots[] = {self.ptr(), text.ptr(), values.ptr()};
    return execute(Args{st, slots});
  }
  return run.spread(text, values);
}

Object prepare_connection(const Args& a) {
  const ModuleState& st = a.st;
  Object service = st.attr(a[0], Name::table_schema_manager);
  st.call_method(service, Name::register_internal_tables);
  return none();
}

}  // namespace velmor::binding
