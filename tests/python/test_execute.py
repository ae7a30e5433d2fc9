"""Running one statement: parameters, the returned cursor and the wrapped errors."""

import json
import signal
import subprocess
import sys

import psycopg2
import pytest
from conftest import PostgresHistoricalConnection

from velmor_data.connections.errors import VelmorConnectionError


@pytest.mark.parametrize("statement, args, row", [
    ("SELECT 1", (), (1,)),
    ("SELECT %s, %s", (1, "a"), (1, "a")),
    ("SELECT %s", ([1, 2],), ([1, 2],)),
    ("SELECT %s::text || '%%'", ("x",), ("x%",)),
])
def test_execute_returns_cursor_of_the_statement(connection, statement, args, row):
    cursor = connection.execute(statement, *args)
    assert isinstance(cursor, psycopg2.extensions.cursor)
    assert cursor.fetchall() == [row]


@pytest.fixture(scope="session")
def driver_aborts_on_surplus_arguments(database):
    """Some builds of psycopg2 (Debian 13's, on Python 3.13) abort the interpreter on more
    arguments than placeholders instead of raising TypeError (psycopg/psycopg2#1791)."""
    probe = ("import json, sys, psycopg2\n"
             "cursor = psycopg2.connect(**json.loads(sys.argv[1])).cursor()\n"
             "try:\n    cursor.execute('SELECT %s + 1', (1, 2))\nexcept TypeError:\n    pass\n")
    run = subprocess.run([sys.executable, "-c", probe, json.dumps(database)], capture_output=True)
    return run.returncode == -signal.SIGABRT


@pytest.mark.parametrize("statement, args, printed, cause", [
    ("SELECT %s::integer", ("abc",), "('abc',)", psycopg2.errors.InvalidTextRepresentation),
    ("SELECT * FROM no_such_table_here", (), "()", psycopg2.errors.UndefinedTable),
    ("SELECT %s + 1", (1, 2), "(1, 2)", TypeError),
    ("SELECT %s, %s", (1,), "(1,)", IndexError),
    ("SELECT %s", (object(),), None, psycopg2.ProgrammingError),
])
def test_failed_statement_is_wrapped_and_connection_stays_usable(connection, statement, args, printed, cause, request):
    if cause is TypeError and request.getfixturevalue("driver_aborts_on_surplus_arguments"):
        pytest.skip("this psycopg2 build aborts the interpreter on surplus arguments (psycopg/psycopg2#1791)")
    with pytest.raises(VelmorConnectionError) as caught:
        connection.execute(statement, *args)
    printed = repr(args) if printed is None else printed
    assert caught.value.args == (f"Error executing query: {statement} with args: {printed}",)
    assert type(caught.value.__cause__) is cause
    assert caught.value.__suppress_context__ is True
    assert connection._connection is not None
    assert connection.execute("SELECT 3").fetchone() == (3,)


@pytest.mark.parametrize("statement", ["SELECT 1", "BEGIN", "not even sql"])
def test_execute_without_connection_is_refused(statement):
    with pytest.raises(VelmorConnectionError) as caught:
        PostgresHistoricalConnection().execute(statement)
    assert caught.value.args == ("Connection not established",)
