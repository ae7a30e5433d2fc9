// The C++ implementations of the class's members, grouped by concern:
//   connection.cc  connection lifecycle, statement execution, table descriptions
//   statements.cc  statement building (Python values in, sqltext out)
//   reads.cc       query, count, _query, _paginate_items
//   writes.cc      put, _delete, transactions and revert
// Each receives its bound arguments in declaration order (self first for methods).
#pragma once

#include "binding/method.h"

namespace velmor::binding {

// connection.cc
py::object init_instance(Args a);
py::object table_schema_manager(Args a);
py::object default_envs(Args a);
py::object connect(Args a);
py::object disconnect(Args a);
py::object describe_table(Args a);
py::object execute(Args a);
py::object prepare_connection(Args a);

// statements.cc
py::object build_insert_statement(Args a);
py::object build_delete_statement(Args a);
py::object process_value_before_insert(Args a);
py::object nested_filter_statement(Args a);
py::object resolve_nested_field_name(Args a);
py::object select_with_internal_meta_statement(Args a);
py::object build_group_by_statement(Args a);
py::object build_select_statement(Args a);

// reads.cc
py::object query(Args a);
py::object paginate_items(Args a);
py::object count(Args a);
py::object query_table(Args a);

// writes.cc
py::object savepoint_name(Args a);
py::object put(Args a);
py::object begin(Args a);
py::object commit(Args a);
py::object revert(Args a);
py::object rollback(Args a);
py::object on_transaction_complete(Args a);
py::object add_revert_data(Args a);
py::object delete_record(Args a);

// The module-level one-argument functions of the condition operator map.
py::object eq_template(Args a);
py::object neq_template(Args a);
py::object isnull_template(Args a);
py::object upper_text(Args a);
py::object no_value(Args a);

}  // namespace velmor::binding
