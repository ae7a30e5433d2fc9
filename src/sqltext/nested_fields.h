// Expressions that reach into JSON columns, and the latest-version test.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace velmor::sqltext {

// The SQL type a JSON value is cast to before it is compared.
enum class Cast { Integer, Real, Boolean, Text };

std::string_view cast_name(Cast cast) noexcept;

// The names a nested-field expression is written with; they come from the host
// package at import time.
struct FieldNames {
  std::string_view model_alias;      // alias of the object table
  std::string_view metadata_alias;   // alias of the enriched metadata source
  std::string_view address_field;    // query-model name of the address
  std::string_view metadata_field;   // query-model name of the metadata
  std::string_view primary_key;      // object identifier column
  std::string_view secondary_key;    // object version column
  std::string_view column_quote;     // quote around aliased column names
};

struct ResolveFlags {
  bool is_internal_table = false;
  bool use_internal_meta_tables = false;
};

// The expression for `nested` (keys joined by "__") inside `field`, cast by `cast`.
// Returns the empty string when the field cannot be addressed in this mode.
std::string resolve_nested_field_name(std::string_view field, std::string_view nested, Cast cast,
                                      ResolveFlags flags, const FieldNames& names);

// The same, asking `cast_of` for the cast only when the expression has one (the
// address columns and plain metadata columns have none).
std::string resolve_nested_field_name(std::string_view field, std::string_view nested,
                                      const std::function<Cast()>& cast_of, ResolveFlags flags,
                                      const FieldNames& names);

// "cast(<column>::json-><keys> as <type>)", trimmed of JSON string quotes for text.
// Every key but the last is reached with ->, the last with ->> so that the cast sees
// the bare value; a single key cast to text keeps -> and relies on the trim.
std::string json_path_expression(std::string_view column, std::string_view nested, Cast cast);

// The condition that keeps only the latest version of each object.
std::string latest_version_test(bool use_internal_meta_tables, std::string_view metadata_alias,
                                std::string_view column_quote);

}  // namespace velmor::sqltext
