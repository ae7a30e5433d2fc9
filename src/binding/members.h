// The C++ implementations of the class's members, grouped by concern:
//   connection.cc  connection lifecycle, statement execution, table descriptions
//   statements.cc  statement building (Python values in, sqltext out)
//   reads.cc       query, count, _query, _paginate_items
//   writes.cc      put, _delete, transactions and revert
// Each receives its module's state and its bound arguments in declaration order (self
// first for methods).
#pragma once

#include "binding/method.h"

namespace velmor::binding {

// connection.cc
py::object init_instance(const Args& a);
py::object table_schema_manager(const Args& a);
py::object default_envs(const Args& a);
py::object connect(const Args& a);
py::object disconnect(const Args& a);
py::object describe_table(const Args& a);
py::object execute(const Args& a);
py::object prepare_connection(const Args& a);

// statements.cc
py::object build_insert_statement(const Args& a);
py::object build_delete_statement(const Args& a);
py::object process_value_before_insert(const Args& a);
py::object nested_filter_statement(const Args& a);
py::object resolve_nested_field_name(const Args& a);
py::object select_with_internal_meta_statement(const Args& a);
py::object build_group_by_statement(const Args& a);
py::object build_select_statement(const Args& a);

// reads.cc
py::object query(const Args& a);
py::object paginate_items(const Args& a);
py::object count(const Args& a);
py::object query_table(const Args& a);

// writes.cc
py::object savepoint_name(const Args& a);
py::object put(const Args& a);
py::object begin(const Args& a);
py::object commit(const Args& a);
py::object revert(const Args& a);
py::object rollback(const Args& a);
py::object on_transaction_complete(const Args& a);
py::object add_revert_data(const Args& a);
py::object delete_record(const Args& a);

// The module-level one-argument functions of the condition operator map.
py::object eq_template(const Args& a);
py::object neq_template(const Args& a);
py::object isnull_template(const Args& a);
py::object upper_text(const Args& a);
py::object no_value(const Args& a);

}  // namespace velmor::binding
