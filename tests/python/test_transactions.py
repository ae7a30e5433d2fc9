"""Nested transactions with savepoints, and undoing the writes of a level with revert."""

import random
import string

import psycopg2
import pytest
from conftest import RecordingConnection, SnapshotRecorder, address

from velmor_data.connections.errors import VelmorConnectionError
from velmor_utils.models.enums import Versions


@pytest.fixture
def tx(recording, object_table):
    """The recording connection with the object table already described and nothing recorded."""
    class_name, table = object_table
    recording._describe_table(table)
    recording.sent.clear()
    recording.class_name, recording.table = class_name, table
    yield recording
    if recording._connection.info.transaction_status != psycopg2.extensions.TRANSACTION_STATUS_IDLE:
        recording.execute("ROLLBACK")


def names(seed, count):
    """The savepoint names begin draws after random.seed(seed); seeds the generator again."""
    random.seed(seed)
    drawn = ["".join(random.choices(string.ascii_letters, k=10)) for _ in range(count)]
    random.seed(seed)
    assert all(len(name) == 10 and name.isascii() and name.isalpha() for name in drawn)
    return drawn


def write(tx, version):
    """Puts version of object "o" and returns the revert entry it is expected to record."""
    where, data = address(tx.class_name, "o", version), {"name": version}
    tx.put(where, data)
    assert tx._revert_data[-1][-1][0] is not where and tx._revert_data[-1][-1][1] is data
    return where, data


def insert(tx, version):
    return (f'INSERT INTO {tx.table} ("name", "partition_key", "range_key") VALUES (%s, %s, %s)', (version, "o", version))


def delete(tx, version):
    return (f'DELETE FROM "{tx.table}" WHERE "partition_key" = %s AND "range_key" = %s', ("o", version))


def stored(tx, observer):
    with observer.cursor() as cursor:
        cursor.execute(f'SELECT range_key FROM "{tx.table}" ORDER BY 1')
        return [version for (version,) in cursor.fetchall()]


def stacks(tx):
    return tx._revert_data, tx._savepoints


@pytest.mark.parametrize("inner, kept, inner_statements", [
    ("commit", ["a", "b"], []),
    ("rollback", ["a"], ["ROLLBACK TO SAVEPOINT {}"]),
])
def test_two_levels(tx, observer, inner, kept, inner_statements):
    (name,) = names(5, 1)
    tx.begin()
    assert stacks(tx) == ([[]], [])
    a = write(tx, "a")
    assert stacks(tx) == ([[a]], [])
    tx.begin()
    assert stacks(tx) == ([[a], []], [name])
    b = write(tx, "b")
    assert stacks(tx) == ([[a], [b]], [name])
    getattr(tx, inner)()
    assert stacks(tx) == ([[a, b] if inner == "commit" else [a]], [])
    assert stored(tx, observer) == []
    tx.commit()
    assert stacks(tx) == ([], [])
    assert tx.sent == [("BEGIN", ()), insert(tx, "a"), ("SAVEPOINT " + name, ()), insert(tx, "b"),
                       *((text.format(name), ()) for text in inner_statements), ("COMMIT", ())]
    assert stored(tx, observer) == kept


def test_three_levels(tx, observer):
    first, second = names(9, 2)
    tx.begin()
    a = write(tx, "a")
    tx.begin()
    b = write(tx, "b")
    tx.begin()
    c = write(tx, "c")
    assert stacks(tx) == ([[a], [b], [c]], [first, second])
    tx.commit()
    assert stacks(tx) == ([[a], [b, c]], [first])
    tx.rollback()
    assert stacks(tx) == ([[a]], [])
    tx.commit()
    assert tx.statements() == ["BEGIN", insert(tx, "a")[0], "SAVEPOINT " + first, insert(tx, "b")[0],
                               "SAVEPOINT " + second, insert(tx, "c")[0], "ROLLBACK TO SAVEPOINT " + first, "COMMIT"]
    assert stored(tx, observer) == ["a"]


def test_rollback_of_an_inner_level_without_its_savepoint_changes_nothing(tx):
    tx._revert_data.extend([[], []])  # two levels, no savepoint name: the stacks were tampered with
    with pytest.raises(IndexError):
        tx.rollback()
    assert stacks(tx) == ([[], []], []) and tx.sent == []


@pytest.mark.parametrize("operation", ["commit", "rollback"])
def test_closing_after_transaction_complete_finds_no_level(tx, operation):
    (name,) = names(3, 1)
    tx.begin()
    tx.begin()
    write(tx, "a")
    levels = tx._revert_data
    tx.on_transaction_complete()
    assert tx._revert_data is levels and stacks(tx) == ([], [name])
    tx.sent.clear()
    with pytest.raises(IndexError):
        getattr(tx, operation)()
    assert stacks(tx) == ([], [name]) and tx.sent == []


def drop_oldest_while_deleting(tx):
    tx._delete = lambda where: (tx._revert_data[-1].pop(0), type(tx)._delete(tx, where))


def record_a_third_item(tx):
    tx._revert_data[-1][:] = [entry + ("recorded by the host",) for entry in tx._revert_data[-1]]


@pytest.mark.parametrize("host", [lambda tx: None, drop_oldest_while_deleting, record_a_third_item])
def test_revert_deletes_newest_first_and_leaves_transaction_open(tx, observer, host):
    tx.begin()
    for version in ("a", "b", "c"):
        write(tx, version)
    host(tx)  # what the level holds when revert starts is what it undoes, by address alone
    tx.sent.clear()
    tx.revert()
    assert tx.sent == [delete(tx, "c"), delete(tx, "b"), delete(tx, "a")]
    assert stacks(tx) == ([], []) and tx._is_revert_enabled is True
    assert tx._connection.info.transaction_status == psycopg2.extensions.TRANSACTION_STATUS_INTRANS
    tx.execute("COMMIT")
    assert stored(tx, observer) == []


def test_revert_of_inner_level_then_commit(tx, observer):
    tx.begin()
    write(tx, "a")
    tx.commit()
    (name,) = names(21, 1)
    tx.sent.clear()
    tx.begin()
    b = write(tx, "b")
    tx.begin()
    write(tx, "c")
    tx.revert()
    assert stacks(tx) == ([[b]], []) and tx._is_revert_enabled is True
    tx.commit()
    assert stacks(tx) == ([], [])
    assert tx.sent == [("BEGIN", ()), insert(tx, "b"), ("SAVEPOINT " + name, ()), insert(tx, "c"), delete(tx, "c"),
                       ("COMMIT", ())]
    assert stored(tx, observer) == ["a", "b"]


def test_revert_of_empty_level_sends_nothing(tx):
    tx.begin()
    tx.begin()
    tx.sent.clear()
    tx.revert()
    assert stacks(tx) == ([[]], []) and tx._is_revert_enabled is True and tx.sent == []
    tx.commit()
    assert stacks(tx) == ([], []) and tx.statements() == ["COMMIT"]


@pytest.mark.parametrize("supported, levels, error, message", [
    (False, [[]], VelmorConnectionError, ("Revert is not supported",)),
    (True, [], IndexError, None),
])
def test_revert_refused_changes_nothing(connection_factory, supported, levels, error, message):
    instance = connection_factory(RecordingConnection, is_revert_supported=supported)
    instance._revert_data.extend(levels)
    instance.sent.clear()
    with pytest.raises(error) as caught:
        instance.revert()
    assert message is None or caught.value.args == message
    assert (instance._revert_data, instance._is_revert_enabled, instance.sent) == (levels, supported, [])


BAD_DELETE = 'DELETE FROM "{cls}x_v1" WHERE "partition_key" = %s AND "range_key" = %s'


@pytest.mark.parametrize("bad, message, sent", [
    (lambda cls: address(cls, "o", Versions.LATEST),
     "Deleting in reverse requires a specific version. Current version is latest.", []),
    (lambda cls: address(cls + "x", "o", "v9"),
     "Error executing query: " + BAD_DELETE + " with args: ('o', 'v9')", [(BAD_DELETE, ("o", "v9"))]),
])
def test_failed_revert_keeps_level_and_recording(tx, bad, message, sent):
    tx.begin()
    a = write(tx, "a")
    broken = (bad(tx.class_name), {})
    tx._add_revert_data(*broken)
    c = write(tx, "c")
    tx.sent.clear()
    with pytest.raises(VelmorConnectionError) as caught:
        tx.revert()
    assert caught.value.args == (message.format(cls=tx.class_name),)
    assert tx.sent == [delete(tx, "c"), *((text.format(cls=tx.class_name), args) for text, args in sent)]
    assert stacks(tx) == ([[a, broken, c]], []) and tx._is_revert_enabled is True


def test_two_writes_of_one_address_give_two_deletes(tx, observer):
    tx.execute(f'ALTER TABLE "{tx.table}" DROP CONSTRAINT "{tx.table}_pkey"')
    tx.begin()
    write(tx, "a")
    write(tx, "a")
    tx.sent.clear()
    tx.revert()
    tx.execute("COMMIT")
    assert tx.sent == [delete(tx, "a"), delete(tx, "a"), ("COMMIT", ())]
    assert stored(tx, observer) == []


def test_rollback_after_a_reverted_inner_level_ends_the_transaction(tx, observer):
    tx.begin()
    write(tx, "a")
    tx.begin()
    write(tx, "b")
    tx.revert()
    tx.sent.clear()
    tx.rollback()
    assert tx.sent == [("ROLLBACK", ())] and stacks(tx) == ([], [])
    tx.begin()
    write(tx, "c")
    tx.commit()
    assert stored(tx, observer) == ["c"]


def test_commit_of_an_aborted_transaction_fails(tx, observer):
    tx.begin()
    a = write(tx, "a")
    with pytest.raises(VelmorConnectionError):
        tx.put(address(tx.class_name, "o", "a"), {"name": "again"})  # duplicate key: the server aborts
    assert stacks(tx) == ([[a]], [])
    with pytest.raises(VelmorConnectionError) as caught:
        tx.commit()
    assert caught.value.args == ("Commit failed: the database rolled the transaction back",)
    assert stacks(tx) == ([], []) and stored(tx, observer) == []


class LevelOpeningDescriber(RecordingConnection):
    def _describe_table(self, table_name):
        self.begin()
        return super()._describe_table(table_name)


@pytest.mark.parametrize("cls", [RecordingConnection, SnapshotRecorder, LevelOpeningDescriber])
def test_a_failed_put_can_never_make_revert_delete_a_committed_row(connection_factory, object_table, observer, cls):
    instance = connection_factory(cls)
    instance.class_name, instance.table = object_table
    instance.begin()
    instance.put(address(instance.class_name, "o", "x"), {"name": "x"})
    while instance._revert_data:
        instance.commit()
    instance.begin()
    with pytest.raises(VelmorConnectionError):
        instance.put(address(instance.class_name, "o", "x"), {"name": object()})  # the driver cannot adapt it
    while instance._revert_data:
        instance.revert()
    instance.execute("COMMIT")
    assert stored(instance, observer) == ["x"]


class EntryKeeper(RecordingConnection):
    """Keeps the entry each put records; the first table description runs `meddle` once."""

    meddle = None

    def _add_revert_data(self, address, data):
        super()._add_revert_data(address, data)
        self.entries.append(self._revert_data[-1][-1])

    def _describe_table(self, table_name):
        meddle, self.meddle = self.meddle, None
        if meddle:
            meddle(self)
        return super()._describe_table(table_name)


@pytest.mark.parametrize("meddle", [
    lambda self: self.put(address(self.class_name, "p", "1"), {"name": "other"}),
    lambda self: (self.begin(), self.put(address(self.class_name, "p", "1"), {"name": "other"})),
    lambda self: self.entries.append((self.entries[-1][0].model_copy(), self.entries[-1][1]))
    or self._revert_data[-1].append(self.entries[-1]),
], ids=["put in the same level", "put in a new level", "an equal entry"])
def test_a_failed_put_takes_back_exactly_its_own_entry(connection_factory, object_table, meddle):
    instance = connection_factory(EntryKeeper)
    instance.class_name, instance.table = object_table
    instance.entries, instance.meddle = [], meddle
    instance.begin()
    with pytest.raises(VelmorConnectionError):
        instance.put(address(instance.class_name, "o", "x"), {"name": object()})  # the driver cannot adapt it
    own, *others = instance.entries
    kept = [entry for level in instance._revert_data for entry in level]
    assert len(others) == 1 and [id(entry) for entry in kept] == [id(entry) for entry in others]
    instance.execute("ROLLBACK")
