#include "sqltext/nested_fields.h"

#include "sqltext/quoting.h"
#include "sqltext/text_writer.h"

namespace velmor::sqltext {
namespace {

constexpr std::string_view kKeySeparator = "__";
constexpr std::string_view kTrimOpen = "trim('\"' FROM ";

// A column as an expression names it: `alias."name"`, or the bare name without alias.
struct Column {
  HostName alias;  // an empty text: the name is written bare
  HostName name;
  std::string_view quote;

  bool bare() const noexcept { return !alias.is_hole() && alias.text.empty(); }
  std::size_t size() const { return alias.text.size() + 1 + name.text.size() + 2 * quote.size() + 4; }

  void write(Parts& out) const {
    if (bare()) {
      out.name(name);
      return;
    }
    out.name(alias);
    out.put('.');
    out.name(name, quote);
  }
};

Parts column_text(const Column& column) {
  Parts out(column.size());
  column.write(out);
  return out;
}

// "cast(<column>::json-><keys> as <type>)", trimmed for text; see json_path_expression.
Parts path_expression(const Column& column, std::string_view nested, Cast cast) {
  const bool text = cast == Cast::Text;
  const std::string_view type = cast_name(cast);
  const bool single = nested.find(kKeySeparator) == std::string_view::npos;
  Parts out((text ? kTrimOpen.size() + 1 : 0) + 5 + column.size() + 6 + 2 * nested.size() + 8 + 4 + type.size() + 1);
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
  return path_expression(Column{std::string_view(), column, {}}, nested, cast).take_text();
}

Parts resolve_nested_field_name(std::string_view field, std::string_view nested, Cast cast, ResolveFlags flags,
                                const FieldNames& names) {
  const CastSource fixed{[](const void* context) { return *static_cast<const Cast*>(context); }, &cast};
  return resolve_nested_field_name(field, nested, fixed, flags, names);
}

Parts resolve_nested_field_name(std::string_view field, std::string_view nested, CastSource cast_of,
                                ResolveFlags flags, const FieldNames& names) {
  if (flags.is_internal_table) return path_expression(Column{std::string_view(), field, {}}, nested, cast_of());

  if (names.is_address_field(field)) {
    if (nested == "object_id") {
      if (flags.use_internal_meta_tables)
        return column_text(Column{names.model_alias(), names.primary_key(), names.column_quote()});
      return column_text(Column{std::string_view(), names.primary_key(), {}});
    }
    if (!flags.use_internal_meta_tables) return Parts(0);
    if (nested == "object_version")
      return column_text(Column{names.model_alias(), names.secondary_key(), names.column_quote()});
  }

  if (flags.use_internal_meta_tables && names.is_metadata_field(field)) {
    const std::size_t split = nested.find(kKeySeparator);
    if (split == std::string_view::npos)
      return column_text(Column{names.metadata_alias(), nested, names.column_quote()});
    return path_expression(Column{names.metadata_alias(), nested.substr(0, split), names.column_quote()},
                           nested.substr(split + kKeySeparator.size()), cast_of());
  }

  return path_expression(Column{names.model_alias(), field, names.column_quote()}, nested, cast_of());
}

Parts latest_version_test(bool use_internal_meta_tables, const HostName& metadata_alias,
                          std::string_view column_quote) {
  if (!use_internal_meta_tables) {
    Parts out;
    out.put("(cast(_metadata::json->'next_version' as text) IS NULL OR "
            "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')");
    return out;
  }
  const Column column{metadata_alias, std::string_view("next_version"), column_quote};
  Parts out(2 * column.size() + 24);
  out.put('(');
  column.write(out);
  out.put(" IS NULL OR ");
  column.write(out);
  out.put(" = '')");
  return out;
}

}  // namespace velmor::sqltext
