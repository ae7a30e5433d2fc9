"""The module against the driver's own, side by side on one server.

Each figure is the median, over interleaved rounds in one process, of the ratio of the
module's time to raw psycopg2 doing the same work: the same statements with the same
parameters, the same fetches, the same row dictionaries.

Run (with POSTGRES_* naming a server): PYTHONPATH=build/python:host /usr/bin/python3 bench/bench_db.py
"""

import gc
import os
import statistics
import sys
import time
import tracemalloc
import uuid

import psycopg2

from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_utils.models.data_models.address import Address
from velmor_utils.models.enums import Versions
from velmor_utils.query.utils import Q

ROUNDS = int(os.environ.get("VELMOR_BENCH_ROUNDS", "9"))
COLUMNS = {"name": "text", "size": "integer", "weight": "real", "flag": "boolean", "data": "json", "extra": "jsonb"}


class Recorder(PostgresHistoricalConnection):
    """Keeps the statements the module sends, to replay them through the raw driver."""

    def __init__(self, **keywords):
        super().__init__(**keywords)
        self.sent = []

    def execute(self, query, *args):
        self.sent.append((query, args))
        return super().execute(query, *args)


def raw_connection():
    keywords = {"host": os.environ["POSTGRES_HOST"], "user": os.environ.get("POSTGRES_USER", "postgres"),
                "dbname": os.environ.get("POSTGRES_DATABASE", "postgres")}
    if os.environ.get("POSTGRES_PORT"):
        keywords["port"] = os.environ["POSTGRES_PORT"]
    if os.environ.get("POSTGRES_PASSWORD"):
        keywords["password"] = os.environ["POSTGRES_PASSWORD"]
    raw = psycopg2.connect(**keywords)
    raw.autocommit = True
    return raw


def row(i):
    return {"name": f"n{i}", "size": i, "weight": i * 0.5, "flag": i % 2 == 0,
            "data": {"a": {"b": i}, "s": "x"}, "extra": [i, "y"]}


def timed(function):
    gc.collect()
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def compare(module_run, raw_run):
    """Median of the per-round ratios, and the two medians, of interleaved runs."""
    ratios, module_times, raw_times = [], [], []
    for round_number in range(ROUNDS):
        pair = (module_run, raw_run) if round_number % 2 == 0 else (raw_run, module_run)
        first, second = timed(pair[0]), timed(pair[1])
        module_time, raw_time = (first, second) if round_number % 2 == 0 else (second, first)
        module_times.append(module_time)
        raw_times.append(raw_time)
        ratios.append(module_time / raw_time)
    return statistics.median(ratios), statistics.median(module_times), statistics.median(raw_times)


class Bench:
    def __init__(self):
        self.store = PostgresHistoricalConnection()
        self.store.connect()
        self.store.prepare_connection()
        self.raw = raw_connection()
        self.schema = self.store.table_schema_manager
        self.class_name = f"bench{uuid.uuid4().hex[:8]}"
        self.table = self.schema.create_object_table(self.class_name, 1, COLUMNS)

    def close(self):
        self.schema.drop_object_table(self.class_name, 1)
        self.store.execute("DELETE FROM metadata WHERE class_schema_type = %s", self.class_name)
        self.store.disconnect()
        self.raw.close()

    def address(self, object_id, version="1"):
        return Address(class_name=self.class_name, class_version=1, object_id=object_id, object_version=version)

    def put_vs_raw(self, n):
        addresses = [self.address(f"o{i}") for i in range(n)]
        rows = [row(i) for i in range(n)]
        recorder = Recorder()
        recorder.connect()
        recorder.begin()
        for address, data in zip(addresses, rows):
            recorder.put(address, data)
        recorder.rollback()
        recorder.disconnect()
        inserts = recorder.sent[1:-1]

        def module_run():
            self.store.begin()
            for address, data in zip(addresses, rows):
                self.store.put(address, data)
            self.store.rollback()

        def raw_run():
            cursor = self.raw.cursor()
            cursor.execute("BEGIN")
            for statement, parameters in inserts:
                cursor.execute(statement, parameters)
            cursor.execute("ROLLBACK")

        return compare(module_run, raw_run)

    def fill(self, n, prefix):
        """Commits n objects with their metadata rows."""
        self.store.begin()
        for i in range(n):
            self.store.put(self.address(f"{prefix}{i}"), row(i))
            self.store.put(Address(class_name="metadata", object_id=f"{self.class_name}:{prefix}{i}@1",
                                   object_version="1"),
                           {"address": {"object_id": f"{prefix}{i}", "object_version": "1"},
                            "prior_version": None, "class_schema_type": self.class_name, "is_deleted": False})
        self.store.commit()
        self.store.on_transaction_complete()

    def query_vs_raw(self):
        where = Address(class_name=self.class_name, class_version=1)
        statement, parameters = self.store._build_select_statement(self.table, None, None, None, None,
                                                                   use_internal_meta_tables=True)

        def module_run():
            self.store.query(where)

        def raw_run():
            cursor = self.raw.cursor()
            cursor.execute(statement, tuple(parameters))
            names = [column[0] for column in cursor.description]
            [dict(zip(names, values)) for values in cursor.fetchall()]

        return compare(module_run, raw_run)

    def revert_vs_raw(self, n):
        addresses = [self.address(f"r{i}") for i in range(n)]
        recorder = Recorder()
        recorder.connect()
        recorder.begin()
        for address in addresses:
            recorder.put(address, {"name": "r"})
        inserts = recorder.sent[1:]
        recorder.sent.clear()
        recorder.revert()
        deletes = recorder.sent[:]
        recorder.execute("ROLLBACK")
        recorder.disconnect()
        ratios, module_times, raw_times = [], [], []
        for _ in range(ROUNDS):
            self.store.begin()
            for address in addresses:
                self.store.put(address, {"name": "r"})
            module_time = timed(self.store.revert)
            self.store.execute("ROLLBACK")  # revert closed the level; the transaction is still open
            cursor = self.raw.cursor()
            cursor.execute("BEGIN")
            for statement, parameters in inserts:
                cursor.execute(statement, parameters)

            def raw_run():
                for statement, parameters in deletes:
                    cursor.execute(statement, parameters)

            raw_time = timed(raw_run)
            cursor.execute("ROLLBACK")
            module_times.append(module_time)
            raw_times.append(raw_time)
            ratios.append(module_time / raw_time)
        return statistics.median(ratios), statistics.median(module_times), statistics.median(raw_times)

    def count_vs_raw(self, repeat):
        where = Address(class_name=self.class_name, class_version=1)
        conditions = Q(_address__object_version=Versions.LATEST) & Q(size__gte=10)
        statement, parameters = self.store._build_count_statement(self.table, conditions,
                                                                  use_internal_meta_tables=True)

        def module_run():
            for _ in range(repeat):
                self.store.count(where, conditions)

        def raw_run():
            for _ in range(repeat):
                cursor = self.raw.cursor()
                cursor.execute(statement, tuple(parameters))
                cursor.fetchone()

        return compare(module_run, raw_run)

    def query_memory(self, n):
        """Peak traced memory of one query of n rows, and the size of its result."""
        where = Address(class_name=self.class_name, class_version=1)
        gc.collect()
        tracemalloc.start()
        result = self.store.query(where)
        _, peak = tracemalloc.get_traced_memory()
        held, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert len(result) == n
        return peak, held


def main():
    bench = Bench()
    try:
        report = []
        ratio, module, raw = bench.put_vs_raw(1000)
        report.append(("put of 1,000 rows in one transaction", ratio, module, raw, 1.05))
        bench.fill(10_000, "q")
        ratio, module, raw = bench.query_vs_raw()
        report.append(("query of 10,000 rows with the metadata join", ratio, module, raw, 1.05))
        ratio, module, raw = bench.revert_vs_raw(1000)
        report.append(("revert of 1,000 writes", ratio, module, raw, None))
        ratio, module, raw = bench.count_vs_raw(20)
        report.append(("count (latest, filtered) x20 over 10,000 rows", ratio, module, raw, None))
        print("| operation | module / raw psycopg2 | module s | raw s | goal |")
        print("|---|---:|---:|---:|---:|")
        for label, ratio, module, raw, goal in report:
            print(f"| {label} | {ratio:.3f} | {module:.4f} | {raw:.4f} | {'<= %.2f' % goal if goal else '-'} |")
        print()
        print("| rows | peak traced memory | result held | peak per row |")
        print("|---:|---:|---:|---:|")
        done = 10_000
        for n in (25_000, 50_000, 100_000):
            bench.fill(n - done, f"m{done}_")
            done = n
            peak, held = bench.query_memory(n)
            print(f"| {n:,} | {peak / 2**20:.1f} MiB | {held / 2**20:.1f} MiB | {peak / n:.0f} B |")
    finally:
        bench.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
