"""Model-based test of transactions: random sequences of begin, commit, rollback, put,
revert, on_transaction_complete and killed backends, against a plain model of both the
instance's stacks and the server. After every step a second connection must see exactly
the rows the model says are committed, and every call must fail exactly when the model
says the database did not do what the call stands for.

VELMOR_MODEL_EXAMPLES sets the number of sequences (default 300); runs are derandomized,
so a failure reproduces."""

import os
from dataclasses import dataclass, field

import psycopg2
import pytest
from conftest import PostgresHistoricalConnection, SnapshotRecorder, address
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule, run_state_machine_as_test

from velmor_data.connections.errors import VelmorConnectionError

ERROR = "error"  # a statement the server refuses
ROLLED_BACK = "ROLLBACK"


@dataclass
class Transaction:
    rows: set
    aborted: bool = False
    savepoints: list = field(default_factory=list)  # (folded name, rows when it was set)


@dataclass
class Server:
    """PostgreSQL in autocommit mode, as far as these statements go."""

    committed: set = field(default_factory=set)
    tx: Transaction | None = None

    def begin(self):
        if self.tx is None:
            self.tx = Transaction(set(self.committed))
        elif self.tx.aborted:
            return ERROR

    def savepoint(self, name):
        if self.tx is None or self.tx.aborted:
            return ERROR
        self.tx.savepoints.append((name.lower(), set(self.tx.rows)))  # unquoted names fold

    def commit(self):
        tx, self.tx = self.tx, None
        if tx.aborted:
            return ROLLED_BACK
        self.committed = tx.rows

    def rollback(self):
        self.tx = None

    def rollback_to(self, name):
        if self.tx is None:
            return ERROR
        for index in range(len(self.tx.savepoints) - 1, -1, -1):
            if self.tx.savepoints[index][0] == name.lower():
                del self.tx.savepoints[index + 1:]
                self.tx.rows, self.tx.aborted = set(self.tx.savepoints[index][1]), False
                return None
        self.tx.aborted = True
        return ERROR

    def write(self, key, insert):
        rows = self.committed if self.tx is None else self.tx.rows
        if self.tx is not None and self.tx.aborted:
            return ERROR
        if insert and key in rows:
            if self.tx is not None:
                self.tx.aborted = True
            return ERROR
        rows.add(key) if insert else rows.discard(key)

    def status(self):
        if self.tx is None:
            return psycopg2.extensions.TRANSACTION_STATUS_IDLE
        if self.tx.aborted:
            return psycopg2.extensions.TRANSACTION_STATUS_INERROR
        return psycopg2.extensions.TRANSACTION_STATUS_INTRANS


def outcome(call):
    """The error a call raised (its type and arguments), or None."""
    try:
        call()
    except (VelmorConnectionError, IndexError) as error:
        return type(error), error.args
    return None


CONNECTION_ERROR = (VelmorConnectionError, None)  # a wrapped driver error: any message
NO_LEVEL = (IndexError, None)


def expect(actual, expected):
    if expected is None or actual is None:
        assert actual == expected
    else:
        assert actual[0] is expected[0] and (expected[1] is None or actual[1] == expected[1])


@pytest.fixture
def model_table(connection, class_name):
    from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService

    return class_name, PostgresHistoricalTableSchemaService(connection).create_object_table(class_name, 1, {"name": "text"})


def test_transactions_keep_exactly_what_the_model_says(db_env, observer, model_table):
    class_name, table = model_table
    rows_query = f'SELECT partition_key, range_key FROM "{table}"'

    class Transactions(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            with observer.cursor() as cursor:
                cursor.execute(f'TRUNCATE "{table}"')
            self.db = None
            self.server = Server()
            self.levels, self.names = [], []  # revert entries as row keys; savepoint names

        @initialize(host=st.sampled_from([PostgresHistoricalConnection, SnapshotRecorder]))
        def connect(self, host):
            self.db = host()
            self.db.connect()

        def teardown(self):
            if self.db is not None:
                self.db.disconnect()

        @rule()
        def begin(self):
            actual = outcome(self.db.begin)
            self.levels.append([])
            if len(self.levels) > 1:
                self.names.append(self.db._savepoints[-1])
                answer = self.server.savepoint(self.names[-1])
            else:
                answer = self.server.begin()
            expect(actual, CONNECTION_ERROR if answer == ERROR else None)

        @rule()
        def commit(self):
            actual = outcome(self.db.commit)
            if not self.levels:
                return expect(actual, NO_LEVEL)
            closed = self.levels.pop()
            if self.levels:
                self.names[-1:] = []
                self.levels[-1].extend(closed)
                return expect(actual, None)
            self.names.clear()
            if self.server.tx is None:
                return expect(actual, (VelmorConnectionError, ("Commit failed: no transaction is in progress",)))
            answer = self.server.commit()
            message = "Commit failed: the database rolled the transaction back"
            expect(actual, (VelmorConnectionError, (message,)) if answer == ROLLED_BACK else None)

        @rule()
        def rollback(self):
            actual = outcome(self.db.rollback)
            if not self.levels:
                return expect(actual, NO_LEVEL)
            self.levels.pop()
            if self.levels:
                answer = self.server.rollback_to(self.names.pop())
            else:
                self.names.clear()
                answer = self.server.rollback()
            expect(actual, CONNECTION_ERROR if answer == ERROR else None)

        @rule(object_id=st.sampled_from("ab"), version=st.sampled_from("12"), adaptable=st.booleans())
        def put(self, object_id, version, adaptable):
            key = (object_id, version)
            value = key[0] + key[1] if adaptable else object()  # the driver cannot adapt object()
            actual = outcome(lambda: self.db.put(address(class_name, *key), {"name": value}))
            if self.levels and self.server.tx is None:
                return expect(actual, (VelmorConnectionError, ("Write failed: no transaction is in progress",)))
            if not self.levels:
                return expect(actual, NO_LEVEL)
            answer = self.server.write(key, insert=True) if adaptable else ERROR
            if answer != ERROR:
                self.levels[-1].append(key)
            expect(actual, CONNECTION_ERROR if answer == ERROR else None)

        @rule()
        def revert(self):
            actual = outcome(self.db.revert)
            if not self.levels:
                return expect(actual, NO_LEVEL)
            if self.server.tx is None:  # nothing changes, and no delete is kept at once
                return expect(actual, (VelmorConnectionError, ("Revert failed: no transaction is in progress",)))
            for key in reversed(self.levels[-1]):
                if self.server.write(key, insert=False) == ERROR:
                    return expect(actual, CONNECTION_ERROR)
            self.levels.pop()
            if self.levels:
                self.names[-1:] = []
            expect(actual, None)

        @rule()
        def on_transaction_complete(self):
            self.db.on_transaction_complete()
            self.levels.clear()

        @rule()
        def kill_backend_and_reconnect(self):
            with observer.cursor() as cursor:
                cursor.execute("SELECT pg_terminate_backend(%s)", (self.db._connection.info.backend_pid,))
            self.server.tx = None  # the server rolled the open transaction back
            self.db.disconnect()
            self.db.connect()

        @invariant()
        @precondition(lambda self: self.db is not None)
        def server_and_instance_agree_with_the_model(self):
            with observer.cursor() as cursor:
                cursor.execute(rows_query)
                assert set(cursor.fetchall()) == self.server.committed
            entries = [[(entry[0].object_id, entry[0].object_version) for entry in level] for level in self.db._revert_data]
            assert entries == self.levels
            assert self.db._savepoints == self.names and self.db._is_revert_enabled is True
            assert self.db._connection.info.transaction_status == self.server.status()

    run_state_machine_as_test(Transactions, settings=settings(
        max_examples=int(os.environ.get("VELMOR_MODEL_EXAMPLES", "300")),
        stateful_step_count=30,
        derandomize=True,
        deadline=None,
        suppress_health_check=list(HealthCheck),
    ))
