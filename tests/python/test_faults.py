"""Faults in the middle of a transaction: a terminated backend, a restarted server, a cut link.
The next call fails cleanly, the instance reconnects, committed rows stay and nothing of the
interrupted transaction remains."""

import contextlib
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

import psycopg2
import pytest
from conftest import OBJECT_COLUMNS, PostgresHistoricalConnection, address, metadata_record

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService


class Proxy:
    """Forwards 127.0.0.1:<port> to the server; cut() severs every link it carries."""

    def __init__(self, host, port):
        self.target = (host, int(port))
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.links, self.threads, self.lock, self.stopped = [], [], threading.Lock(), threading.Event()
        self._spawn(self._accept)

    def _spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        self.threads.append(thread)

    def _accept(self):
        while not self.stopped.is_set():
            try:
                client, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            server = socket.create_connection(self.target, timeout=5)
            client.settimeout(None), server.settimeout(None)
            with self.lock:
                self.links.append((client, server))
            self._spawn(self._pump, client, server)
            self._spawn(self._pump, server, client)

    @staticmethod
    def _pump(source, sink):
        with contextlib.suppress(OSError):
            while chunk := source.recv(65536):
                sink.sendall(chunk)
            sink.shutdown(socket.SHUT_WR)

    def cut(self):
        with self.lock:
            links, self.links = self.links, []
        for end in (end for link in links for end in link):
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)
            end.close()

    def close(self):
        self.stopped.set()
        self.listener.close()
        self.cut()
        for thread in self.threads:
            thread.join(timeout=2)
        assert not any(thread.is_alive() for thread in self.threads)


@pytest.fixture
def proxy(database):
    forwarder = Proxy(database["host"], database.get("port", 5432))
    yield forwarder
    forwarder.close()


def as_server_user(*command):
    return ["runuser", "-u", "postgres", "--", *command] if os.geteuid() == 0 else list(command)


@pytest.fixture
def own_server():
    """A throwaway server of this test's own: restarting it cuts no other test's connection
    (the session's scratch-database fixture keeps one open until the end of the run)."""
    pg_ctl = os.environ.get("VELMOR_PG_CTL")
    if not (os.environ.get("VELMOR_PGDATA") and pg_ctl):
        pytest.skip("the server is an external one (VELMOR_PGDATA unset): no server of ours to restart")
    home = tempfile.mkdtemp(prefix="velmor-restart-")
    os.chmod(home, 0o755)
    if os.geteuid() == 0:
        shutil.chown(home, "postgres", "postgres")
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    data, log = os.path.join(home, "data"), os.path.join(home, "server.log")

    # The server is no part of what is tested: it runs without any sanitizer preloaded.
    server_env = {key: value for key, value in os.environ.items()
                  if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}

    def run(*command, check=True):
        subprocess.run(as_server_user(*command), check=check, timeout=60, env=server_env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    try:
        run(os.path.join(os.path.dirname(pg_ctl), "initdb"), "-N", "-D", data, "-U", "postgres",
            "--auth=trust", "-E", "UTF8", "--locale=C.UTF-8")
        run(pg_ctl, "-D", data, "-l", log, "-w", "-t", "60", "-o",
            f"-p {port} -k {home} -c listen_addresses=127.0.0.1 -c fsync=off", "start")
        # restart reuses the options of the last start (postmaster.opts)
        yield ({"host": "127.0.0.1", "port": port, "user": "postgres", "database": "postgres"},
               lambda: run(pg_ctl, "-D", data, "-l", log, "-m", "fast", "-w", "-t", "60", "restart"))
    finally:
        run(pg_ctl, "-D", data, "-m", "immediate", "-w", "stop", check=False)
        shutil.rmtree(home, ignore_errors=True)


def scratch(database):
    return {**{k: v for k, v in database.items() if k != "dbname"}, "database": database["dbname"]}


def open_instance(request, cls, **keywords):
    """A prepared instance with the object table of cls; disconnected after the test if need be."""
    instance = PostgresHistoricalConnection()
    request.addfinalizer(lambda: instance._connection is None or instance.disconnect())
    instance.connect(**keywords)
    instance.prepare_connection()
    PostgresHistoricalTableSchemaService(instance).create_object_table(cls, 1, OBJECT_COLUMNS)
    return instance


def write(instance, cls, version):
    """Puts version of object <cls>-o and its metadata row; returns the two revert entries."""
    entries = [(address(cls, f"{cls}-o", version), {"name": version}), metadata_record(f"{cls}-o", version)]
    for where, data in entries:
        instance.put(where, data)
    return entries


def interrupt_later(instance, cls):
    """Commits v1, then leaves v2 and, in a savepoint, v3 uncommitted; returns the open levels."""
    instance.begin()
    write(instance, cls, "v1")
    instance.commit()
    instance.begin()
    outer = write(instance, cls, "v2")
    instance.begin()
    return [outer, write(instance, cls, "v3")]


def stored(keywords, cls):
    raw = psycopg2.connect(**keywords)
    try:
        with raw.cursor() as cursor:
            cursor.execute(f'SELECT range_key FROM "{cls}_v1" ORDER BY 1')
            objects = [version for (version,) in cursor.fetchall()]
            cursor.execute("SELECT object_version FROM metadata WHERE object_id = %s ORDER BY 1", (f"{cls}-o",))
            return objects, [version for (version,) in cursor.fetchall()]
    finally:
        raw.close()


def survive(instance, keywords, cls, levels, savepoints, pid):
    """What must hold after the fault, whatever it was."""
    # The driver connection is dead: the next cursor is refused by the driver, unwrapped.
    assert instance._connection.closed != 0
    with pytest.raises(psycopg2.InterfaceError):
        instance.execute("SELECT 1")
    # The stacks still hold the interrupted levels, and reconnecting leaves them alone.
    assert (instance._revert_data, instance._savepoints) == (levels, savepoints)
    instance.disconnect()
    assert instance._connection is None
    instance.connect(**keywords)
    assert (instance._revert_data, instance._savepoints) == (levels, savepoints)
    deadline = time.monotonic() + 15
    while instance.execute("SELECT count(*) FROM pg_stat_activity WHERE pid = %s", pid).fetchone() != (0,):
        assert time.monotonic() < deadline, f"the backend {pid} outlived its client"
        time.sleep(0.05)
    assert stored(keywords, cls) == (["v1"], ["v1"])
    assert instance.count(address(cls, None, None, 1)) == 1
    # Stale stacks make the next begin a savepoint, which the fresh session refuses ...
    with pytest.raises(VelmorConnectionError) as caught:
        instance.begin()
    assert caught.value.args == (f"Error executing query: SAVEPOINT {instance._savepoints[-1]} with args: ()",)
    # ... clearing both stacks gives a clean start, and the interrupted keys are free again.
    instance.on_transaction_complete()
    instance._savepoints.clear()
    instance.begin()
    write(instance, cls, "v2")
    instance.commit()
    assert (instance._revert_data, instance._savepoints) == ([], [])
    assert stored(keywords, cls) == (["v1", "v2"], ["v1", "v2"])
    assert instance.count(address(cls, None, None, 1)) == 2


@pytest.mark.parametrize("fault", ["terminate backend", "restart server"])
def test_fault_between_put_and_commit(request, class_name, fault):
    if fault == "restart server":
        keywords, restart = request.getfixturevalue("own_server")
    else:
        keywords = scratch(request.getfixturevalue("database"))
    instance = open_instance(request, class_name, **keywords)
    pid = instance._connection.get_backend_pid()
    levels = interrupt_later(instance, class_name)
    savepoints = list(instance._savepoints)
    if fault == "restart server":
        restart()
    else:
        with request.getfixturevalue("observer").cursor() as cursor:
            cursor.execute("SELECT pg_terminate_backend(%s)", (pid,))
            assert cursor.fetchone() == (True,)
    with pytest.raises(VelmorConnectionError) as caught:
        instance.put(address(class_name, f"{class_name}-o", "v4"), {"name": "v4"})
    assert caught.value.args == (
        f'Error executing query: INSERT INTO {class_name}_v1 ("name", "partition_key", "range_key") '
        f"VALUES (%s, %s, %s) with args: ('v4', '{class_name}-o', 'v4')",)
    assert isinstance(caught.value.__cause__, psycopg2.OperationalError)
    survive(instance, keywords, class_name, levels, savepoints, pid)


def test_link_cut_while_statement_runs(request, database, proxy, class_name):
    keywords = scratch(database)
    instance = open_instance(request, class_name, **{**keywords, "host": "127.0.0.1", "port": proxy.port})
    pid = instance._connection.get_backend_pid()
    levels = interrupt_later(instance, class_name)
    savepoints = list(instance._savepoints)
    timer = threading.Timer(0.2, proxy.cut)
    timer.start()
    try:
        with pytest.raises(VelmorConnectionError) as caught:
            instance.execute("SELECT pg_sleep(%s)", 1)
    finally:
        timer.join(5)
    assert caught.value.args == ("Error executing query: SELECT pg_sleep(%s) with args: (1,)",)
    assert isinstance(caught.value.__cause__, (psycopg2.OperationalError, psycopg2.InterfaceError))
    survive(instance, keywords, class_name, levels, savepoints, pid)
