// Insert, delete, select-list, metadata-joined select and grouping texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sqltext/text_writer.h"

namespace velmor::sqltext {

// INSERT INTO <table> ("c1", "c2") VALUES (%s, %s). An ordinary lower-case table name
// that is not a reserved word is written bare; any other is double-quoted so that the insert addresses the same
// table as the reads and deletes, which always quote it.
std::string insert_statement(std::string_view table, const std::vector<std::string_view>& columns);

// DELETE FROM <open><table><close> WHERE "c1" = %s AND "c2" = %s
std::string delete_statement(std::string_view table, std::string_view open, std::string_view close,
                             const std::vector<std::string_view>& columns);

// One column of a select list; `distinct` marks a distinct column.
struct ColumnTerm {
  std::string_view name;
  bool distinct;
};

// Plain reads: "distinct a, b". Terms are expected sorted; an empty list gives "*".
std::string plain_column_list(const std::vector<ColumnTerm>& terms);

// Metadata-joined reads: "DISTINCT t1.a, t1.b, " followed by the metadata column;
// with no terms the model's own columns "t1.*" are selected.
Parts joined_column_list(const std::vector<ColumnTerm>& terms, const HostName& model_alias,
                         const HostName& metadata_field_sql);

// The pieces of a read joined to the enriched metadata source.
struct JoinedSelect {
  std::string_view select_list;
  std::string_view table;
  HostName table_open{""};  // the separators around the table name; the name doubles the closing one
  HostName table_close{""};
  HostName model_alias{""};
  HostName metadata_alias{""};
  HostName metadata_source{""};  // the enriched metadata statement
  std::string_view where;            // condition text, empty for none
  std::string_view group_by;         // clause text with its leading blank, or empty
  std::string_view order_by;         // clause text with its leading blank, or empty
  bool limit = false;                // append " LIMIT %s OFFSET %s"
  bool offset_alone = false;         // without limit: append " OFFSET %s"
};

Parts joined_select(const JoinedSelect& parts);
// Its clauses alone (WHERE to LIMIT), for a caller that joins them to the rest itself.
std::string joined_select_clauses(const JoinedSelect& parts);

// True when a select list counts rows instead of returning them (no grouping then).
bool is_counting_select_list(std::string_view select_list) noexcept;

// " GROUP BY t1.partition_key, t1.range_key" followed by ", <term>" for each term.
std::string group_by_clause(const std::vector<std::string_view>& terms);

}  // namespace velmor::sqltext
