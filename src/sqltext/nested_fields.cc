#include "sqltext/nested_fields.h"

#include "sqltext/quoting.h"
#include "sqltext/text_writer.h"

namespace velmor::sqltext {
namespace {

constexpr std::string_view kKeySeparator = "__";
constexpr std::string_view kTrimOpen = "trim('\"' FROM ";

// A column as an expression names it: `alias."name"`, or the bare name without alias.
struct Column {
  std::string_view alias;  // empty: the name is written bare
  std::string_view name;
  std::string_view quote;

  std::size_t size() const {
    return alias.empty() ? name.size() : alias.size() + 1 + quoted_size(name, quote);
  }

  template <typename Out>
  void write(Out& out) const {
    if (alias.empty()) {
      out.put(name);
      return;
    }
    out.put(alias);
    out.put('.');
    write_quoted(out, name, quote);
  }
};

std::string column_text(const Column& column) {
  TextWriter out(column.size());
  column.write(out);
  return std::move(out).finish();
}

// "cast(<column>::json-><keys> as <type>)", trimmed for text; see json_path_expression.
std::string path_expression(const Column& column, std::string_view nested, Cast cast) {
  const bool text = cast == Cast::Text;
  const std::string_view type = cast_name(cast);
  const bool single = nested.find(kKeySeparator) == std::string_view::npos;
  TextWriter out((text ? kTrimOpen.size() + 1 : 0) + 5 + column.size() + 6 + 2 * nested.size() + 8 +
                 4 + type.size() + 1);
  if (text) out.put(kTrimOpen);
  out.put("cast(");
  column.write(out);
  out.put("::json");
  std::size_t start = 0;
  while (true) {
    const std::size_t end = nested.find(kKeySeparator, start);
    const bool last = end == std::string_view::npos;
    out.put(last && !(single && text) ? "->>" : "->");
    write_literal(out, nested.substr(start, last ? std::string_view::npos : end - start));
    if (last) break;
    start = end + kKeySeparator.size();
  }
  out.put(" as ");
  out.put(type);
  out.put(')');
  if (text) out.put(')');
  return std::move(out).finish();
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
  return path_expression(Column{{}, column, {}}, nested, cast);
}

std::string resolve_nested_field_name(std::string_view field, std::string_view nested, Cast cast,
                                      ResolveFlags flags, const FieldNames& names) {
  const CastSource fixed{[](const void* context) { return *static_cast<const Cast*>(context); }, &cast};
  return resolve_nested_field_name(field, nested, fixed, flags, names);
}

std::string resolve_nested_field_name(std::string_view field, std::string_view nested, CastSource cast_of,
                                      ResolveFlags flags, const FieldNames& names) {
  if (flags.is_internal_table) return path_expression(Column{{}, field, {}}, nested, cast_of());

  if (field == names.address_field()) {
    if (nested == "object_id") {
      if (flags.use_internal_meta_tables)
        return column_text(Column{names.model_alias(), names.primary_key(), names.column_quote()});
      return std::string(names.primary_key());
    }
    if (!flags.use_internal_meta_tables) return {};
    if (nested == "object_version")
      return column_text(Column{names.model_alias(), names.secondary_key(), names.column_quote()});
  }

  if (flags.use_internal_meta_tables && field == names.metadata_field()) {
    const std::size_t split = nested.find(kKeySeparator);
    if (split == std::string_view::npos)
      return column_text(Column{names.metadata_alias(), nested, names.column_quote()});
    return path_expression(Column{names.metadata_alias(), nested.substr(0, split), names.column_quote()},
                           nested.substr(split + kKeySeparator.size()), cast_of());
  }

  return path_expression(Column{names.model_alias(), field, names.column_quote()}, nested, cast_of());
}

std::string latest_version_test(bool use_internal_meta_tables, std::string_view metadata_alias,
                                std::string_view column_quote) {
  if (!use_internal_meta_tables) {
    return "(cast(_metadata::json->'next_version' as text) IS NULL OR "
           "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')";
  }
  const Column column{metadata_alias, "next_version", column_quote};
  TextWriter out(2 * column.size() + 24);
  out.put('(');
  column.write(out);
  out.put(" IS NULL OR ");
  column.write(out);
  out.put(" = '')");
  return std::move(out).finish();
}

}  // namespace velmor::sqltext
