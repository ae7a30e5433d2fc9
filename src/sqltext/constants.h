// Fixed SQL texts of the PostgreSQL history back end.
#pragma once

#include <string>
#include <string_view>

namespace velmor::sqltext {

// The enriched metadata source: every metadata row plus the version that follows it.
extern const std::string_view kMetadataSelectStatement;

// Catalogue lookup of a table's columns and their data types.
extern const std::string_view kDescribeTableStatement;

extern const std::string_view kBegin;
extern const std::string_view kCommit;
extern const std::string_view kRollback;
extern const std::string_view kSavepointPrefix;            // "SAVEPOINT "
extern const std::string_view kRollbackToSavepointPrefix;  // "ROLLBACK TO SAVEPOINT "

// The aggregated `_metadata` select-list item over the metadata source aliased `alias`.
std::string metadata_select_field(std::string_view alias);

}  // namespace velmor::sqltext
