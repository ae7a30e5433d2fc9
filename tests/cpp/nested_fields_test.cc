#include "sqltext/nested_fields.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string_view>
#include <tuple>

namespace velmor::sqltext {
namespace {

const FieldNames kNames{"t1", "t2", "_address", "_metadata", "partition_key", "range_key", "\""};

TEST(CastName, NamesEachSqlType) {
  EXPECT_EQ(cast_name(Cast::Integer), "integer");
  EXPECT_EQ(cast_name(Cast::Real), "real");
  EXPECT_EQ(cast_name(Cast::Boolean), "boolean");
  EXPECT_EQ(cast_name(Cast::Text), "text");
}

struct PathCase {
  std::string_view column;
  std::string_view nested;
  Cast cast;
  std::string_view expected;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.expected; }

class JsonPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(JsonPath, BuildsTheCastExpression) {
  const auto& c = GetParam();
  EXPECT_EQ(json_path_expression(c.column, c.nested, c.cast), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, JsonPath,
    ::testing::Values(
        PathCase{"t1.\"data\"", "a", Cast::Integer, "cast(t1.\"data\"::json->>'a' as integer)"},
        PathCase{"t1.\"data\"", "a", Cast::Boolean, "cast(t1.\"data\"::json->>'a' as boolean)"},
        PathCase{"t1.\"data\"", "a", Cast::Text,
                 "trim('\"' FROM cast(t1.\"data\"::json->'a' as text))"},
        PathCase{"t1.\"data\"", "a__b", Cast::Integer,
                 "cast(t1.\"data\"::json->'a'->>'b' as integer)"},
        PathCase{"t1.\"data\"", "a__b__c", Cast::Integer,
                 "cast(t1.\"data\"::json->'a'->'b'->>'c' as integer)"},
        PathCase{"t1.\"data\"", "a__b", Cast::Text,
                 "trim('\"' FROM cast(t1.\"data\"::json->'a'->>'b' as text))"},
        PathCase{"t1.\"data\"", "a__b__c", Cast::Text,
                 "trim('\"' FROM cast(t1.\"data\"::json->'a'->'b'->>'c' as text))"},
        PathCase{"data", "x", Cast::Real, "cast(data::json->>'x' as real)"},
        PathCase{"data", "it's__5%", Cast::Integer, "cast(data::json->'it''s'->>'5%%' as integer)"},
        PathCase{"data", "o'k", Cast::Text, "trim('\"' FROM cast(data::json->'o''k' as text))"}));

struct ResolveCase {
  std::string_view field;
  std::string_view nested;
  Cast cast;
  bool internal;
  bool meta;
  std::string_view expected;
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.expected; }

class Resolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(Resolve, GivesTheFieldExpression) {
  const auto& c = GetParam();
  ResolveFlags flags;
  flags.is_internal_table = c.internal;
  flags.use_internal_meta_tables = c.meta;
  EXPECT_EQ(resolve_nested_field_name(c.field, c.nested, c.cast, flags, kNames).text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    InternalTable, Resolve,
    ::testing::Values(ResolveCase{"data", "x", Cast::Real, true, false,
                                  "cast(data::json->>'x' as real)"},
                      ResolveCase{"_address", "object_id", Cast::Text, true, true,
                                  "trim('\"' FROM cast(_address::json->'object_id' as text))"},
                      ResolveCase{"_metadata", "is_deleted", Cast::Boolean, true, true,
                                  "cast(_metadata::json->>'is_deleted' as boolean)"}));

INSTANTIATE_TEST_SUITE_P(
    AddressField, Resolve,
    ::testing::Values(
        ResolveCase{"_address", "object_id", Cast::Text, false, true, "t1.\"partition_key\""},
        ResolveCase{"_address", "object_id", Cast::Integer, false, false, "partition_key"},
        ResolveCase{"_address", "object_version", Cast::Text, false, true, "t1.\"range_key\""},
        ResolveCase{"_address", "object_version", Cast::Text, false, false, ""},
        ResolveCase{"_address", "name", Cast::Text, false, false, ""},
        ResolveCase{"_address", "name", Cast::Text, false, true,
                    "trim('\"' FROM cast(t1.\"_address\"::json->'name' as text))"},
        ResolveCase{"_address", "object_id__x", Cast::Integer, false, true,
                    "cast(t1.\"_address\"::json->'object_id'->>'x' as integer)"}));

INSTANTIATE_TEST_SUITE_P(
    MetadataField, Resolve,
    ::testing::Values(
        ResolveCase{"_metadata", "is_deleted", Cast::Integer, false, true, "t2.\"is_deleted\""},
        ResolveCase{"_metadata", "odd\"col%", Cast::Text, false, true, "t2.\"odd\"\"col%%\""},
        ResolveCase{"_metadata", "address__x", Cast::Text, false, true,
                    "trim('\"' FROM cast(t2.\"address\"::json->'x' as text))"},
        ResolveCase{"_metadata", "transaction__a__b", Cast::Integer, false, true,
                    "cast(t2.\"transaction\"::json->'a'->>'b' as integer)"},
        ResolveCase{"_metadata", "is_deleted", Cast::Boolean, false, false,
                    "cast(t1.\"_metadata\"::json->>'is_deleted' as boolean)"}));

INSTANTIATE_TEST_SUITE_P(
    OrdinaryField, Resolve,
    ::testing::Values(ResolveCase{"data", "a__b", Cast::Integer, false, false,
                                  "cast(t1.\"data\"::json->'a'->>'b' as integer)"},
                      ResolveCase{"data", "a__b", Cast::Integer, false, true,
                                  "cast(t1.\"data\"::json->'a'->>'b' as integer)"},
                      ResolveCase{"data", "inner__x", Cast::Real, false, true,
                                  "cast(t1.\"data\"::json->'inner'->>'x' as real)"},
                      ResolveCase{"we\"ird%", "k", Cast::Integer, false, false,
                                  "cast(t1.\"we\"\"ird%%\"::json->>'k' as integer)"}));

TEST(ResolveNestedFieldName, UsesTheGivenColumnQuote) {
  const FieldNames names{"t1", "t2", "_address", "_metadata", "partition_key", "range_key", "`"};
  EXPECT_EQ(resolve_nested_field_name("data", "a", Cast::Integer, ResolveFlags{false, true}, names).text(),
            "cast(t1.`data`::json->>'a' as integer)");
}

TEST(ResolveNestedFieldName, LeavesHolesWhereTheCallerJoinsANameItself) {
  // The model alias and the primary key are no plain strings; the address field is compared by the caller.
  const FieldNames names{
      [](const void*, FieldNames::Name which) {
        constexpr std::string_view kTexts[] = {"", "t2", "", "_metadata", "", "range_key"};
        const auto index = static_cast<int>(which);
        return which == FieldNames::Name::MetadataAlias || which == FieldNames::Name::MetadataField ||
                       which == FieldNames::Name::SecondaryKey
                   ? HostName(kTexts[index])
                   : HostName::hole_for(index);
      },
      [](const void*, const HostName&, std::string_view field) { return field == "where"; }, nullptr, "\""};
  const Parts column = resolve_nested_field_name("data", "a", Cast::Integer, ResolveFlags{false, true}, names);
  EXPECT_EQ(column.text(), "cast(.\"data\"::json->>'a' as integer)");
  ASSERT_EQ(column.holes().size(), 1u);
  EXPECT_EQ((std::tuple{column.holes()[0].at, column.holes()[0].name, column.holes()[0].quoted}), (std::tuple{5u, 0, false}));
  const Parts key = resolve_nested_field_name("where", "object_id", Cast::Text, ResolveFlags{false, true}, names);
  EXPECT_EQ(key.text(), ".\"\"");
  ASSERT_EQ(key.holes().size(), 2u);
  EXPECT_EQ((std::tuple{key.holes()[1].at, key.holes()[1].name, key.holes()[1].quoted}), (std::tuple{2u, 4, true}));
}

TEST(LatestVersionTest, WithMetadataJoinTestsTheNextVersionColumn) {
  EXPECT_EQ(latest_version_test(true, "t2", "\"").text(),
            "(t2.\"next_version\" IS NULL OR t2.\"next_version\" = '')");
  EXPECT_EQ(latest_version_test(true, "meta", "`").text(),
            "(meta.`next_version` IS NULL OR meta.`next_version` = '')");
}

TEST(LatestVersionTest, WithoutMetadataJoinTestsTheOwnMetadataColumn) {
  constexpr std::string_view kExpected =
      "(cast(_metadata::json->'next_version' as text) IS NULL OR "
      "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')";
  EXPECT_EQ(latest_version_test(false, "t2", "\"").text(), kExpected);
  EXPECT_EQ(latest_version_test(false, "other", "`").text(), kExpected);
}

}  // namespace
}  // namespace velmor::sqltext
