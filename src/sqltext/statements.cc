#include "sqltext/statements.h"

#include "sqltext/quoting.h"
#include "sqltext/text_writer.h"

namespace velmor::sqltext {
namespace {

constexpr std::string_view kDoubleQuote = "\"";

template <typename Out>
void write_clauses(Out& out, const JoinedSelect& p) {
  if (!p.where.empty()) {
    out.put(" WHERE ");
    out.put(p.where);
  }
  out.put(p.group_by);
  out.put(p.order_by);
  if (p.limit)
    out.put(" LIMIT %s OFFSET %s");
  else if (p.offset_alone)
    out.put(" OFFSET %s");
}

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

std::string delete_statement(std::string_view table, std::string_view open, std::string_view close,
                             const std::vector<std::string_view>& columns) {
  std::size_t size = 12 + 2 * table.size() + open.size() + 2 * close.size() + 7;
  for (auto column : columns) size += column.size() + 4 + 5 + 5;
  TextWriter out(size);
  out.put("DELETE FROM ");
  write_quoted(out, table, open, close);
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

Parts joined_column_list(const std::vector<ColumnTerm>& terms, const HostName& model_alias,
                         const HostName& metadata_field_sql) {
  std::size_t size = model_alias.text.size() + 4 + metadata_field_sql.text.size();
  for (const auto& term : terms)
    size += model_alias.text.size() + 1 + term.name.size() + 2 + (term.distinct ? 9 : 0);
  Parts out(size);
  if (terms.empty()) {
    out.name(model_alias);
    out.put(".*");
  }
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i) out.put(", ");
    if (terms[i].distinct) out.put("DISTINCT ");
    out.name(model_alias);
    out.put('.');
    out.put(terms[i].name);
  }
  out.put(", ");
  out.name(metadata_field_sql);
  return out;
}

Parts joined_select(const JoinedSelect& p) {
  const std::size_t size = 7 + p.select_list.size() + 6 + quoted_size(p.table, p.table_open.text, p.table_close.text) +
                           4 + 3 * p.model_alias.text.size() + 7 + p.metadata_source.text.size() + 5 +
                           3 * p.metadata_alias.text.size() + 64 + p.where.size() + 7 + p.group_by.size() +
                           p.order_by.size() + 20;
  Parts out(size);
  out.put("SELECT ");
  out.put(p.select_list);
  out.put(" FROM ");
  out.name(p.table_open);
  // Inside, the closing separator is doubled (and '%'); for a separator that is no string
  // at all, which the caller joins itself, only '%'.
  write_escaped(out, p.table, p.table_close.text);
  out.name(p.table_close);
  out.put(" AS ");
  out.name(p.model_alias);
  out.put(" JOIN (");
  out.name(p.metadata_source);
  out.put(") AS ");
  out.name(p.metadata_alias);
  out.put(" ON ");
  out.name(p.model_alias);
  out.put(".partition_key = ");
  out.name(p.metadata_alias);
  out.put(".object_id AND ");
  out.name(p.model_alias);
  out.put(".range_key = ");
  out.name(p.metadata_alias);
  out.put(".object_version");
  write_clauses(out, p);
  return out;
}

std::string joined_select_clauses(const JoinedSelect& p) {
  std::string out;
  StringOut sink{out};
  write_clauses(sink, p);
  return out;
}

bool is_counting_select_list(std::string_view select_list) noexcept {
  return select_list.find("COUNT") != std::string_view::npos;
}

std::string group_by_clause(const std::vector<std::string_view>& terms) {
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
