"""Failover on the real thing: a primary and a synchronous streaming standby of the
distribution's PostgreSQL, built for this module alone (initdb, then pg_basebackup -R, on
ports of their own), and one instance that reaches them through a multi-host DSN with
target_session_attrs=read-write.

1. Versions are committed on the primary (synchronously replicated). An instance that
   reaches the standby through the same hosts with target_session_attrs=standby reads them
   once they are replayed, and its put fails with the server's read-only error.
2. A transaction is opened with one uncommitted put.
3. The primary is stopped immediately and the standby promoted.
4. The next call raises VelmorConnectionError.
5. After disconnect() and connect(), the instance is on the promoted standby, and put,
   revert and commit each refuse with their "no transaction is in progress" message.
6. rollback() clears the stale level. The refusing outermost commit of step 5 has closed
   its level already, so this runs on a second lost transaction, whose backend is
   terminated on the new primary.
7. Every committed version is on the new primary, the uncommitted ones are not, and new
   writes commit.

The server programs are found as the scripts find them: PG_BIN, else the newest
/usr/lib/postgresql/*/bin. As root they run as the postgres user. Both clusters are
stopped and removed on every exit, by a guard process that does it as soon as the test
ends or the test process dies (a timeout included)."""

import glob
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

import psycopg2
import pytest
from conftest import LOCK_TIMEOUT, PostgresHistoricalConnection, RecordingConnection, address, metadata_record

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService
from velmor_utils.models.enums import Versions
from velmor_utils.query.utils import Q

PROGRAMS = ("initdb", "pg_ctl", "pg_basebackup", "postgres")
STANDBY = "standby"  # the standby's cluster_name, which its WAL receiver reports as application_name
WAIT = 30  # seconds for the pair to become ready, at most

# Runs until its standard input ends: when the fixture closes it, or when the test process
# dies however it dies. Then it stops whatever still runs of the two clusters in $1 with
# pg_ctl ($2) and removes $1.
GUARD = r"""
read -r _ || true
for data in "$1/primary" "$1/standby"; do
  [ -f "$data/postmaster.pid" ] || continue
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$2" -D "$data" -m immediate -w -t 60 stop
  else
    "$2" -D "$data" -m immediate -w -t 60 stop
  fi
done >/dev/null 2>&1
rm -rf "$1"
"""


def find_pg_bin():
    """PG_BIN, else the newest installed major version's program directory (as scripts/lib.sh)."""
    if os.environ.get("PG_BIN"):
        return os.environ["PG_BIN"]
    def version(pg_ctl):  # /usr/lib/postgresql/<version>/bin/pg_ctl
        return [int(part) for part in re.findall(r"\d+", pg_ctl.split("/")[-3])]

    found = glob.glob("/usr/lib/postgresql/*/bin/pg_ctl")
    return os.path.dirname(max(found, key=version)) if found else None


def free_ports(count):
    probes = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    try:
        return [probe.getsockname()[1] for probe in probes]
    finally:
        for probe in probes:
            probe.close()


class Pair:
    """The two clusters under one directory, and the commands that drive them."""

    def __init__(self, bin_dir, home):
        self.bin_dir, self.home = bin_dir, home
        self.primary_port, self.standby_port = free_ports(2)
        self.dsn = (f"host=127.0.0.1,127.0.0.1 port={self.primary_port},{self.standby_port} "
                    f"target_session_attrs=read-write user=postgres dbname=postgres connect_timeout=5 "
                    f"options='{LOCK_TIMEOUT}'")
        # The servers are no part of what is tested: no sanitizer preloaded, and no libpq
        # setting of the caller's (PGOPTIONS and the like).
        self.env = {key: value for key, value in os.environ.items()
                    if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS") and not key.startswith("PG")}

    def run(self, program, *arguments):
        command = [os.path.join(self.bin_dir, program), *arguments]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--", *command]
        done = subprocess.run(command, env=self.env, timeout=60, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        assert done.returncode == 0, f"{' '.join(command)} failed:\n{done.stdout}"

    def data(self, name):
        return os.path.join(self.home, name)

    def start(self, name, port, *settings):
        options = [f"-p {port}", f"-k {self.home}", "-c listen_addresses=127.0.0.1", "-c fsync=off",
                   "-c max_connections=20", *(f"-c {setting}" for setting in settings)]
        self.run("pg_ctl", "-D", self.data(name), "-l", self.data(f"{name}.log"), "-w", "-t", "60",
                 "-o", " ".join(options), "start")

    def connect(self, port):
        """A raw driver connection in autocommit to one of the two."""
        raw = psycopg2.connect(host="127.0.0.1", port=port, user="postgres", dbname="postgres",
                               connect_timeout=5, options=LOCK_TIMEOUT)
        raw.autocommit = True
        return raw

    def build(self):
        self.run("initdb", "-N", "-D", self.data("primary"), "-U", "postgres", "--auth=trust", "-E", "UTF8",
                 "--locale=C.UTF-8")
        # Given on the command line, not in postgresql.conf: the standby's copy of the
        # configuration must not wait for a standby of its own once it is promoted.
        self.start("primary", self.primary_port, f"synchronous_standby_names={STANDBY}")
        self.run("pg_basebackup", "-D", self.data("standby"), "-R", "-X", "stream", "-c", "fast", "-N",
                 "-h", "127.0.0.1", "-p", str(self.primary_port), "-U", "postgres")
        self.start("standby", self.standby_port, f"cluster_name={STANDBY}")
        raw, deadline = self.connect(self.primary_port), time.monotonic() + WAIT
        try:
            with raw.cursor() as cursor:
                while True:
                    cursor.execute("SELECT sync_state FROM pg_stat_replication WHERE application_name = %s",
                                   (STANDBY,))
                    if cursor.fetchall() == [("sync",)]:
                        break
                    assert time.monotonic() < deadline, "the standby did not become a synchronous standby"
                    time.sleep(0.05)
        finally:
            raw.close()

    def logs(self):
        for name in ("primary", "standby"):
            try:
                with open(self.data(f"{name}.log"), encoding="utf-8", errors="replace") as log:
                    print(f"--- {name}.log (last lines)\n" + "".join(log.readlines()[-30:]))
            except OSError:
                pass


@pytest.fixture
def pair():
    bin_dir = find_pg_bin()
    if not bin_dir or not all(os.access(os.path.join(bin_dir, program), os.X_OK) for program in PROGRAMS):
        pytest.skip(f"no PostgreSQL server programs ({', '.join(PROGRAMS)}): install postgresql or set PG_BIN")
    # In /tmp, which the postgres user can reach, and named as debian13.sh expects the
    # server files that a killed run may leave.
    home = tempfile.mkdtemp(prefix="velmor-pg.failover.", dir="/tmp")
    built = Pair(bin_dir, home)
    guard = subprocess.Popen(["/bin/sh", "-c", GUARD, "guard", home, os.path.join(bin_dir, "pg_ctl")],
                             stdin=subprocess.PIPE, env=built.env, start_new_session=True)
    try:
        os.chmod(home, 0o755)
        if os.geteuid() == 0:
            shutil.chown(home, "postgres", "postgres")
        built.build()
        yield built
    finally:
        built.logs()  # shown with a failure only
        guard.stdin.close()
        guard.wait(timeout=120)


def rows(cursor, table):
    cursor.execute(f'SELECT partition_key, range_key FROM "{table}"')
    return set(cursor.fetchall())


def test_failover_keeps_committed_versions_and_refuses_the_lost_transaction(pair):
    # POSTGRES_* name the suite's own server: the DSN names every parameter they set but a
    # password, so the instance goes where the DSN says.
    db = RecordingConnection()
    db.connect(pair.dsn)
    db.prepare_connection()
    cls = "failover"
    table = PostgresHistoricalTableSchemaService(db).create_object_table(cls, 1, {"name": "text"})
    assert db.execute("SELECT inet_server_port()").fetchone() == (pair.primary_port,)

    # 1. Committed versions, in flat and nested transactions.
    committed = set()
    for version in ("1", "2", "3"):
        db.begin()
        db.put(address(cls, "kept", version), {"name": f"kept {version}"})
        db.commit()
        committed.add(("kept", version))
    db.begin()
    db.put(address(cls, "outer", "1"), {"name": "outer"})
    db.begin()
    db.put(address(cls, "inner", "1"), {"name": "inner"})
    db.commit()
    db.commit()
    committed |= {("outer", "1"), ("inner", "1")}

    # The standby serves reads of what the primary committed, once replayed, history too.
    for version, prior in (("1", None), ("2", "1")):
        db.begin()
        db.put(address(cls, "read", version), {"name": f"read {version}"})
        db.put(*metadata_record("read", version, prior, cls))
        db.commit()
    committed |= {("read", "1"), ("read", "2")}
    (written,) = db.execute("SELECT pg_current_wal_lsn()").fetchone()
    reader = PostgresHistoricalConnection()
    reader.connect(pair.dsn.replace("read-write", "standby"))
    assert reader.execute("SELECT inet_server_port(), pg_is_in_recovery()").fetchone() == (pair.standby_port, True)
    deadline = time.monotonic() + WAIT
    while reader.execute("SELECT pg_last_wal_replay_lsn() >= %s::pg_lsn", written).fetchone() != (True,):
        assert time.monotonic() < deadline, "the standby did not replay the primary's commits"
        time.sleep(0.05)
    objects, latest = address(cls, None, None), Q(_address__object_version=Versions.LATEST)
    assert sorted((item["partition_key"], item["range_key"], item["name"], item["_metadata"]["next_version"])
                  for item in reader.query(objects)) == [("read", "1", "read 1", "2"), ("read", "2", "read 2", None)]
    assert (reader.count(objects), reader.count(objects, latest)) == (2, 1)
    # A put there fails with the server's read-only error, wrapped, and keeps no revert entry.
    reader.begin()
    with pytest.raises(VelmorConnectionError) as refused:
        reader.put(address(cls, "standby", "1"), {"name": "on the standby"})
    assert refused.value.args == ('Error executing query: INSERT INTO failover_v1 ("name", "partition_key", '
                                  '"range_key") VALUES (%s, %s, %s) with args: (\'on the standby\', \'standby\', \'1\')',)
    assert isinstance(refused.value.__cause__, psycopg2.errors.ReadOnlySqlTransaction)
    assert reader._revert_data == [[]]
    reader.rollback()
    reader.disconnect()

    # 2. An open transaction with one uncommitted put.
    db.begin()
    db.put(address(cls, "lost", "1"), {"name": "lost"})

    # 3. The primary stops at once; the standby takes over.
    pair.run("pg_ctl", "-D", pair.data("primary"), "-m", "immediate", "-w", "-t", "60", "stop")
    pair.run("pg_ctl", "-D", pair.data("standby"), "-w", "-t", "60", "promote")

    # 4. The next call fails, and keeps nothing of its own.
    def levels():
        return [[(entry[0].object_id, entry[0].object_version) for entry in level] for level in db._revert_data]

    with pytest.raises(VelmorConnectionError) as lost:
        db.put(address(cls, "during", "1"), {"name": "during"})
    assert isinstance(lost.value.__cause__, psycopg2.OperationalError)
    assert levels() == [[("lost", "1")]]

    # 5. Reconnected to the new primary, the lost transaction can be neither written
    # into, reverted nor committed.
    db.disconnect()
    db.connect(pair.dsn)
    assert db.execute("SELECT inet_server_port(), pg_is_in_recovery()").fetchone() == (pair.standby_port, False)
    db.sent.clear()
    with pytest.raises(VelmorConnectionError) as put:
        db.put(address(cls, "after", "1"), {"name": "after"})
    with pytest.raises(VelmorConnectionError) as revert:
        db.revert()
    assert (db.sent, levels(), db._savepoints, db._is_revert_enabled) == ([], [[("lost", "1")]], [], True)
    with pytest.raises(VelmorConnectionError) as commit:
        db.commit()
    assert put.value.args == ("Write failed: no transaction is in progress",)
    assert revert.value.args == ("Revert failed: no transaction is in progress",)
    assert commit.value.args == ("Commit failed: no transaction is in progress",)
    assert (db.sent, levels(), db._savepoints) == ([], [], [])  # the outermost commit closed its level

    # 6. A second lost transaction, on the new primary: rollback() clears its stale level.
    observer = pair.connect(pair.standby_port)
    with observer.cursor() as cursor:
        db.begin()
        db.put(address(cls, "lost", "2"), {"name": "lost again"})
        cursor.execute("SELECT pg_terminate_backend(%s, 10000)", (db._connection.info.backend_pid,))
        with pytest.raises(VelmorConnectionError):
            db.put(address(cls, "during", "2"), {"name": "during"})
        db.disconnect()
        db.connect(pair.dsn)
        db.rollback()
        assert (levels(), db._savepoints) == ([], [])

        # 7. Everything committed is there, nothing uncommitted, and new writes commit.
        assert rows(cursor, table) == committed
        db.begin()
        db.put(address(cls, "new", "1"), {"name": "new"})
        db.begin()
        db.put(address(cls, "new", "2"), {"name": "new"})
        db.revert()  # closes the inner level, deleting its row
        db.commit()
        assert rows(cursor, table) == committed | {("new", "1")}
        assert db.execute("SELECT inet_server_port()").fetchone() == (pair.standby_port,)
    observer.close()
    db.disconnect()
