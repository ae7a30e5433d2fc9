#include "sqltext/constants.h"

namespace velmor::sqltext {

const std::string_view kMetadataSelectStatement =
    "\n"
    "SELECT\n"
    "  _m.*,\n"
    "  trim('\"' FROM (\n"
    "    SELECT cast(_m2.object_version as text)\n"
    "    FROM metadata as _m2\n"
    "    WHERE\n"
    "        _m.object_version = _m2.prior_version\n"
    "        AND\n"
    "        _m.object_id = _m2.object_id\n"
    "    LIMIT 1\n"
    "  )::text) as next_version\n"
    "FROM metadata as _m\n";

const std::string_view kDescribeTableStatement =
    "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = %s";

const std::string_view kBegin = "BEGIN";
const std::string_view kCommit = "COMMIT";
const std::string_view kRollback = "ROLLBACK";
const std::string_view kSavepointPrefix = "SAVEPOINT ";
const std::string_view kRollbackToSavepointPrefix = "ROLLBACK TO SAVEPOINT ";

std::string metadata_select_field(std::string_view alias) {
  // Eleven keys; each value is the first element of the aggregate over the joined
  // metadata row, so the object row's grouping yields exactly one object.
  static constexpr std::string_view kPieces[] = {
      "\njson_build_object(\n    'next_version', json_agg(",
      ".\"next_version\")->0,\n    'address', json_agg(to_json(",
      ".address))->0,\n    'object_id', json_agg(",
      ".object_id)->0,\n    'object_version', json_agg(",
      ".object_version)->0,\n    'prior_version', json_agg(",
      ".prior_version)->0,\n    'class_schema_reference', json_agg(to_json(",
      ".class_schema_reference))->0,\n    'class_schema_type', json_agg(",
      ".class_schema_type)->0,\n    'is_deleted', json_agg(",
      ".is_deleted)->0,\n    'created_at', json_agg(",
      ".created_at)->0,\n    'updated_at', json_agg(",
      ".updated_at)->0,\n    'transaction', json_agg(to_json(",
      ".\"transaction\"))->0\n) AS _metadata\n",
  };
  std::size_t size = 11 * alias.size();
  for (auto piece : kPieces) size += piece.size();
  std::string out;
  out.reserve(size);
  out.append(kPieces[0]);
  for (std::size_t i = 1; i < std::size(kPieces); ++i) {
    out.append(alias);
    out.append(kPieces[i]);
  }
  return out;
}

}  // namespace velmor::sqltext
