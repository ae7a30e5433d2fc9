// What every member implementation shares: interned names, the module's globals,
// and small helpers that turn CPython's error protocol into C++ exceptions.
//
// Every helper returns owning pybind11 handles and throws py::error_already_set
// when Python raised, so a reference is released on every path.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace velmor::binding {

namespace py = pybind11;

// Identifiers interned once at import. The list is the single source of both the
// enum and the spelled names.
#define VELMOR_NAMES(X)                                                                       \
  X(_connection) X(_revert_data) X(_savepoints) X(_is_revert_enabled) X(_default_envs)        \
  X(_describe_table) X(_build_insert_statement) X(_build_delete_statement)                    \
  X(process_value_before_insert) X(_add_revert_data) X(_delete) X(_query)                     \
  X(_savepoint_name) X(_resolve_nested_field_name) X(_select_with_internal_meta_statement)   \
  X(_build_group_by_statement) X(_build_select_statement) X(_paginate_items) X(execute)       \
  X(table_schema_manager) X(_build_queries_by_version) X(_select_statement)                   \
  X(_build_count_statement) X(_get_conditions_statement) X(_build_order_by_statement)         \
  X(_process_result) X(_to_sql_value) X(TABLE_SEPARATOR) X(COLUMN_SEPARATOR)                  \
  X(resolve_table_name) X(register_internal_tables) X(model_copy) X(class_version)            \
  X(object_id) X(object_version) X(only) X(distinct) X(limit) X(offset) X(field_name)         \
  X(build_statement) X(build_value) X(items) X(fetchall) X(fetchone) X(description)           \
  X(cursor) X(close) X(isolation_level) X(autocommit) X(connect) X(getenv) X(dumps)           \
  X(choices) X(ascii_letters) X(k) X(warning) X(pop) X(append) X(extend) X(update)            \
  X(address) X(select_only) X(conditions) X(pagination) X(order_by) X(is_internal_table)     \
  X(use_internal_meta_tables) X(value_type) X(json) X(os) X(random) X(string) X(deepcopy)    \
  X(psycopg2) X(Versions) X(CursorPaginator) X(NumberPaginator) X(VelmorConnectionError)     \
  X(ADDRESS_FIELD) X(METADATA_FIELD) X(METADATA_TABLE_ALIAS) X(MODEL_TABLE_ALIAS) X(NoValue)  \
  X(sort_items) X(PRIMARY_PARTITION_KEY) X(SECONDARY_PARTITION_KEY) X(logger)                 \
  X(METADATA_SELECT_FIELD) X(METADATA_SELECT_STATEMENT) X(ALL) X(LATEST) X(clear) X(upper)      \
  X(statusmessage) X(get_transaction_status)

enum class Name : int {
#define VELMOR_ENUM(n) n,
  VELMOR_NAMES(VELMOR_ENUM)
#undef VELMOR_ENUM
      kCount
};

// Borrowed: the interned string lives as long as the process.
PyObject* name(Name n) noexcept;

// Called once from the module's init, before anything else here is used.
void init_runtime(py::module_ module);

// The value a module-level name holds now, read like a global of Python code.
py::object global(Name n);

[[noreturn]] inline void throw_python_error() { throw py::error_already_set(); }
inline py::object steal_or_throw(PyObject* result) {
  if (!result) throw_python_error();
  return py::reinterpret_steal<py::object>(result);
}

py::object get_attr(py::handle object, Name attribute);
void set_attr(py::handle object, Name attribute, py::handle value);

// obj.method(args...) through the vectorcall method protocol, without a bound method.
template <typename... Args>
py::object call_method(py::handle self, Name method, Args... args) {
  std::array<PyObject*, 1 + sizeof...(Args)> argv{self.ptr(), py::handle(args).ptr()...};
  return steal_or_throw(PyObject_VectorcallMethod(name(method), argv.data(), argv.size(), nullptr));
}

// The same with keyword arguments: the last kwnames.size() args are passed by name.
template <typename... Args>
py::object call_method_kw(py::handle self, Name method, py::handle kwnames, Args... args) {
  std::array<PyObject*, 1 + sizeof...(Args)> argv{self.ptr(), py::handle(args).ptr()...};
  size_t npos = argv.size() - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
  return steal_or_throw(
      PyObject_VectorcallMethod(name(method), argv.data(), npos, kwnames.ptr()));
}

template <typename... Args>
py::object call(py::handle callable, Args... args) {
  std::array<PyObject*, 1 + sizeof...(Args)> argv{nullptr, py::handle(args).ptr()...};
  return steal_or_throw(PyObject_Vectorcall(callable.ptr(), argv.data() + 1,
                                            sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr));
}

template <typename... Args>
py::object call_kw(py::handle callable, py::handle kwnames, Args... args) {
  std::array<PyObject*, 1 + sizeof...(Args)> argv{nullptr, py::handle(args).ptr()...};
  size_t npos = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
  return steal_or_throw(PyObject_Vectorcall(callable.ptr(), argv.data() + 1,
                                            npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            kwnames.ptr()));
}

// Keyword-name tuples used by the builders' calls, built once.
py::handle kw_flags();               // ("is_internal_table", "use_internal_meta_tables")
py::handle kw_meta_only();           // ("use_internal_meta_tables",)
py::handle kw_resolve();             // ("value_type", "is_internal_table", "use_internal_meta_tables")
py::handle kw_plain_select();        // ("select_only", "conditions", "pagination", "order_by", "is_internal_table")
py::handle kw_joined_select();       // ("select_only", "conditions", "pagination", "order_by")
py::handle kw_k();                   // ("k",)
py::handle kw_number_paginator();    // ("limit", "offset")

// The UTF-8 text of a str (cached inside the object); throws on lone surrogates.
std::string_view utf8(py::handle text);
py::str to_str(std::string_view text);

inline bool is_exact_str(py::handle o) noexcept { return PyUnicode_CheckExact(o.ptr()); }

// Raises VelmorConnectionError(message) from the module's globals.
[[noreturn]] void raise_connection_error(std::string_view message);

// `a, b = value` with the interpreter's own errors.
std::pair<py::object, py::object> unpack2(py::handle value);

// self.method(first, *rest): `rest` is spread as separate positional arguments.
py::object call_method_spread(py::handle self, Name method, py::handle first, py::handle rest);

// `from <module> import <name>` at run time, with the interpreter's ImportError; a
// module already in sys.modules is taken from there.
py::object import_name(PyObject* module, PyObject* attribute);

// The truth value of an object, as `if value:` sees it.
bool truthy(py::handle value);

// isinstance(value, cls)
bool is_instance(py::handle value, py::handle cls);

// A new interned str that is never released: only for `static` constants, built once.
PyObject* constant_str(std::string_view text);

// copy.deepcopy as imported by the module (the fast copy stands in for it only).
PyObject* standard_deepcopy() noexcept;
void set_standard_deepcopy(py::handle function);

// json.dumps as it was at import (the direct encoding stands in for it only).
PyObject* standard_json_dumps() noexcept;
void set_standard_json_dumps(py::handle function);

// IndexError texts of the list operations the stacks rely on.
py::object last_item(py::handle sequence);  // sequence[-1]
py::object pop_last(py::handle list);       // list.pop()

}  // namespace velmor::binding
