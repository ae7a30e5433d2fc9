// The pure text layer alone, without any Python: what building a statement costs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sqltext/constants.h"
#include "sqltext/nested_fields.h"
#include "sqltext/statements.h"

namespace {

using namespace velmor::sqltext;

const FieldNames kNames{"t1", "t2", "_address", "_metadata", "partition_key", "range_key", "\""};

void BM_InsertStatement(benchmark::State& state) {
  const std::vector<std::string_view> columns{"name", "size", "weight", "flag",
                                              "data", "extra", "partition_key", "range_key"};
  for (auto _ : state) benchmark::DoNotOptimize(insert_statement("thing_v1", columns));
}
BENCHMARK(BM_InsertStatement);

void BM_ResolveNestedFieldName(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(
        resolve_nested_field_name("data", "a__b__c", Cast::Integer, {false, true}, kNames));
}
BENCHMARK(BM_ResolveNestedFieldName);

void BM_JoinedSelect(benchmark::State& state) {
  const std::string field = metadata_select_field("t2");
  const std::string columns = joined_column_list({{"name", false}, {"size", false}}, "t1", field);
  JoinedSelect parts;
  parts.select_list = columns;
  parts.table = "thing_v1";
  parts.table_open = parts.table_close = "\"";
  parts.model_alias = "t1";
  parts.metadata_alias = "t2";
  parts.metadata_source = kMetadataSelectStatement;
  parts.where = "(cast(t1.\"data\"::json->'a'->>'b' as integer) > %s AND (t2.\"next_version\" IS NULL OR t2.\"next_version\" = ''))";
  parts.group_by = " GROUP BY t1.partition_key, t1.range_key, cast(t1.\"data\"::json->'a'->>'b' as integer), name";
  parts.order_by = " ORDER BY cast(t1.\"data\"::json->'a'->>'b' as integer) DESC, t1.\"name\" ASC";
  parts.limit = true;
  for (auto _ : state) benchmark::DoNotOptimize(joined_select(parts));
}
BENCHMARK(BM_JoinedSelect);

void BM_GroupByClause(benchmark::State& state) {
  const std::vector<std::string> terms{"cast(t1.\"data\"::json->'a'->>'b' as integer)", "name"};
  for (auto _ : state) benchmark::DoNotOptimize(group_by_clause(terms));
}
BENCHMARK(BM_GroupByClause);

}  // namespace
