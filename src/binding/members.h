// The C++ implementations of the class's members, grouped by concern:
//   connection.cc  connection lifecycle, statement execution, table descriptions
//   statements.cc  statement building (Python values in, sqltext out)
//   reads.cc       query, count, _query, _paginate_items
//   writes.cc      put, _delete, transactions and revert
// Each receives its module's state and its bound arguments in declaration order (self
// first for methods).
#pragma once

#include <utility>
#include <vector>

#include "binding/method.h"

namespace velmor::binding {

// connection.cc
Object init_instance(const Args& a);
Object table_schema_manager(const Args& a);
Object default_envs(const Args& a);
Object connect(const Args& a);
Object disconnect(const Args& a);
Object describe_table(const Args& a);
Object execute(const Args& a);
// self.execute(text, *values), as a call site runs it: the method looked up before the
// values are spread; the class's own execute runs in place for a str and a tuple.
Object execute_spread(ModuleState& st, Handle self, Handle text, Handle values);
Object prepare_connection(const Args& a);

// statements.cc
Object build_insert_statement(const Args& a);
Object build_delete_statement(const Args& a);
Object process_value_before_insert(const Args& a);
Object nested_filter_statement(const Args& a);
Object resolve_nested_field_name(const Args& a);
Object select_with_internal_meta_statement(const Args& a);
Object build_group_by_statement(const Args& a);
Object build_select_statement(const Args& a);

// What _build_insert_statement(table_name, columns) returns, as (text, values), for
// columns given as (name, value) pairs in order, every name an exact str: put's own path
// to the statement while the builder is the class's own.
std::pair<Object, Object> insert_statement_of(ModuleState& st, Handle self, Handle table_name,
                           const std::vector<std::pair<Object, Object>>& columns);

// The same for _build_delete_statement(table_name, columns): _delete's own path.
std::pair<Object, Object> delete_statement_of(ModuleState& st, Handle self, Handle table_name,
                           const std::vector<std::pair<Object, Object>>& columns);

// What process_value_before_insert(value, data_type) returns, for an exact str data type;
// `ran_python` is set when it called Python code (a json.dumps of the host's).
Object adapt_value(const ModuleState& st, Handle value, Handle data_type, bool& ran_python);

// reads.cc
Object query(const Args& a);
Object paginate_items(const Args& a);
Object count(const Args& a);
Object query_table(const Args& a);

// writes.cc
Object savepoint_name(const Args& a);
Object put(const Args& a);
Object begin(const Args& a);
Object commit(const Args& a);
Object revert(const Args& a);
Object rollback(const Args& a);
Object on_transaction_complete(const Args& a);
Object add_revert_data(const Args& a);
Object delete_record(const Args& a);

// The module-level one-argument functions of the condition operator map.
Object eq_template(const Args& a);
Object neq_template(const Args& a);
Object isnull_template(const Args& a);
Object upper_text(const Args& a);
Object no_value(const Args& a);

}  // namespace velmor::binding
