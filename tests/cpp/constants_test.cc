#include "sqltext/constants.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace velmor::sqltext {
namespace {

TEST(MetadataSelectStatement, IsTheEnrichedMetadataSourceVerbatim) {
  const std::string expected =
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
  EXPECT_EQ(kMetadataSelectStatement, expected);
  EXPECT_EQ(kMetadataSelectStatement.size(), 267u);
}

TEST(DescribeTableStatement, IsTheCatalogueLookup) {
  EXPECT_EQ(kDescribeTableStatement,
            "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = %s");
}

TEST(TransactionTexts, AreTheFixedStatements) {
  const struct {
    std::string_view actual;
    std::string_view expected;
  } cases[] = {
      {kBegin, "BEGIN"},
      {kCommit, "COMMIT"},
      {kRollback, "ROLLBACK"},
      {kSavepointPrefix, "SAVEPOINT "},
      {kRollbackToSavepointPrefix, "ROLLBACK TO SAVEPOINT "},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

// The thirteen lines with the alias marked as {A}; every marker takes the alias verbatim.
std::string field_text_for(std::string_view alias) {
  static constexpr std::string_view kLines[] = {
      "json_build_object(",
      "    'next_version', json_agg({A}.\"next_version\")->0,",
      "    'address', json_agg(to_json({A}.address))->0,",
      "    'object_id', json_agg({A}.object_id)->0,",
      "    'object_version', json_agg({A}.object_version)->0,",
      "    'prior_version', json_agg({A}.prior_version)->0,",
      "    'class_schema_reference', json_agg(to_json({A}.class_schema_reference))->0,",
      "    'class_schema_type', json_agg({A}.class_schema_type)->0,",
      "    'is_deleted', json_agg({A}.is_deleted)->0,",
      "    'created_at', json_agg({A}.created_at)->0,",
      "    'updated_at', json_agg({A}.updated_at)->0,",
      "    'transaction', json_agg(to_json({A}.\"transaction\"))->0",
      ") AS _metadata",
  };
  std::string text = "\n";
  for (auto line : kLines) {
    std::string s(line);
    for (std::size_t pos; (pos = s.find("{A}")) != std::string::npos;) s.replace(pos, 3, alias);
    text += s + "\n";
  }
  return text;
}

class MetadataSelectFieldAlias : public ::testing::TestWithParam<std::string_view> {};

TEST_P(MetadataSelectFieldAlias, InsertsTheAliasElevenTimesVerbatim) {
  EXPECT_EQ(metadata_select_field(GetParam()), field_text_for(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Aliases, MetadataSelectFieldAlias,
                         ::testing::Values("t2", "x", "meta_alias", "\"Q\"", ""));

}  // namespace
}  // namespace velmor::sqltext
