#include "sqltext/statements.h"

#include "sqltext/quoting.h"
#include "sqltext/text_writer.h"

namespace velmor::sqltext {
namespace {

constexpr std::string_view kDoubleQuote = "\"";

}  // namespace

std::string insert_statement(std::string_view table, const std::vector<std::string_view>& columns) {
  const bool bare = is_plain_identifier(table) && !is_reserved_word(table);
  std::size_t size = 12 + 2 * table.size() + 2 + 2 + 11 + 1;
  for (auto column : columns) size += column.size() + 2 + 2 + 4 + 4;
  TextWriter out(size);
  out.put("INSERT INTO ");
  if (bare)
    out.put(table);
  else
    write_quoted(out, table, kDoubleQuote);
  out.put(" (");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out.put(", ");
    write_quoted(out, columns[i], kDoubleQuote);
  }
  out.put(") VALUES (");
  for (std::size_t i = 0; i < columns.size(); ++i) out.put(i ? ", %s" : "%s");
  out.put(')');
  return std::move(out).finish();
}

std::string delete_statement(std::string_view table, std::string_view table_separator,
                             const std::vector<std::string_view>& columns) {
  std::size_t size = 12 + 2 * table.size() + 2 * table_separator.size() + 7;
  for (auto column : columns) size += column.size() + 4 + 5 + 5;
  TextWriter out(size);
  out.put("DELETE FROM ");
  write_quoted(out, table, table_separator);
  out.put(" WHERE ");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out.put(" AND ");
    write_quoted(out, columns[i], kDoubleQuote);
    out.put(" = %s");
  }
  return std::move(out).finish();
}

std::string plain_column_list(const std::vector<ColumnTerm>& terms) {
  if (terms.empty()) return "*";
  std::size_t size = 0;
  for (const auto& term : terms) size += term.name.size() + 2 + (term.distinct ? 9 : 0);
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i) out.append(", ");
    if (terms[i].distinct) out.append("distinct ");
    out.append(terms[i].name);
  }
  return out;
}

std::string joined_column_list(const std::vector<ColumnTerm>& terms, std::string_view model_alias,
                               std::string_view metadata_field_sql) {
  std::size_t size = model_alias.size() + 4 + metadata_field_sql.size();
  for (const auto& term : terms)
    size += model_alias.size() + 1 + term.name.size() + 2 + (term.distinct ? 9 : 0);
  std::string out;
  out.reserve(size);
  if (terms.empty()) {
    out.append(model_alias);
    out.append(".*");
  }
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i) out.append(", ");
    if (terms[i].distinct) out.append("DISTINCT ");
    out.append(model_alias);
    out.push_back('.');
    out.append(terms[i].name);
  }
  out.append(", ");
  out.append(metadata_field_sql);
  return out;
}

std::string joined_select(const JoinedSelect& p) {
  std::size_t size = 7 + p.select_list.size() + 6 + quoted_size(p.table, p.table_separator) + 4 +
                     p.model_alias.size() + 7 + p.metadata_source.size() + 5 +
                     p.metadata_alias.size() + 4 + 2 * p.model_alias.size() +
                     2 * p.metadata_alias.size() + 60 + p.where.size() + 7 + p.group_by.size() +
                     p.order_by.size() + 20;
  std::string out;
  out.reserve(size);
  out.append("SELECT ");
  out.append(p.select_list);
  out.append(" FROM ");
  append_quoted(out, p.table, p.table_separator);
  out.append(" AS ");
  out.append(p.model_alias);
  out.append(" JOIN (");
  out.append(p.metadata_source);
  out.append(") AS ");
  out.append(p.metadata_alias);
  out.append(" ON ");
  out.append(p.model_alias);
  out.append(".partition_key = ");
  out.append(p.metadata_alias);
  out.append(".object_id AND ");
  out.append(p.model_alias);
  out.append(".range_key = ");
  out.append(p.metadata_alias);
  out.append(".object_version");
  if (!p.where.empty()) {
    out.append(" WHERE ");
    out.append(p.where);
  }
  out.append(p.group_by);
  out.append(p.order_by);
  if (p.limit)
    out.append(" LIMIT %s OFFSET %s");
  else if (p.offset_alone)
    out.append(" OFFSET %s");
  return out;
}

bool is_counting_select_list(std::string_view select_list) noexcept {
  return select_list.find("COUNT") != std::string_view::npos;
}

std::string group_by_clause(const std::vector<std::string>& terms) {
  constexpr std::string_view kHead = " GROUP BY t1.partition_key, t1.range_key";
  std::size_t size = kHead.size();
  for (const auto& term : terms) size += 2 + term.size();
  std::string out;
  out.reserve(size);
  out.append(kHead);
  for (const auto& term : terms) {
    out.append(", ");
    out.append(term);
  }
  return out;
}

}  // namespace velmor::sqltext
