#include "sqltext/quoting.h"

#include "sqltext/text_writer.h"

#include <algorithm>
#include <iterator>

namespace velmor::sqltext {
namespace {

bool ends_with(std::string_view text, std::string_view suffix) noexcept {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::size_t count_of(std::string_view text, std::string_view what) noexcept {
  if (what.empty()) return 0;
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string_view::npos;
       pos = text.find(what, pos + what.size()))
    ++n;
  return n;
}

// PostgreSQL 15's keywords that cannot name a table unquoted (reserved, and reserved
// but usable as function or type names), sorted for binary search.
constexpr std::string_view kReservedWords[] = {
    "all", "analyse", "analyze", "and", "any", "array", "as", "asc", "asymmetric",
    "authorization", "binary", "both", "case", "cast", "check", "collate", "collation", "column",
    "concurrently", "constraint", "create", "cross", "current_catalog", "current_date",
    "current_role", "current_schema", "current_time", "current_timestamp", "current_user",
    "default", "deferrable", "desc", "distinct", "do", "else", "end", "except", "false", "fetch",
    "for", "foreign", "freeze", "from", "full", "grant", "group", "having", "ilike", "in",
    "initially", "inner", "intersect", "into", "is", "isnull", "join", "lateral", "leading",
    "left", "like", "limit", "localtime", "localtimestamp", "natural", "not", "notnull", "null",
    "offset", "on", "only", "or", "order", "outer", "overlaps", "placing", "primary",
    "references", "returning", "right", "select", "session_user", "similar", "some", "symmetric",
    "table", "tablesample", "then", "to", "trailing", "true", "union", "unique", "user", "using",
    "variadic", "verbose", "when", "where", "window", "with"
};

}  // namespace

std::size_t quoted_size(std::string_view name, std::string_view open, std::string_view close) {
  std::size_t extra = 0;
  if (close.size() == 1) {
    const char q = close[0];
    for (char c : name) extra += (c == q || c == '%');
  } else {
    extra = count_of(name, close) * close.size();
    if (close.find('%') == std::string_view::npos) extra += count_of(name, "%");
  }
  return name.size() + extra + open.size() + close.size();
}

std::size_t quoted_size(std::string_view name, std::string_view quote) { return quoted_size(name, quote, quote); }

void append_quoted(std::string& out, std::string_view name, std::string_view open, std::string_view close) {
  StringOut sink{out};
  write_quoted(sink, name, open, close);
}

void append_quoted(std::string& out, std::string_view name, std::string_view quote) {
  append_quoted(out, name, quote, quote);
}

std::string quoted(std::string_view name, std::string_view quote) {
  std::string out;
  out.reserve(quoted_size(name, quote));
  append_quoted(out, name, quote);
  return out;
}

std::size_t literal_size(std::string_view key) {
  return key.size() + count_of(key, "'") + count_of(key, "%") + 2;
}

void append_literal(std::string& out, std::string_view key) {
  StringOut sink{out};
  write_literal(sink, key);
}

bool is_reserved_word(std::string_view name) noexcept {
  return std::binary_search(std::begin(kReservedWords), std::end(kReservedWords), name);
}

bool is_plain_identifier(std::string_view name) noexcept {
  if (name.empty()) return false;
  auto lower_or_underscore = [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; };
  if (!lower_or_underscore(name[0])) return false;
  for (char c : name.substr(1))
    if (!lower_or_underscore(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}

bool is_internal_table(std::string_view table_name) noexcept {
  return ends_with(table_name, "metadata") || ends_with(table_name, "reference");
}

}  // namespace velmor::sqltext
