#include "sqltext/statements.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sqltext/constants.h"

namespace velmor::sqltext {
namespace {

struct InsertCase {
  std::string_view table;
  std::vector<std::string_view> columns;
  std::string_view expected;
};

void PrintTo(const InsertCase& c, std::ostream* os) { *os << c.expected; }

class Insert : public ::testing::TestWithParam<InsertCase> {};

TEST_P(Insert, BuildsTheStatement) {
  const auto& c = GetParam();
  EXPECT_EQ(insert_statement(c.table, c.columns), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, Insert,
    ::testing::Values(
        InsertCase{"things",
                   {"partition_key", "range_key", "data"},
                   "INSERT INTO things (\"partition_key\", \"range_key\", \"data\") "
                   "VALUES (%s, %s, %s)"},
        InsertCase{"_t_1", {"a"}, "INSERT INTO _t_1 (\"a\") VALUES (%s)"},
        InsertCase{"things", {}, "INSERT INTO things () VALUES ()"},
        InsertCase{"Things", {"a"}, "INSERT INTO \"Things\" (\"a\") VALUES (%s)"},
        InsertCase{"my-table", {"a"}, "INSERT INTO \"my-table\" (\"a\") VALUES (%s)"},
        InsertCase{"1abc", {"a"}, "INSERT INTO \"1abc\" (\"a\") VALUES (%s)"},
        InsertCase{"user", {"a"}, "INSERT INTO \"user\" (\"a\") VALUES (%s)"},
        InsertCase{"select", {"a"}, "INSERT INTO \"select\" (\"a\") VALUES (%s)"},
        InsertCase{"users", {"a"}, "INSERT INTO users (\"a\") VALUES (%s)"},
        InsertCase{"we\"ird%", {"a"}, "INSERT INTO \"we\"\"ird%%\" (\"a\") VALUES (%s)"},
        InsertCase{"t",
                   {"x\"y", "5%", "Col"},
                   "INSERT INTO t (\"x\"\"y\", \"5%%\", \"Col\") VALUES (%s, %s, %s)"}));

struct DeleteCase {
  std::string_view table;
  std::string_view separator;
  std::vector<std::string_view> columns;
  std::string_view expected;
};

void PrintTo(const DeleteCase& c, std::ostream* os) { *os << c.expected; }

class Delete : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(Delete, BuildsTheStatement) {
  const auto& c = GetParam();
  EXPECT_EQ(delete_statement(c.table, c.separator, c.separator, c.columns), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, Delete,
    ::testing::Values(
        DeleteCase{"things",
                   "\"",
                   {"partition_key", "range_key"},
                   "DELETE FROM \"things\" WHERE \"partition_key\" = %s AND \"range_key\" = %s"},
        DeleteCase{"Things", "\"", {"a"}, "DELETE FROM \"Things\" WHERE \"a\" = %s"},
        DeleteCase{"things", "\"", {}, "DELETE FROM \"things\" WHERE "},
        DeleteCase{
            "we\"ird%", "\"", {"c%\""}, "DELETE FROM \"we\"\"ird%%\" WHERE \"c%%\"\"\" = %s"},
        DeleteCase{"things", "`", {"a"}, "DELETE FROM `things` WHERE \"a\" = %s"}));

TEST(Delete, DoublesTheClosingSeparatorInside) {
  EXPECT_EQ(delete_statement("a]b[", "[", "]", {"c"}), "DELETE FROM [a]]b[] WHERE \"c\" = %s");
}

TEST(PlainColumnList, WritesTermsOrStar) {
  const struct {
    std::vector<ColumnTerm> terms;
    std::string_view expected;
  } cases[] = {
      {{}, "*"},
      {{{"a", false}}, "a"},
      {{{"_metadata", false}, {"a", true}, {"b", false}}, "_metadata, distinct a, b"},
      {{{"a", true}, {"b", false}}, "distinct a, b"},
      {{{"B", false}, {"_metadata", false}, {"a", false}}, "B, _metadata, a"},
  };
  for (const auto& c : cases) EXPECT_EQ(plain_column_list(c.terms), c.expected);
}

TEST(JoinedColumnList, QualifiesTermsAndEndsWithTheMetadataColumn) {
  EXPECT_EQ(joined_column_list({{"a", true}, {"b", false}}, "t1", "M").text(), "DISTINCT t1.a, t1.b, M");
  EXPECT_EQ(joined_column_list({}, "t1", "M").text(), "t1.*, M");
  EXPECT_EQ(joined_column_list({{"a", false}}, "t1", metadata_select_field("t2")).text(),
            "t1.a, " + metadata_select_field("t2"));
}

constexpr std::string_view kJoin =
    " AS t1 JOIN (SRC) AS t2 ON t1.partition_key = t2.object_id AND t1.range_key = "
    "t2.object_version";

JoinedSelect base_parts() {
  JoinedSelect parts;
  parts.select_list = "t1.*, M";
  parts.table = "things";
  parts.table_open = parts.table_close = "\"";
  parts.model_alias = "t1";
  parts.metadata_alias = "t2";
  parts.metadata_source = "SRC";
  return parts;
}

TEST(JoinedSelect, WithoutOptionalClauses) {
  EXPECT_EQ(joined_select(base_parts()).text(), "SELECT t1.*, M FROM \"things\"" + std::string(kJoin));
}

TEST(JoinedSelect, WithEveryClause) {
  JoinedSelect parts = base_parts();
  parts.where = "(t1.a = %s AND t1.b > %s)";
  parts.group_by = " GROUP BY t1.partition_key, t1.range_key, t1.a";
  parts.order_by = " ORDER BY t1.a ASC";
  parts.limit = true;
  EXPECT_EQ(joined_select(parts).text(),
            "SELECT t1.*, M FROM \"things\"" + std::string(kJoin) +
                " WHERE (t1.a = %s AND t1.b > %s)"
                " GROUP BY t1.partition_key, t1.range_key, t1.a ORDER BY t1.a ASC"
                " LIMIT %s OFFSET %s");
}

TEST(JoinedSelect, AnOffsetAloneFollowsTheOrderingAndGivesWayToALimit) {
  JoinedSelect parts = base_parts();
  parts.order_by = " ORDER BY t1.a ASC";
  parts.offset_alone = true;
  const std::string head = "SELECT t1.*, M FROM \"things\"" + std::string(kJoin) + " ORDER BY t1.a ASC";
  EXPECT_EQ(joined_select(parts).text(), head + " OFFSET %s");
  parts.limit = true;
  EXPECT_EQ(joined_select(parts).text(), head + " LIMIT %s OFFSET %s");
}

TEST(JoinedSelect, QuotesTheTableNameWithDoubling) {
  JoinedSelect parts = base_parts();
  parts.table = "My\"Table%";
  EXPECT_EQ(joined_select(parts).text(), "SELECT t1.*, M FROM \"My\"\"Table%%\"" + std::string(kJoin));
}

TEST(IsCountingSelectList, LooksForUpperCaseCount) {
  const struct {
    std::string_view list;
    bool counting;
  } cases[] = {
      {"COUNT(*)", true},   {"COUNT(DISTINCT t1.a), t1.b", true},
      {"t1.COUNTRY", true}, {"count(*)", false},
      {"Count(*)", false},  {"t1.*", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_counting_select_list(c.list), c.counting) << c.list;
  EXPECT_FALSE(is_counting_select_list("t1.*, " + metadata_select_field("t2")));
}

TEST(GroupByClause, StartsWithTheKeyColumnsThenEachTerm) {
  const std::string head = " GROUP BY t1.partition_key, t1.range_key";
  EXPECT_EQ(group_by_clause({}), head);
  const std::string term = "trim('\"' FROM cast(t1.\"data\"::json->'inner'->>'x' as text))";
  EXPECT_EQ(group_by_clause({"name", term}), head + ", name, " + term);
  EXPECT_EQ(group_by_clause({"name", "name"}), head + ", name, name");
}

}  // namespace
}  // namespace velmor::sqltext
