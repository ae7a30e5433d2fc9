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
    """(label, member name, positional arguments, keyword arguments), built once."""
    conditions = (Q(data__a__b__gt=1) & Q(data__tags__icontains="x")
                  & Q(_address__object_version=Versions.LATEST))
    order = [OrderBy("data__a__b", "desc"), OrderBy("name")]
    row = {"name": "n", "size": 1, "weight": 0.5, "flag": True, "data": {"a": 1}, "extra": [1],
           "partition_key": "o1", "range_key": "1"}
    items = [{"i": i} for i in range(100)]
    return [
        ("_build_select_statement (join, nested conditions, order, page)", "_build_select_statement",
         ("thing_v1", QuerySpecifier(only=["name", "size"]), conditions, NumberPaginator(limit=10, offset=5), order),
         {"use_internal_meta_tables": True}),
        ("_build_insert_statement (8 columns)", "_build_insert_statement", ("thing_v1", row), {}),
        ("_resolve_nested_field_name (3 keys, meta join)", "_resolve_nested_field_name", ("data", "a__b__c"),
         {"value_type": int, "use_internal_meta_tables": True}),
        ("_build_group_by_statement (nested + plain)", "_build_group_by_statement", (order,),
         {"use_internal_meta_tables": True}),
        ("process_value_before_insert (str for json)", "process_value_before_insert", ("text", "json"), {}),
        ("process_value_before_insert (jsonb, unchanged)", "process_value_before_insert", ({"a": 1}, "jsonb"), {}),
        ("_paginate_items (100 items, page of 10)", "_paginate_items",
         (items, NumberPaginator(limit=10, offset=20)), {}),
    ]


def per_call_ns(member, args, kwargs, number):
    timer = timeit.Timer("member(*args, **kwargs)", globals={"member": member, "args": args, "kwargs": kwargs})
    return timer.timeit(number) / number * 1e9


def main():
    compiled, plain = PostgresHistoricalConnection(), PlainPythonBuilders()
    rows = []
    for label, name, args, kwargs in cases():
        module_member, plain_member = getattr(compiled, name), getattr(plain, name)
        module_result, plain_result = module_member(*args, **kwargs), plain_member(*args, **kwargs)
        if name == "_build_insert_statement":  # the parameters are driver objects without equality
            module_result, plain_result = module_result[0], plain_result[0]
        assert module_result == plain_result, label
        number = 5000
        module_ns, baseline_ns = [], []
        for _ in range(ROUNDS):
            module_ns.append(per_call_ns(module_member, args, kwargs, number))
            baseline_ns.append(per_call_ns(plain_member, args, kwargs, number))
        rows.append((label, statistics.median(module_ns), statistics.median(baseline_ns)))
    print("| builder | module ns/call | plain Python ns/call | speed-up |")
    print("|---|---:|---:|---:|")
    for label, module, baseline in rows:
        print(f"| {label} | {module:,.0f} | {baseline:,.0f} | {baseline / module:.1f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
