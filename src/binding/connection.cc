// Connection lifecycle, statement execution and table descriptions.
#include <string_view>

#include "binding/members.h"
#include "binding/memo.h"
#include "binding/runtime.h"
#include "sqltext/constants.h"

namespace velmor::binding {
namespace {

constexpr std::pair<const char*, const char*> kEnvironment[] = {
    {"POSTGRES_HOST", "host"},         {"POSTGRES_PORT", "port"},
    {"POSTGRES_USER", "user"},         {"POSTGRES_PASSWORD", "password"},
    {"POSTGRES_DATABASE", "database"},
};

py::object none() { return py::none(); }

// Raises VelmorConnectionError naming the failed statement, chained to the driver's
// error exactly as `raise ... from error` inside `except Exception as error` would.
[[noreturn]] void raise_statement_error(py::handle query, py::handle args) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  auto cause = py::reinterpret_steal<py::object>(value);

  py::object printed = steal_or_throw(PyObject_Repr(args.ptr()));
  py::object message = steal_or_throw(PyUnicode_FromFormat(
      "Error executing query: %U with args: %U", query.ptr(), printed.ptr()));
  py::object error = call(global(Name::VelmorConnectionError), message);
  PyException_SetCause(error.ptr(), Py_NewRef(cause.ptr()));  // also suppresses the context
  PyException_SetContext(error.ptr(), Py_NewRef(cause.ptr()));
  PyObject* error_type = reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()));
  PyErr_Restore(Py_NewRef(error_type), error.release().ptr(), nullptr);
  throw_python_error();
}

}  // namespace

py::object init_instance(Args a) {
  py::handle self = a[0];
  set_attr(self, Name::_is_revert_enabled, a[1]);
  set_attr(self, Name::_revert_data, py::list());
  set_attr(self, Name::_savepoints, py::list());
  set_attr(self, Name::_connection, py::none());
  return none();
}

py::object table_schema_manager(Args a) {
  // Imported on every read, like the import statement it stands for: once the module
  // is loaded that is a look-up in sys.modules.
  static PyObject* module = constant_str("velmor_data.table_schemas.implementations.postgresql_history");
  static PyObject* service_name = constant_str("PostgresHistoricalTableSchemaService");
  py::object service = import_name(module, service_name);
  return call(service, a[0]);
}

py::object default_envs(Args) {
  py::dict envs;
  py::object getenv = get_attr(global(Name::os), Name::getenv);
  for (auto [variable, keyword] : kEnvironment) {
    py::str name(variable);
    if (!truthy(call(getenv, name))) continue;
    envs[keyword] = call(getenv, name);
  }
  return py::object(std::move(envs));
}

py::object connect(Args a) {
  py::handle self = a[0], dsn = a[1], kwargs = a[2];
  if (!get_attr(self, Name::_connection).is_none())
    raise_connection_error("Connection already established");
  py::object envs = call_method(self, Name::_default_envs);
  call_method(envs, Name::update, kwargs);
  if (!PyDict_Check(envs.ptr())) envs = py::dict(envs);
  py::object driver_connect = get_attr(global(Name::psycopg2), Name::connect);
  py::tuple positional = py::make_tuple(dsn);
  py::object connection =
      steal_or_throw(PyObject_Call(driver_connect.ptr(), positional.ptr(), envs.ptr()));
  set_attr(self, Name::_connection, connection);
  set_attr(connection, Name::isolation_level, py::none());
  // Transactions are opened and closed only by begin/commit/rollback: without
  // autocommit the driver would open one implicitly at the first statement.
  set_attr(connection, Name::autocommit, py::bool_(true));
  return none();
}

py::object disconnect(Args a) {
  py::handle self = a[0];
  py::object connection = get_attr(self, Name::_connection);
  if (connection.is_none()) raise_connection_error("Connection not established");
  call_method(connection, Name::close);
  set_attr(self, Name::_connection, py::none());
  return none();
}

py::object describe_table(Args a) {
  py::handle self = a[0], table_name = a[1];
  if (py::object known = memo_lookup(self, table_name)) return known;
  static PyObject* statement = constant_str(sqltext::kDescribeTableStatement);
  py::object cursor = call_method(self, Name::execute, statement, table_name);
  py::object rows = call_method(cursor, Name::fetchall);
  py::dict description;
  for (py::handle row : rows) {
    auto [column, data_type] = unpack2(row);
    description[column] = data_type;
  }
  // An unknown table is not remembered, so a table created later is seen.
  if (PyDict_GET_SIZE(description.ptr()) > 0) memo_store(self, table_name, description);
  return py::object(std::move(description));
}

py::object execute(Args a) {
  py::handle self = a[0], query = a[1], args = a[2];
  py::object connection = get_attr(self, Name::_connection);
  if (connection.is_none()) raise_connection_error("Connection not established");
  py::object cursor = call_method(connection, Name::cursor);
  PyObject* argv[] = {cursor.ptr(), query.ptr(), args.ptr()};
  PyObject* result = PyObject_VectorcallMethod(name(Name::execute), argv, 3, nullptr);
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
    raise_statement_error(query, args);
  }
  Py_DECREF(result);
  return cursor;
}

py::object prepare_connection(Args a) {
  py::object service = get_attr(a[0], Name::table_schema_manager);
  call_method(service, Name::register_internal_tables);
  return none();
}

}  // namespace velmor::binding
