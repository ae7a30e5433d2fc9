"""Opening and closing the connection, its keywords, and the memoised table description."""

import gc
import socket
import types
import uuid
import weakref

import psycopg2
import pytest
from conftest import (ENV_KEYS, OBJECT_COLUMNS, PostgresHistoricalConnection, RecordingConnection,
                      metadata_record)

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.connections.implementations import postgresql_history as module
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService

DESCRIBE = "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = %s"
OBJECT_DESCRIPTION = {"partition_key": "text", "range_key": "text", "name": "text", "size": "integer",
                      "weight": "real", "flag": "boolean", "data": "json", "extra": "jsonb"}


@pytest.fixture
def set_env(monkeypatch):
    """Leaves exactly the given POSTGRES_* variables set."""
    for key in ENV_KEYS:
        monkeypatch.delenv(key, raising=False)
    return lambda env: [monkeypatch.setenv(key, value) for key, value in env.items()]


@pytest.mark.parametrize("env, expected", [
    ({"POSTGRES_HOST": "db", "POSTGRES_PORT": "5433"}, [("host", "db"), ("port", "5433")]),
    ({"POSTGRES_DATABASE": "d", "POSTGRES_PASSWORD": "pw", "POSTGRES_USER": "u", "POSTGRES_PORT": "1",
      "POSTGRES_HOST": "h"},
     [("host", "h"), ("port", "1"), ("user", "u"), ("password", "pw"), ("database", "d")]),
    ({"POSTGRES_HOST": "", "POSTGRES_USER": "u", "POSTGRES_PASSWORD": ""}, [("user", "u")]),
    ({}, []),
])
def test_default_envs_reads_set_nonempty_variables_in_order(set_env, env, expected):
    set_env(env)
    instance = PostgresHistoricalConnection()
    first = instance._default_envs()
    assert list(first.items()) == expected
    assert instance._default_envs() is not first


def test_connect_keywords_override_environment(db_env, monkeypatch):
    monkeypatch.setenv("POSTGRES_USER", "no_such_user_" + uuid.uuid4().hex[:8])
    instance = PostgresHistoricalConnection()
    with pytest.raises(psycopg2.OperationalError):
        instance.connect()
    assert instance._connection is None
    instance.connect(user=db_env["user"])
    assert instance.execute("SELECT current_user").fetchone() == (db_env["user"],)
    instance.disconnect()


def test_dsn_alone_connects_without_environment(database, set_env):
    instance = PostgresHistoricalConnection()
    instance.connect(psycopg2.extensions.make_dsn(**database))
    assert instance.execute("SELECT current_database()").fetchone() == (database["dbname"],)
    instance.disconnect()


ENV = {"POSTGRES_HOST": "eh", "POSTGRES_PORT": "1", "POSTGRES_USER": "eu", "POSTGRES_PASSWORD": "ep",
       "POSTGRES_DATABASE": "ed"}
FROM_ENV = {"host": "eh", "port": "1", "user": "eu", "password": "ep", "database": "ed"}


def but(*dropped, **added):
    """The environment's keywords without the dropped ones, with the added ones on top."""
    return {**{k: v for k, v in FROM_ENV.items() if k not in dropped}, **added}


# What reaches psycopg2.connect: the DSN first, then the environment's keywords less those
# whose parameter the DSN names, then the keywords given to connect.
@pytest.mark.parametrize("env, args, kwargs, expected", [
    # no DSN: the environment, under the keywords
    (ENV, (), {}, ((None,), FROM_ENV)),
    ({"POSTGRES_HOST": "h", "POSTGRES_USER": "u"}, (), {"host": "k", "connect_timeout": 3},
     ((None,), {"host": "k", "user": "u", "connect_timeout": 3})),
    ({}, (), {}, ((None,), {})),
    # a DSN naming some parameters: only what it leaves unnamed comes from the environment
    (ENV, ("host=dh port=5432 dbname=app",), {}, (("host=dh port=5432 dbname=app",), but("host", "port", "database"))),
    (ENV, ("user=du",), {}, (("user=du",), but("user"))),
    (ENV, ("dbname=x sslmode=disable",), {}, (("dbname=x sslmode=disable",), but("database"))),
    ({"POSTGRES_HOST": "h", "POSTGRES_PORT": "7"}, ("dbname=x",), {}, (("dbname=x",), {"host": "h", "port": "7"})),
    ({}, ("dbname=x",), {}, (("dbname=x",), {})),
    (ENV, ("",), {}, (("",), FROM_ENV)),  # an empty DSN names nothing
    # a URI DSN, read the same way
    (ENV, ("postgresql://du@dh:5433/app",), {},
     (("postgresql://du@dh:5433/app",), but("user", "host", "port", "database"))),
    (ENV, ("postgres://du:pw@dh?connect_timeout=3",), {},
     (("postgres://du:pw@dh?connect_timeout=3",), but("user", "password", "host"))),
    # a DSN that does not parse goes to the driver unchanged, beside the whole environment
    (ENV, ("host=dh port",), {}, (("host=dh port",), FROM_ENV)),
    (ENV, ("postgresql://[dh/app",), {}, (("postgresql://[dh/app",), FROM_ENV)),
    (ENV, ("host=dh nonsense=1",), {}, (("host=dh nonsense=1",), FROM_ENV)),
    (ENV, ("host=dh port",), {"user": "ku"}, (("host=dh port",), but(user="ku"))),
    # keywords given to connect override the DSN and the environment alike
    (ENV, ("host=dh port=5432 dbname=app",), {"host": "kh", "database": "kd", "connect_timeout": 3},
     (("host=dh port=5432 dbname=app",), but("port", host="kh", database="kd", connect_timeout=3))),
    (ENV, (), {"dsn": "user=du", "password": "kp"}, (("user=du",), but("user", password="kp"))),
    # dbname and database name one parameter: a keyword under either name replaces the other's
    (ENV, (), {"dbname": "kd"}, ((None,), but("database", dbname="kd"))),
    (ENV, (), {"database": "kd"}, ((None,), but(database="kd"))),
    (ENV, ("host=dh",), {"dbname": "kd"}, (("host=dh",), but("host", "database", dbname="kd"))),
    (ENV, ("dbname=app",), {"dbname": "kd"}, (("dbname=app",), but("database", dbname="kd"))),
    ({"POSTGRES_HOST": "h"}, (), {"dbname": "kd"}, ((None,), {"host": "h", "dbname": "kd"})),
])
def test_connect_hands_dsn_first_and_merged_keywords(set_env, monkeypatch, env, args, kwargs, expected):
    set_env(env)
    calls, raw = [], types.SimpleNamespace()
    monkeypatch.setattr(module.psycopg2, "connect", lambda *a, **k: calls.append((a, k)) or raw)
    instance = PostgresHistoricalConnection()
    instance.connect(*args, **kwargs)
    assert calls == [expected]
    assert instance._connection is raw
    assert (raw.isolation_level, raw.autocommit) == (None, True)


def test_an_explicit_dsn_names_the_server_used(database, set_env):
    with socket.create_server(("127.0.0.1", 0)) as probe:  # a port where no server listens
        closed_port = probe.getsockname()[1]
    set_env({"POSTGRES_HOST": "127.0.0.1", "POSTGRES_PORT": str(closed_port), "POSTGRES_USER": "nobody",
             "POSTGRES_DATABASE": "no_such_database"})
    instance = PostgresHistoricalConnection()
    instance.connect(psycopg2.extensions.make_dsn(**database))
    assert instance.execute("SELECT current_database(), current_user").fetchone() == (database["dbname"],
                                                                                    database["user"])
    instance.disconnect()
    with pytest.raises(psycopg2.OperationalError):  # what the DSN leaves unnamed still comes from the environment
        instance.connect(psycopg2.extensions.make_dsn(**{k: v for k, v in database.items() if k != "port"}))
    with pytest.raises(psycopg2.ProgrammingError, match="missing \"=\""):  # the driver's own error, as before
        instance.connect("host=127.0.0.1 port")
    assert instance._connection is None


def test_connection_states(db_env):
    instance = PostgresHistoricalConnection()
    with pytest.raises(VelmorConnectionError) as fresh:
        instance.disconnect()
    instance.connect()
    instance.begin()
    instance.begin()
    savepoints, levels, first = instance._savepoints, instance._revert_data, instance._connection
    with pytest.raises(VelmorConnectionError) as again:
        instance.connect()
    assert instance._connection is first and instance.execute("SELECT 1").fetchone() == (1,)
    instance.disconnect()
    with pytest.raises(VelmorConnectionError) as twice:
        instance.disconnect()
    instance.connect()
    assert instance._connection is not first and first.closed and instance._connection.autocommit is True
    assert instance._savepoints is savepoints and instance._revert_data is levels and levels == [[], []]
    assert instance.execute("SELECT 2").fetchone() == (2,)
    instance.disconnect()
    assert again.value.args == ("Connection already established",)
    assert fresh.value.args == twice.value.args == ("Connection not established",)


def fetch(observer, statement):
    with observer.cursor() as cursor:
        cursor.execute(statement)
        return cursor.fetchall()


def test_rollback_does_not_undo_work_done_before_begin(db_env, observer, class_name):
    fetch(observer, f"CREATE SCHEMA {class_name}; SELECT 1")
    instance = PostgresHistoricalConnection()
    instance.connect(options=f"-c search_path={class_name}")
    instance.prepare_connection()  # creates the metadata table of the fresh schema
    instance.begin()
    instance.put(*metadata_record("gone", "v1"))
    instance.rollback()
    instance.disconnect()
    assert fetch(observer, f"SELECT count(*) FROM {class_name}.metadata") == [(0,)]


def test_schema_service_ddl_is_immediate_outside_a_transaction_and_joins_one_inside(connection, observer,
                                                                                    class_name):
    service = PostgresHistoricalTableSchemaService(connection)
    first, second = f"{class_name}_v1", f"{class_name}_v2"

    def seen():  # by another session: committed tables only
        return sorted(row[0] for row in fetch(
            observer, f"SELECT table_name FROM information_schema.tables WHERE table_name IN ('{first}', '{second}')"))

    service.create_object_table(class_name, 1, OBJECT_COLUMNS)
    assert seen() == [first]
    connection.begin()
    service.create_object_table(class_name, 2, OBJECT_COLUMNS)
    service.drop_object_table(class_name, 1)
    assert seen() == [first] and service.class_versions(class_name) == [2]
    connection.rollback()
    assert seen() == [first] and service.class_versions(class_name) == [1]
    connection.begin()
    service.create_object_table(class_name, 2, OBJECT_COLUMNS)
    connection.commit()
    assert seen() == [first, second]


def test_describe_table_is_memoised_per_instance_and_table(connection_factory, connection, class_name):
    first, second = connection_factory(RecordingConnection), connection_factory(RecordingConnection)
    first.sent.clear(), second.sent.clear()
    assert first._describe_table(f"{class_name}_v1") == {}
    table = PostgresHistoricalTableSchemaService(connection).create_object_table(class_name, 1, OBJECT_COLUMNS)
    description = first._describe_table(table)
    assert description == OBJECT_DESCRIPTION and first._describe_table(table) is description
    assert second._describe_table(table) == OBJECT_DESCRIPTION and second._describe_table(table) is not description
    assert first.sent == [(DESCRIBE, (table,))] * 2 and second.sent == [(DESCRIBE, (table,))]


def test_memo_neither_keeps_instances_alive_nor_failures(db_env, object_table, observer):
    _, table = object_table
    added = {}
    for column in ("c0", "c1", "c2"):
        instance = PostgresHistoricalConnection()
        with pytest.raises(VelmorConnectionError) as caught:
            instance._describe_table(table)
        assert caught.value.args == ("Connection not established",)
        instance.connect()
        # A stale entry of a freed instance would hide the columns added since.
        assert instance._describe_table(table) == {**OBJECT_DESCRIPTION, **added}
        instance.disconnect()
        added[column] = "text"
        fetch(observer, f'ALTER TABLE "{table}" ADD COLUMN {column} text; SELECT 1')
        ref = weakref.ref(instance)
        del instance
        gc.collect()
        assert ref() is None
