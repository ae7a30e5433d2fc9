"""How the cost of a read grows with the stored history.

For each size, one class gets that many stored versions, 4 per object, each with its
metadata row, written with set-based SQL rather than put so that a million take seconds.
With the tables' statistics current (ANALYZE), timed through the module: a LATEST page of 10
in key order and ordered by a column, a LATEST count, and one object's history.
Then what a host can do: narrow the LATEST read with a condition on the object table, move
the superseded versions out, and, at the smallest size, what the two metadata indexes the
schema service creates are worth. EXPLAIN ANALYZE of both pages shows where the time goes.

Each size has a schema of its own, metadata table included, dropped afterwards: nothing
else in the database is touched, and no other class's rows weigh on the reads.

Run (with POSTGRES_* naming a server): PYTHONPATH=build/python:host /usr/bin/python3 bench/bench_history.py
VELMOR_BENCH_HISTORY_SIZES sets the sizes (default 10000,100000,1000000; about 2 minutes
at a million on 2 shared cores).
"""

import os
import statistics
import sys
import time
import uuid

from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService
from velmor_utils.models.data_models.address import Address
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import NumberPaginator
from velmor_utils.query.utils import Q

VERSIONS_PER_OBJECT = 4
SIZES = [int(size) for size in os.environ.get("VELMOR_BENCH_HISTORY_SIZES", "10000,100000,1000000").split(",")]
# The plans are read where they take a second, not the half minute they take at a million.
PLAN_AT = next((size for size in SIZES if size >= 100_000), SIZES[-1])
METADATA_INDEXES = {
    "metadata_object_id_prior_version_idx": "(object_id, prior_version)",
    "metadata_object_id_object_version_idx": "(object_id, object_version)",
}
LATEST = Q(_address__object_version=Versions.LATEST)
PAGE = NumberPaginator(limit=10, offset=0)
BY_NAME = [OrderBy("name")]


def median_seconds(read, runs=5, budget=10.0):
    """Median of up to `runs` runs, fewer once `budget` seconds are spent (at least one)."""
    times = []
    while len(times) < runs and sum(times) < budget:
        start = time.perf_counter()
        read()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def shown(seconds):
    return f"{seconds * 1000:,.1f} ms" if seconds < 1 else f"{seconds:,.2f} s"


class History:
    """n stored versions of one class in a schema of their own; close() drops the schema."""

    def __init__(self, db, n):
        self.db, self.n = db, n
        self.namespace = f"history_bench_{uuid.uuid4().hex[:8]}"
        db.execute(f"CREATE SCHEMA {self.namespace}")
        db.execute(f"SET search_path TO {self.namespace}")
        db.prepare_connection()  # the metadata table and its indexes, in this schema
        # The table description is read by table name alone, whatever the schema: a name of its own.
        self.class_name = f"hist{uuid.uuid4().hex[:8]}"
        self.table = PostgresHistoricalTableSchemaService(db).create_object_table(
            self.class_name, 1, {"name": "text", "size": "integer"})
        self.where = Address(class_name=self.class_name, class_version=1)
        # Statistics come only from analyze(), not from autovacuum at a moment of its own choosing.
        for table in (f'"{self.table}"', "metadata"):
            db.execute(f"ALTER TABLE {table} SET (autovacuum_enabled = off)")
        # Object o has versions 1 to 4, each naming the one before it as its prior.
        versions = (f"FROM generate_series(0, {n // VERSIONS_PER_OBJECT - 1}) AS o, "
                    f"generate_series(1, {VERSIONS_PER_OBJECT}) AS v")
        db.execute(f'INSERT INTO "{self.table}" (partition_key, range_key, name, size) '
                   f"SELECT 'o' || o, v::text, 'planet ' || o, o * 10 + v {versions}")
        db.execute("INSERT INTO metadata (partition_key, object_id, object_version, prior_version, address, "
                   "class_schema_type, is_deleted) "
                   f"SELECT '{self.class_name}:o' || o || '@' || v, 'o' || o, v::text, "
                   "CASE WHEN v > 1 THEN (v - 1)::text END, "
                   "json_build_object('object_id', 'o' || o, 'object_version', v::text), "
                   f"'{self.class_name}', false {versions}")

    def analyze(self, full=False):
        for table in (f'"{self.table}"', "metadata"):
            self.db.execute(f"VACUUM {'FULL ' if full else ''}ANALYZE {table}")

    def latest_page(self):
        assert len(self.db.query(self.where, conditions=LATEST, pagination=PAGE)) == 10

    def latest_page_by_name(self):
        assert len(self.db.query(self.where, conditions=LATEST, pagination=PAGE, order_by=BY_NAME)) == 10

    def latest_count(self):
        assert self.db.count(self.where, LATEST) == self.n // VERSIONS_PER_OBJECT

    def history(self):
        conditions = Q(_address__object_id="o7") & Q(_address__object_version=Versions.ALL)
        assert len(self.db.query(self.where, conditions=conditions)) == VERSIONS_PER_OBJECT

    def narrow_latest_page_by_name(self):
        # size = 10 * object + version: objects 0 to 9, 40 stored versions.
        conditions = LATEST & Q(size__lt=100)
        assert len(self.db.query(self.where, conditions=conditions, pagination=PAGE, order_by=BY_NAME)) == 10

    def without_metadata_indexes(self, read):
        for name in METADATA_INDEXES:
            self.db.execute(f"DROP INDEX {name}")
        try:
            return read()
        finally:
            for name, columns in METADATA_INDEXES.items():
                self.db.execute(f"CREATE INDEX {name} ON metadata {columns}")

    def archive_superseded(self):
        """Keeps only the latest version of each object in both tables, compacted."""
        latest = str(VERSIONS_PER_OBJECT)
        self.db.execute(f'DELETE FROM "{self.table}" WHERE range_key <> %s', latest)
        self.db.execute("DELETE FROM metadata WHERE object_version <> %s", latest)
        self.analyze(full=True)

    def plan(self, order_by):
        statement, parameters = self.db._build_select_statement(
            self.table, None, LATEST, PAGE, order_by, use_internal_meta_tables=True)
        cursor = self.db.execute("EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF) " + statement, *parameters)
        return [row[0].replace(self.class_name, "hist") for row in cursor.fetchall()]

    def close(self):
        self.db.execute(f"DROP SCHEMA {self.namespace} CASCADE")


def main():
    db = PostgresHistoricalConnection()
    db.connect()
    reads, host, plans = [], [], {}
    try:
        for n in SIZES:
            started = time.perf_counter()
            history = History(db, n)
            try:
                filled = time.perf_counter() - started
                history.analyze()
                reads.append((n, median_seconds(history.latest_page),
                              median_seconds(history.latest_page_by_name), median_seconds(history.latest_count),
                              median_seconds(history.history, runs=15), filled))
                print(f"{n:,} stored versions: {' '.join(shown(seconds) for seconds in reads[-1][1:])}",
                      file=sys.stderr)
                if n == PLAN_AT:
                    plans["LATEST page of 10"] = history.plan(None)
                    plans["LATEST page of 10 ordered by name"] = history.plan(BY_NAME)
                host.append((n, "page ordered by name, narrowed by a condition on a column (40 versions match)",
                             median_seconds(history.narrow_latest_page_by_name)))
                if n == SIZES[0]:
                    host.append((n, "page ordered by name without the two metadata indexes",
                                 history.without_metadata_indexes(
                                     lambda: median_seconds(history.latest_page_by_name, runs=1))))
                history.archive_superseded()
                left = f"{n // VERSIONS_PER_OBJECT:,} latest versions left"
                host.append((n, f"page ordered by name, superseded versions moved out ({left})",
                             median_seconds(history.latest_page_by_name)))
                host.append((n, f"count, superseded versions moved out ({left})",
                             median_seconds(history.latest_count)))
            finally:
                history.close()
    finally:
        db.disconnect()

    print(f"{VERSIONS_PER_OBJECT} versions per object, each with its metadata row, statistics current (ANALYZE); "
          "median of up to 5 runs (15 for the history), fewer past 10 s.")
    print()
    print("| stored versions | LATEST page of 10 | LATEST page of 10 ordered by name | LATEST count "
          "| one object's history | fill (SQL) |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n, *seconds in reads:
        print(f"| {n:,} | {' | '.join(shown(value) for value in seconds)} |")
    print()
    print("What a host can do:")
    print()
    print("| stored versions | read | time |")
    print("|---:|---|---:|")
    for n, label, seconds in host:
        print(f"| {n:,} | {label} | {shown(seconds)} |")
    for label, plan in plans.items():
        print()
        print(f"Plan of the {label} at {PLAN_AT:,} stored versions (EXPLAIN ANALYZE, costs and timing off):")
        print()
        print("```")
        print("\n".join(plan))
        print("```")
    return 0


if __name__ == "__main__":
    sys.exit(main())
