// Expressions that reach into JSON columns, and the latest-version test.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sqltext/text_writer.h"

namespace velmor::sqltext {

// The SQL type a JSON value is cast to before it is compared.
enum class Cast { Integer, Real, Boolean, Text };

std::string_view cast_name(Cast cast) noexcept;

// The names a nested-field expression is written with; they come from the host package.
// Each is asked for when an expression first needs it, so that a caller can read them
// as lazily as code that reads its module's globals. A name that is a hole (HostName) is
// compared with a field through `equals`, as the caller compares the name it read.
class FieldNames {
 public:
  enum class Name : std::uint8_t { ModelAlias, MetadataAlias, AddressField, MetadataField, PrimaryKey, SecondaryKey };
  using Source = HostName (*)(const void* context, Name name);
  using Equals = bool (*)(const void* context, const HostName& name, std::string_view field);

  FieldNames(std::string_view model_alias, std::string_view metadata_alias, std::string_view address_field,
             std::string_view metadata_field, std::string_view primary_key, std::string_view secondary_key,
             std::string_view column_quote)
      : known_{HostName(model_alias),   HostName(metadata_alias), HostName(address_field),
               HostName(metadata_field), HostName(primary_key),    HostName(secondary_key)},
        column_quote_(column_quote) {}

  FieldNames(Source source, Equals equals, const void* context, std::string_view column_quote)
      : source_(source), equals_(equals), context_(context), column_quote_(column_quote) {}

  HostName model_alias() const { return get(Name::ModelAlias); }          // alias of the object table
  HostName metadata_alias() const { return get(Name::MetadataAlias); }    // of the enriched metadata source
  HostName primary_key() const { return get(Name::PrimaryKey); }          // object identifier column
  HostName secondary_key() const { return get(Name::SecondaryKey); }      // object version column
  std::string_view column_quote() const { return column_quote_; }         // quote around aliased columns
  // `field == <the query model's name of the address / the metadata>`
  bool is_address_field(std::string_view field) const { return matches(Name::AddressField, field); }
  bool is_metadata_field(std::string_view field) const { return matches(Name::MetadataField, field); }

 private:
  HostName get(Name name) const {
    auto& known = known_[static_cast<std::size_t>(name)];
    if (!known) known = source_(context_, name);
    return *known;
  }
  bool matches(Name name, std::string_view field) const {
    const HostName known = get(name);
    return known.is_hole() ? equals_(context_, known, field) : known.text == field;
  }

  Source source_ = nullptr;
  Equals equals_ = nullptr;
  const void* context_ = nullptr;
  mutable std::array<std::optional<HostName>, 6> known_;
  std::string_view column_quote_;
};

struct ResolveFlags {
  bool is_internal_table = false;
  bool use_internal_meta_tables = false;
};

// The expression for `nested` (keys joined by "__") inside `field`, cast by `cast`.
// Gives the empty text when the field cannot be addressed in this mode.
Parts resolve_nested_field_name(std::string_view field, std::string_view nested, Cast cast, ResolveFlags flags,
                                const FieldNames& names);

// Where a cast comes from when an expression needs one: asked at most once, and not
// at all for the address columns and plain metadata columns, which have no cast.
struct CastSource {
  Cast (*get)(const void* context);
  const void* context;
  Cast operator()() const { return get(context); }
};

Parts resolve_nested_field_name(std::string_view field, std::string_view nested, CastSource cast_of,
                                ResolveFlags flags, const FieldNames& names);

// "cast(<column>::json-><keys> as <type>)", trimmed of JSON string quotes for text.
// Every key but the last is reached with ->, the last with ->> so that the cast sees
// the bare value; a single key cast to text keeps -> and relies on the trim.
std::string json_path_expression(std::string_view column, std::string_view nested, Cast cast);

// The condition that keeps only the latest version of each object.
Parts latest_version_test(bool use_internal_meta_tables, const HostName& metadata_alias,
                          std::string_view column_quote);

}  // namespace velmor::sqltext
