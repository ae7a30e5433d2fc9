// How names and keys are written into statement text.
//
// Statements travel through a driver that reads every '%' of the text as the start
// of a placeholder, so a '%' that belongs to a name is always written doubled.
#pragma once

#include <string>
#include <string_view>

namespace velmor::sqltext {

// Appends `name` between two `quote` texts. Every occurrence of `quote` inside the
// name is doubled (so no name can end the quoted identifier) and every '%' doubled.
void append_quoted(std::string& out, std::string_view name, std::string_view quote);
// The same between two texts of their own: the closing one is doubled inside.
void append_quoted(std::string& out, std::string_view name, std::string_view open, std::string_view close);
std::string quoted(std::string_view name, std::string_view quote);

// Appends `key` as a single-quoted SQL literal ('' for ', %% for %).
void append_literal(std::string& out, std::string_view key);

// How many bytes append_quoted/append_literal will add, for reserving once.
std::size_t quoted_size(std::string_view name, std::string_view quote);
std::size_t quoted_size(std::string_view name, std::string_view open, std::string_view close);
std::size_t literal_size(std::string_view key);

// True for an ordinary lower-case identifier: ^[a-z_][a-z0-9_]*$.
bool is_plain_identifier(std::string_view name) noexcept;

// True for the keywords PostgreSQL refuses as an unquoted table name (select, user, ...).
bool is_reserved_word(std::string_view name) noexcept;

// Tables whose names end with "metadata" or "reference" are the store's internal tables.
bool is_internal_table(std::string_view table_name) noexcept;

}  // namespace velmor::sqltext
