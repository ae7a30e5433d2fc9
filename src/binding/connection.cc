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
[[noreturn]] void raise_statement_error(const ModuleState& st, const py::error_already_set& failure,
                                        py::handle query, py::handle args) {
  py::object cause = caught(failure);
  py::object error;
  try {
    py::object printed = steal_or_throw(PyObject_Repr(args.ptr()));
    py::object message = steal_or_throw(
        PyUnicode_FromFormat("Error executing query: %U with args: %U", query.ptr(), printed.ptr()));
    error = call(st.global(Name::VelmorConnectionError), message);
  } catch (py::error_already_set& secondary) {
    py::object raised = caught(secondary);
    PyException_SetContext(raised.ptr(), cause.release().ptr());
    raise_unchained(std::move(raised));
  }
  PyException_SetCause(error.ptr(), py::object(cause).release().ptr());  // also suppresses the context
  PyException_SetContext(error.ptr(), cause.release().ptr());
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
void drop_keywords_the_dsn_names(const ModuleState& st, py::handle envs, py::handle dsn) {
  if (dsn.is_none()) return;
  py::object extensions = steal_or_throw(PyImport_ImportModule("psycopg2.extensions"));
  py::object parse_dsn = steal_or_throw(PyObject_GetAttrString(extensions.ptr(), "parse_dsn"));
  PyObject* parsed = PyObject_CallOneArg(parse_dsn.ptr(), dsn.ptr());
  if (!parsed) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
    PyErr_Clear();
    return;
  }
  py::object named = py::reinterpret_steal<py::object>(parsed);
  py::object keys = steal_or_throw(PyObject_GetIter(named.ptr()));
  while (py::object key = next_item(keys)) {
    st.call_method(envs, Name::pop, key, py::none());
    if (PyUnicode_Check(key.ptr()) && PyUnicode_CompareWithASCIIString(key.ptr(), "dbname") == 0) {
      st.call_method(envs, Name::pop, py::str("database"), py::none());
    }
  }
}

}  // namespace

py::object init_instance(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0];
  st.set_attr(self, Name::_is_revert_enabled, a[1]);
  st.set_attr(self, Name::_revert_data, py::list());
  st.set_attr(self, Name::_savepoints, py::list());
  st.set_attr(self, Name::_connection, py::none());
  return py::none();
}

py::object table_schema_manager(const Args& a) {
  const ModuleState& st = a.st;
  // Imported on every read, like the import statement it stands for: once the module
  // is loaded that is a look-up in sys.modules.
  py::object service = st.import_name(st.text(Text::schema_service_module), st.text(Text::schema_service_class));
  return call(service, a[0]);
}

py::object default_envs(const Args& a) {
  const ModuleState& st = a.st;
  py::dict envs;
  py::object getenv = st.attr(st.global(Name::os), Name::getenv);
  for (auto [variable, keyword] : kEnvironment) {
    py::str name(variable);
    if (!truthy(call(getenv, name))) continue;
    envs[keyword] = call(getenv, name);
  }
  py::object result = std::move(envs);
  return result;
}

py::object connect(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], dsn = a[1], kwargs = a[2];
  if (!st.attr(self, Name::_connection).is_none()) st.raise_connection_error("Connection already established");
  py::object envs = st.call_method(self, Name::_default_envs);
  drop_keywords_the_dsn_names(st, envs, dsn);
  st.call_method(envs, Name::update, kwargs);
  if (!PyDict_Check(envs.ptr())) envs = py::dict(envs);
  py::object driver_connect = st.attr(st.global(Name::psycopg2), Name::connect);
  py::tuple positional = py::make_tuple(dsn);
  py::object connection = steal_or_throw(PyObject_Call(driver_connect.ptr(), positional.ptr(), envs.ptr()));
  st.set_attr(self, Name::_connection, connection);
  st.set_attr(connection, Name::isolation_level, py::none());
  // Transactions are opened and closed only by begin/commit/rollback: without
  // autocommit the driver would open one implicitly at the first statement.
  st.set_attr(connection, Name::autocommit, py::bool_(true));
  return py::none();
}

py::object disconnect(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0];
  py::object connection = st.attr(self, Name::_connection);
  if (connection.is_none()) st.raise_connection_error("Connection not established");
  st.call_method(connection, Name::close);
  st.set_attr(self, Name::_connection, py::none());
  return py::none();
}

py::object describe_table(const Args& a) {
  ModuleState& st = a.st;
  py::handle self = a[0], table_name = a[1];
  if (py::object known = st.memo().lookup(self, table_name)) return known;
  py::object cursor = st.call_method(self, Name::execute, st.statement(Statement::DescribeTable), table_name);
  py::object rows = st.call_method(cursor, Name::fetchall);
  py::dict description;
  py::object iterator = steal_or_throw(PyObject_GetIter(rows.ptr()));
  while (py::object row = next_item(iterator)) {
    auto [column, data_type] = unpack2(row);
    description[column] = data_type;
  }
  // An unknown table is not remembered, so a table created later is seen.
  if (PyDict_GET_SIZE(description.ptr()) > 0) st.memo().store(self, table_name, description);
  py::object result = std::move(description);
  return result;
}

py::object execute(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], query = a[1], args = a[2];
  py::object connection = st.attr(self, Name::_connection);
  if (connection.is_none()) st.raise_connection_error("Connection not established");
  py::object cursor = st.call_method(connection, Name::cursor);
  try {
    st.call_method(cursor, Name::execute, query, args);
  } catch (py::error_already_set& failure) {
    if (!failure.matches(PyExc_Exception)) throw;
    raise_statement_error(st, failure, query, args);
  }
  return cursor;
}

py::object prepare_connection(const Args& a) {
  const ModuleState& st = a.st;
  py::object service = st.attr(a[0], Name::table_schema_manager);
  st.call_method(service, Name::register_internal_tables);
  return py::none();
}

}  // namespace velmor::binding
