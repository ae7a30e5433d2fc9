#include "sqltext/nested_fields.h"

#include "sqltext/quoting.h"

namespace velmor::sqltext {
namespace {

constexpr std::string_view kKeySeparator = "__";

std::string aliased(std::string_view alias, std::string_view column, std::string_view quote) {
  std::string out;
  out.reserve(alias.size() + 1 + quoted_size(column, quote));
  out.append(alias);
  out.push_back('.');
  append_quoted(out, column, quote);
  return out;
}

}  // namespace

std::string_view cast_name(Cast cast) noexcept {
  switch (cast) {
    case Cast::Integer: return "integer";
    case Cast::Real: return "real";
    case Cast::Boolean: return "boolean";
    case Cast::Text: break;
  }
  return "text";
}

std::string json_path_expression(std::string_view column, std::string_view nested, Cast cast) {
  const bool text = cast == Cast::Text;
  const std::string_view type = cast_name(cast);
  const bool single = nested.find(kKeySeparator) == std::string_view::npos;

  constexpr std::string_view kTrimOpen = "trim('\"' FROM ";
  std::size_t size = 5 + column.size() + 6 + literal_size(nested) + 4 + type.size() + 1;
  if (text) size += kTrimOpen.size() + 1;
  std::string out;
  out.reserve(size + 8);
  if (text) out.append(kTrimOpen);
  out.append("cast(");
  out.append(column);
  out.append("::json");
  std::size_t start = 0;
  while (true) {
    std::size_t end = nested.find(kKeySeparator, start);
    bool last = end == std::string_view::npos;
    std::string_view key = nested.substr(start, last ? std::string_view::npos : end - start);
    out.append(last && !(single && text) ? "->>" : "->");
    append_literal(out, key);
    if (last) break;
    start = end + kKeySeparator.size();
  }
  out.append(" as ");
  out.append(type);
  out.push_back(')');
  if (text) out.push_back(')');
  return out;
}

std::string resolve_nested_field_name(std::string_view field, std::string_view nested, Cast cast,
                                      ResolveFlags flags, const FieldNames& names) {
  if (flags.is_internal_table) return json_path_expression(field, nested, cast);

  if (field == names.address_field) {
    if (nested == "object_id") {
      if (flags.use_internal_meta_tables)
        return aliased(names.model_alias, names.primary_key, names.column_quote);
      return std::string(names.primary_key);
    }
    if (!flags.use_internal_meta_tables) return {};
    if (nested == "object_version")
      return aliased(names.model_alias, names.secondary_key, names.column_quote);
  }

  if (flags.use_internal_meta_tables && field == names.metadata_field) {
    std::size_t split = nested.find(kKeySeparator);
    if (split == std::string_view::npos)
      return aliased(names.metadata_alias, nested, names.column_quote);
    std::string column = aliased(names.metadata_alias, nested.substr(0, split), names.column_quote);
    return json_path_expression(column, nested.substr(split + kKeySeparator.size()), cast);
  }

  return json_path_expression(aliased(names.model_alias, field, names.column_quote), nested, cast);
}

std::string latest_version_test(bool use_internal_meta_tables, std::string_view metadata_alias,
                                std::string_view column_quote) {
  if (!use_internal_meta_tables) {
    return "(cast(_metadata::json->'next_version' as text) IS NULL OR "
           "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')";
  }
  std::string column = aliased(metadata_alias, "next_version", column_quote);
  std::string out;
  out.reserve(2 * column.size() + 24);
  out.append("(");
  out.append(column);
  out.append(" IS NULL OR ");
  out.append(column);
  out.append(" = '')");
  return out;
}

}  // namespace velmor::sqltext
