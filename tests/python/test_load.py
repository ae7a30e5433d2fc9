"""Writers under fire. Several processes write at once, each with an instance of its own:
nested transactions, rows of their own and rows that all of them compete for, each level
ended by commit, rollback or revert. Meanwhile this process terminates one of their
backends every 40 to 160 ms. Each writer notes what the module acknowledged and recovers as
the README says; afterwards every acknowledged row must be there with its writer's data, no
row that was not kept may be there, and every writer must have ended by itself with empty
stacks.

It runs directly and through a throwaway PgBouncer in transaction pooling mode with fewer
server connections than writers, 3 writers for 20 s unless VELMOR_LOAD_WRITERS and
VELMOR_LOAD_SECONDS say otherwise (`bash scripts/load.sh` records 8 writers for 300 s on
both builds)."""

import collections
import contextlib
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import psycopg2
import pytest
from conftest import server_keywords
from psycopg2 import extensions

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService
from velmor_utils.models.data_models.address import Address

CLASS, DEPTH, HOT_KEYS = "load", 3, 8
# What a writer does next inside a level, by weight; how it ends a level, by weight.
ACTIONS = {"own": 5, "hot": 2, "refused": 0.4, "nest": 2, "end": 3}
ENDINGS = {"commit": 6, "rollback": 2, "revert": 2}
FAILURES = (VelmorConnectionError, psycopg2.Error)
GRACE = 60  # seconds a writer may take past its deadline to close its levels
POOLER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "pgbouncer.sh")


class Writer:
    def __init__(self, number, dsn, seconds, seed):
        self.number, self.dsn, self.rng = number, dsn, random.Random(seed)
        self.deadline = time.monotonic() + seconds
        self.db = PostgresHistoricalConnection()
        self.levels = []  # the rows each open level put: [name, object_id, version]
        self.kept, self.either = [], []  # put in outermost commits that returned normally / raised
        self.counts = collections.Counter()
        self.serial, self.hot, self.unexpected = 0, False, []

    def choose(self, weights):
        return self.rng.choices(list(weights), list(weights.values()))[0]

    def run(self):
        self.connect()
        while self.levels or time.monotonic() < self.deadline:
            try:
                self.step()
            except FAILURES as error:
                try:
                    self.recover(error)
                except FAILURES:
                    self.reconnect()
        stacks = [len(self.db._revert_data), len(self.db._savepoints)]
        self.db.disconnect()
        return {"number": self.number, "kept": self.kept, "either": self.either, "stacks": stacks,
                "counts": self.counts, "unexpected": self.unexpected[:5]}

    def step(self):
        if not self.levels:
            return self.open()
        if time.monotonic() >= self.deadline:
            return self.end("commit")
        action = self.choose(ACTIONS)
        if action == "nest" and len(self.levels) < DEPTH:
            self.open()
        elif action in ("nest", "end"):
            self.end(self.choose(ENDINGS))
        else:
            self.put(action)

    def open(self):
        self.levels.append([])  # as the module stacks it: before the statement
        self.db.begin()
        self.counts["transactions"] += 1

    def put(self, kind):
        self.serial += 1
        name = f"w{self.number}.{self.serial}"
        key = (name, "1")
        # One contested row per transaction: waits and unique violations, but no lock cycles.
        if kind == "refused" or (kind == "hot" and not self.hot):
            key = (f"hot{self.rng.randrange(HOT_KEYS)}", str(int(time.time() * 200)))
            self.hot |= kind == "hot"
        where = Address(class_name=CLASS, object_id=key[0], object_version=key[1], class_version=1)
        if kind != "refused":
            self.db.put(where, {"name": name, "writer": self.number})
            self.levels[-1].append([name, *key])
            return
        try:  # a value the driver cannot adapt: refused before anything is sent
            self.db.put(where, {"name": object(), "writer": self.number})
        except VelmorConnectionError as error:
            if not isinstance(error.__cause__, psycopg2.ProgrammingError):
                raise
            self.counts["refused puts"] += 1
            return
        raise AssertionError("a put of a value the driver cannot adapt returned normally")

    def end(self, how):
        if how == "revert":
            self.db.revert()  # leaves its level stacked when it fails
            self.counts["undone rows"] += len(self.levels.pop())
        elif how == "rollback":
            self.counts["undone rows"] += len(self.levels.pop())
            self.db.rollback()
        elif len(self.levels) > 1:
            rows = self.levels.pop()
            self.levels[-1] += rows
            self.db.commit()
        else:
            rows = self.levels.pop()
            try:
                self.db.commit()
            except FAILURES:
                self.either += rows
                self.counts["commits that raised"] += 1
                raise
            self.kept += rows
        if not self.levels and how != "revert":  # an outermost revert leaves the transaction open
            self.hot = False

    def recover(self, error):
        """After a failed call: roll the failed level back, or start again."""
        connection = self.db._connection
        if connection is not None and not connection.closed:
            # On a live connection only a contested row may fail (a unique violation, or a
            # deadlock once an outermost revert left its transaction open): anything else is a
            # fault, such as session state that the pooler did not keep.
            if (getattr(error.__cause__, "pgcode", None) in ("23505", "40P01") and self.levels
                    and connection.get_transaction_status() == extensions.TRANSACTION_STATUS_INERROR):
                self.counts["statement errors"] += 1
                return self.end("rollback")
            self.unexpected.append(f"{error!r} caused by {error.__cause__!r}")
        self.reconnect()

    def reconnect(self):
        """The README's rule: disconnect, connect, and roll back every level still open."""
        self.counts["reconnects"] += 1
        self.counts["undone rows"] += sum(map(len, self.levels))
        self.levels, self.hot = [], False
        self.db.disconnect()
        self.connect()
        while self.db._revert_data:
            with contextlib.suppress(*FAILURES):  # an inner level names a savepoint gone with the session
                self.db.rollback()

    def connect(self):
        for _ in range(200):
            with contextlib.suppress(psycopg2.OperationalError):
                return self.db.connect(self.dsn)
            time.sleep(0.05)
        self.db.connect(self.dsn)


def raw(keywords):
    connection = psycopg2.connect(**keywords)
    connection.autocommit = True
    return connection


@contextlib.contextmanager
def pooler(keywords, pool_size):
    """scripts/pgbouncer.sh in front of the server, for as long as the block runs."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    env["POSTGRES_PASSWORD"] = keywords.get("password", "")
    guard = subprocess.Popen(["bash", POOLER, keywords["host"], str(keywords.get("port", 5432)), keywords["user"],
                              str(pool_size)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
    try:
        port = guard.stdout.readline().strip()
        assert port, "PgBouncer did not start"
        yield {**keywords, "host": "127.0.0.1", "port": port}
    finally:
        guard.stdin.close()
        guard.wait(timeout=60)


def drive(keywords, dsn, writers, seconds, rng):
    """Starts the writers and kills their backends until all have ended; the kills, the
    elapsed time, their ledgers and what went wrong."""
    outputs = [(tempfile.TemporaryFile("w+"), tempfile.TemporaryFile("w+")) for _ in range(writers)]
    processes = [subprocess.Popen([sys.executable, os.path.abspath(__file__), str(number), str(rng.randrange(2**32)),
                                   str(seconds), dsn], stdout=out, stderr=err)
                 for number, (out, err) in enumerate(outputs)]
    started, kills, ledgers, failures = time.monotonic(), 0, [], []
    try:
        with contextlib.closing(raw(keywords)) as killer, killer.cursor() as cursor:
            while any(process.poll() is None for process in processes):
                if time.monotonic() > started + seconds + GRACE:
                    break
                time.sleep(rng.uniform(0.04, 0.16))
                cursor.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
                               "current_database() AND backend_type = 'client backend' AND pid <> "
                               "pg_backend_pid() ORDER BY random() LIMIT 1")
                kills += sum(done for (done,) in cursor.fetchall())
        elapsed = time.monotonic() - started
    finally:
        for number, process in enumerate(processes):
            if process.poll() is None:
                process.kill()
                failures.append(f"writer {number} hung, and was killed")
            process.wait()
    for (number, process), (out, err) in zip(enumerate(processes), outputs):
        with out, err:
            out.seek(0), err.seek(0)
            if process.returncode != 0:
                failures.append(f"writer {number} ended with status {process.returncode}: {err.read()[-2000:]}")
            else:
                ledgers.append(json.load(out))
    return {"kills": kills, "seconds": elapsed}, ledgers, failures


def run(keywords, writers, seconds, pool_size=None, seed=None):
    """The whole load, on a database of its own: its figures, with "failures" empty if it held."""
    seed = random.randrange(2**32) if seed is None else seed
    name = f"velmor_load_{os.getpid()}"
    with contextlib.closing(raw(keywords)) as admin, admin.cursor() as cursor:
        cursor.execute(f'CREATE DATABASE "{name}"')
        try:
            target = {**keywords, "dbname": name}
            db = PostgresHistoricalConnection()
            db.connect(extensions.make_dsn(**target))
            db.prepare_connection()
            columns = {"name": "text", "writer": "integer"}
            table = PostgresHistoricalTableSchemaService(db).create_object_table(CLASS, 1, columns)
            db.disconnect()
            with pooler(target, pool_size) if pool_size else contextlib.nullcontext(target) as route:
                dsn = extensions.make_dsn(**{key: value for key, value in route.items() if key != "options"})
                figures, ledgers, failures = drive(target, dsn, writers, seconds, random.Random(seed))
            with contextlib.closing(raw(target)) as check, check.cursor() as rows:
                rows.execute(f'SELECT partition_key, range_key, name, writer FROM "{table}"')
                stored = {(key, version): (data, writer) for key, version, data, writer in rows.fetchall()}
        finally:
            cursor.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
    # A row is identified by its data: the writer's name of the put, and the writer's number.
    allowed = {(*row, ledger["number"]) for ledger in ledgers for row in ledger["kept"] + ledger["either"]}
    lost = [row for ledger in ledgers for row in ledger["kept"]
            if stored.get((row[1], row[2])) != (row[0], ledger["number"])]
    reported = {ledger["number"] for ledger in ledgers}  # a writer that failed is reported as such
    wrong = [[data, *key] for key, (data, writer) in stored.items()
             if writer in reported and (data, *key, writer) not in allowed]
    failures += [f"writer {ledger['number']} ended with stacks {ledger['stacks']}"
                 for ledger in ledgers if ledger["stacks"] != [0, 0]]
    failures += [f"writer {ledger['number']} met {error}" for ledger in ledgers for error in ledger["unexpected"]]
    if lost:
        failures.append(f"{len(lost)} acknowledged rows lost, e.g. {lost[:5]}")
    if wrong:
        failures.append(f"{len(wrong)} rows kept that were not, e.g. {wrong[:5]}")
    counts = sum((collections.Counter(ledger["counts"]) for ledger in ledgers), collections.Counter())
    figures.update(counts, writers=writers, seed=seed, acknowledged=sum(len(ledger["kept"]) for ledger in ledgers),
                   lost=len(lost), wrongly_kept=len(wrong), failures=failures)
    route = f"through PgBouncer ({pool_size} server connections)" if pool_size else "directly"
    report = "\n  ".join([
        f"load {route}, seed {seed}: {writers} writers, {figures['seconds']:.1f} s, "
        f"{counts['transactions']:,} transactions, {figures['kills']:,} kills, "
        f"{figures['acknowledged']:,} rows acknowledged, {len(lost)} lost, {len(wrong)} wrongly kept",
        f"undone rows {counts['undone rows']:,}, commits that raised {counts['commits that raised']:,}, "
        f"reconnects {counts['reconnects']:,}, statement errors rolled back {counts['statement errors']:,}, "
        f"refused puts {counts['refused puts']:,}", *failures])
    print(report, flush=True)
    if os.environ.get("VELMOR_LOAD_REPORT"):  # scripts/load.sh collects the figures
        with open(os.environ["VELMOR_LOAD_REPORT"], "a", encoding="utf-8") as collected:
            collected.write(report + "\n")
    return figures


WRITERS = int(os.environ.get("VELMOR_LOAD_WRITERS", 3))
SECONDS = float(os.environ.get("VELMOR_LOAD_SECONDS", 20))
SEED = os.environ.get("VELMOR_LOAD_SEED")  # the seed a run printed: the same choices, not the same timing


@pytest.mark.timeout(SECONDS + GRACE + 120)
@pytest.mark.parametrize("pool_size", [None, max(2, WRITERS // 2)], ids=["direct", "pgbouncer"])
def test_writers_under_fire_keep_exactly_what_was_acknowledged(pool_size):
    keywords = server_keywords()
    if keywords is None:
        pytest.skip("no PostgreSQL server: run scripts/test.sh, or set POSTGRES_HOST and friends")
    if pool_size and not any(os.access(f"{folder}/pgbouncer", os.X_OK) for folder in ("/usr/sbin", "/usr/bin")):
        pytest.skip("no pgbouncer: install Debian's pgbouncer")
    figures = run(keywords, WRITERS, SECONDS, pool_size, int(SEED) if SEED else None)
    assert figures["failures"] == []
    # Every path the load exists for was taken: otherwise its passing proves little.
    assert all(figures.get(key, 0) > 0 for key in ("kills", "acknowledged", "reconnects", "statement errors",
                                            "refused puts", "undone rows")), figures


if __name__ == "__main__":  # a writer: its number, seed, seconds and DSN
    number, seed, seconds, dsn = sys.argv[1:]
    json.dump(Writer(int(number), dsn, float(seconds), int(seed)).run(), sys.stdout)
