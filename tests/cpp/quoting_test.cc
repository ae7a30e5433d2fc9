#include "sqltext/quoting.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

namespace velmor::sqltext {
namespace {

struct QuotedCase {
  std::string_view name;
  std::string_view quote;
  std::string_view expected;
};

void PrintTo(const QuotedCase& c, std::ostream* os) { *os << c.expected; }

class Quoted : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(Quoted, DoublesQuotesAndPercents) {
  const auto& c = GetParam();
  EXPECT_EQ(quoted(c.name, c.quote), c.expected);
  EXPECT_EQ(quoted_size(c.name, c.quote), c.expected.size());

  std::string out = "x.";
  append_quoted(out, c.name, c.quote);
  EXPECT_EQ(out, "x." + std::string(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Names, Quoted,
    ::testing::Values(QuotedCase{"data", "\"", "\"data\""}, QuotedCase{"", "\"", "\"\""},
                      QuotedCase{"we\"ird", "\"", "\"we\"\"ird\""},
                      QuotedCase{"\"", "\"", "\"\"\"\""}, QuotedCase{"50%", "\"", "\"50%%\""},
                      QuotedCase{"a%\"b%", "\"", "\"a%%\"\"b%%\""},
                      QuotedCase{"it's", "\"", "\"it's\""}, QuotedCase{"a`b\"c", "`", "`a``b\"c`"},
                      QuotedCase{"a||b", "||", "||a||||b||"}, QuotedCase{"a%b", "%", "%a%%b%"},
                      QuotedCase{"a%b", "", "a%%b"}));

struct LiteralCase {
  std::string_view key;
  std::string_view expected;
};

void PrintTo(const LiteralCase& c, std::ostream* os) { *os << c.expected; }

class Literal : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(Literal, DoublesSingleQuotesAndPercents) {
  const auto& c = GetParam();
  std::string out = "->";
  append_literal(out, c.key);
  EXPECT_EQ(out, "->" + std::string(c.expected));
  EXPECT_EQ(literal_size(c.key), c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Literal,
    ::testing::Values(LiteralCase{"a", "'a'"}, LiteralCase{"", "''"},
                      LiteralCase{"next_version", "'next_version'"}, LiteralCase{"it's", "'it''s'"},
                      LiteralCase{"5%", "'5%%'"}, LiteralCase{"'%'", "'''%%'''"},
                      LiteralCase{"say \"hi\"", "'say \"hi\"'"}, LiteralCase{"%s", "'%%s'"}));

TEST(IsPlainIdentifier, AcceptsOnlyLowerCaseIdentifiers) {
  const struct {
    std::string_view name;
    bool plain;
  } cases[] = {
      {"a", true},     {"_", true},         {"_x9", true},          {"object_table_1", true},
      {"", false},     {"1abc", false},     {"9", false},           {"Abc", false},
      {"abC", false},  {"my-table", false}, {"my table", false},    {"a.b", false},
      {"a\"b", false}, {"a%", false},       {"caf\xC3\xA9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_plain_identifier(c.name), c.plain) << c.name;
}

TEST(IsInternalTable, TestsCaseSensitiveSuffixes) {
  const struct {
    std::string_view name;
    bool internal;
  } cases[] = {
      {"metadata", true},    {"reference", true}, {"object_metadata", true},
      {"x_reference", true}, {"xmetadata", true}, {"Metadata", false},
      {"metadata_x", false}, {"METADATA", false}, {"references", false},
      {"data", false},       {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_internal_table(c.name), c.internal) << c.name;
}

}  // namespace
}  // namespace velmor::sqltext
