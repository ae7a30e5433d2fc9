"""Fixtures by concern: the server and a scratch database, connections of the module
and a raw observer, unique object tables, and a connection that records statements."""

import importlib
import os
import sys
import uuid

import psycopg2
import pytest

from velmor_data.connections.implementations import postgresql_history as module
from velmor_data.table_schemas.implementations.postgresql_history import (
    PostgresHistoricalTableSchemaService,
)
from velmor_utils.models.data_models.address import Address

PostgresHistoricalConnection = module.PostgresHistoricalConnection


def fresh_import():
    """Another import of the module, with a state of its own; sys.modules keeps the first."""
    name = module.__name__
    parent = sys.modules[name.rpartition(".")[0]]
    saved = sys.modules.pop(name)
    try:
        return importlib.import_module(name)
    finally:
        sys.modules[name] = parent.postgresql_history = saved

ENV_KEYS = ("POSTGRES_HOST", "POSTGRES_PORT", "POSTGRES_USER", "POSTGRES_PASSWORD", "POSTGRES_DATABASE")
# The suite's own connections give up on a lock after this long instead of waiting forever
# for a transaction that a fault left open: the test then fails, it does not hang.
LOCK_TIMEOUT = "-c lock_timeout=10s"
OBJECT_COLUMNS = {
    "name": "text",
    "size": "integer",
    "weight": "real",
    "flag": "boolean",
    "data": "json",
    "extra": "jsonb",
}


def server_keywords():
    """Connection keywords of the server the tests run against, from POSTGRES_*."""
    if not os.environ.get("POSTGRES_HOST"):
        return None
    keywords = {"host": os.environ["POSTGRES_HOST"], "user": os.environ.get("POSTGRES_USER", "postgres")}
    for variable, keyword in (("POSTGRES_PORT", "port"), ("POSTGRES_PASSWORD", "password")):
        if os.environ.get(variable):
            keywords[keyword] = os.environ[variable]
    keywords["dbname"] = os.environ.get("POSTGRES_DATABASE", "postgres")
    keywords["options"] = LOCK_TIMEOUT
    return keywords


@pytest.fixture(scope="session")
def database():
    """A scratch database for the whole run; its connection keywords."""
    keywords = server_keywords()
    if keywords is None:
        pytest.skip("no PostgreSQL server: run scripts/test.sh, or set POSTGRES_HOST and friends")
    name = f"velmor_test_{os.getpid()}_{uuid.uuid4().hex[:6]}"
    admin = psycopg2.connect(**keywords)
    admin.autocommit = True
    with admin.cursor() as cursor:
        cursor.execute(f'CREATE DATABASE "{name}"')
    yield {**keywords, "dbname": name}
    with admin.cursor() as cursor:
        cursor.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
    admin.close()


@pytest.fixture
def db_env(database, monkeypatch):
    """POSTGRES_* pointing at the scratch database, as the module reads them (and the lock
    timeout in PGOPTIONS, which libpq reads for the instances connected through them)."""
    for key in ENV_KEYS:
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("PGOPTIONS", LOCK_TIMEOUT)
    monkeypatch.setenv("POSTGRES_HOST", database["host"])
    monkeypatch.setenv("POSTGRES_USER", database["user"])
    monkeypatch.setenv("POSTGRES_DATABASE", database["dbname"])
    if "port" in database:
        monkeypatch.setenv("POSTGRES_PORT", str(database["port"]))
    if "password" in database:
        monkeypatch.setenv("POSTGRES_PASSWORD", database["password"])
    return database


def _close(connection):
    if connection._connection is not None:
        if connection._connection.closed == 0 and connection._connection.status != psycopg2.extensions.STATUS_READY:
            connection._connection.rollback()
        connection.disconnect()


@pytest.fixture
def connection_factory(db_env):
    """Makes prepared, connected instances (of a subclass if given); closes them after."""
    made = []

    def make(cls=PostgresHistoricalConnection, **keywords):
        instance = cls(**keywords)
        instance.connect()
        instance.prepare_connection()
        made.append(instance)
        return instance

    yield make
    for instance in made:
        _close(instance)


@pytest.fixture
def connection(connection_factory):
    return connection_factory()


@pytest.fixture
def observer(database):
    """A raw driver connection in autocommit: it sees only what was committed."""
    raw = psycopg2.connect(**database)
    raw.autocommit = True
    yield raw
    raw.close()


class RecordingConnection(PostgresHistoricalConnection):
    """Records every statement and its parameters on their way to the server."""

    def __init__(self, **keywords):
        super().__init__(**keywords)
        self.sent = []

    def execute(self, query, *args):
        self.sent.append((query, args))
        return super().execute(query, *args)

    def statements(self):
        return [query for query, _ in self.sent]


class SnapshotRecorder(PostgresHistoricalConnection):
    """A host whose revert entries hold a snapshot of the data, not the caller's mapping."""

    def _add_revert_data(self, address, data):
        self._revert_data[-1].append((address, dict(data)))


@pytest.fixture
def recording(connection_factory):
    return connection_factory(RecordingConnection)


@pytest.fixture
def class_name():
    """A class name no other test uses, so its tables are its own."""
    return f"c{uuid.uuid4().hex[:10]}"


@pytest.fixture
def object_table(connection, class_name):
    """Creates the object table of version 1 of a fresh class; yields (class name, table)."""
    service = PostgresHistoricalTableSchemaService(connection)
    table = service.create_object_table(class_name, 1, OBJECT_COLUMNS)
    yield class_name, table


def address(class_name, object_id, version, class_version=1):
    return Address(class_name=class_name, object_id=object_id, object_version=version,
                   class_version=class_version)


def metadata_record(object_id, version, prior=None, class_name="Thing"):
    """The address and data of the metadata row of one object version."""
    where = Address(class_name="metadata", object_id=f"{object_id}@{version}", object_version=version)
    data = {
        "address": {"object_id": object_id, "object_version": version},
        "prior_version": prior,
        "class_schema_type": class_name,
        "is_deleted": False,
    }
    return where, data
