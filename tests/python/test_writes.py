"""Insert and delete statements, value adaptation, and put against the server."""

import copy
import itertools

import pytest
from hypothesis import given, settings, strategies as st
from conftest import OBJECT_COLUMNS, PostgresHistoricalConnection, RecordingConnection, address, metadata_record
from psycopg2.extras import Json

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService

SAME = object()


class Loud(str):
    """A str key with formatting of its own, which the builders must not use."""

    def __format__(self, format_spec):
        return "formatted"

    def __str__(self):
        return "converted"


def plain(parameters):
    return tuple(("Json", p.adapted) if isinstance(p, Json) else p for p in parameters)


def rows(observer, statement):
    with observer.cursor() as cursor:
        cursor.execute(statement)
        return cursor.fetchall()


@pytest.mark.parametrize("table, data, insert, delete, parameters", [
    ("thing_v1", {"partition_key": "p", "range_key": "r", "size": 3, "data": {"a": [1]}},
     'INSERT INTO thing_v1 ("partition_key", "range_key", "size", "data") VALUES (%s, %s, %s, %s)',
     'DELETE FROM "thing_v1" WHERE "partition_key" = %s AND "range_key" = %s AND "size" = %s AND "data" = %s',
     ("p", "r", 3, ("Json", {"a": [1]}))),
    ("Thing_v1", {"a": None},
     'INSERT INTO "Thing_v1" ("a") VALUES (%s)', 'DELETE FROM "Thing_v1" WHERE "a" = %s', (None,)),
    ("9lives", {"l": [1, "x"]},
     'INSERT INTO "9lives" ("l") VALUES (%s)', 'DELETE FROM "9lives" WHERE "l" = %s', (("Json", [1, "x"]),)),
    ('we"ird%', {'c"o%l': "v%"},
     'INSERT INTO "we""ird%%" ("c""o%%l") VALUES (%s)', 'DELETE FROM "we""ird%%" WHERE "c""o%%l" = %s', ("v%",)),
    ("t", {1: "x", None: "y", 2.5: "z"},
     'INSERT INTO t ("1", "None", "2.5") VALUES (%s, %s, %s)',
     'DELETE FROM "t" WHERE "1" = %s AND "None" = %s AND "2.5" = %s', ("x", "y", "z")),
    ("t", {}, "INSERT INTO t () VALUES ()", 'DELETE FROM "t" WHERE ', ()),
    ("t", {Loud("own"): 1}, 'INSERT INTO t ("own") VALUES (%s)', 'DELETE FROM "t" WHERE "own" = %s', (1,)),
    ("t\ud800", {"c\udfff": 1}, 'INSERT INTO "t\ud800" ("c\udfff") VALUES (%s)',
     'DELETE FROM "t\ud800" WHERE "c\udfff" = %s', (1,)),
])
def test_insert_and_delete_statements(table, data, insert, delete, parameters):
    instance = PostgresHistoricalConnection()
    built_insert, insert_parameters = instance._build_insert_statement(table, data)
    built_delete, delete_parameters = instance._build_delete_statement(table, data)
    assert (built_insert, plain(insert_parameters)) == (insert, parameters)
    assert (built_delete, plain(delete_parameters)) == (delete, parameters)
    assert type(insert_parameters) is tuple and type(delete_parameters) is tuple


def test_the_table_separator_is_read_where_a_statement_writes_it():
    reads = []
    counted = type("Counted", (PostgresHistoricalConnection,), {"TABLE_SEPARATOR": property(lambda self: reads.append(1) or '"')})()
    counted._build_delete_statement("t", {"a": 1}), counted._select_with_internal_meta_statement("t", "x")
    assert len(reads) == 4  # each statement writes it on both sides of the table name


EVICTION = itertools.count()
NAMES = st.sampled_from(["a", "ab", "b", "bc", "c", "", "%", 'q"', "\udfff", "é"])


def another(value, copy):
    """An equal str that is another object, when `copy` (and the text has two characters or more)."""
    return "".join(list(value)) if copy and type(value) is str else value


@given(steps=st.lists(st.tuples(
    st.sampled_from(["insert", "delete"]), st.sampled_from(["t", "T", "tab", "ta", 'b"', "t\ud800"]),
    st.sampled_from(['"', "`", "", "ab", 5]), st.lists(NAMES | NAMES.map(Loud) | st.sampled_from([1, None]), max_size=3),
    st.booleans()), min_size=1, max_size=8))
@settings(max_examples=60, deadline=None)
def test_statement_texts_reused_for_a_shape_are_those_built_afresh(steps):
    # Shapes that share text when run together ("ab" + "c" against "a" + "bc"), equal
    # strs that are other objects, str subclasses and formatted keys: a text kept from
    # one statement must never stand in for another's.
    instance = PostgresHistoricalConnection()

    def build(kind, table, separator, keys, copy):
        instance.TABLE_SEPARATOR = another(separator, copy)
        member = instance._build_insert_statement if kind == "insert" else instance._build_delete_statement
        return member(another(table, copy), {another(key, copy): 0 for key in keys})[0]

    def forget_kept_texts():
        for _ in range(64):  # more shapes than the module keeps texts of
            instance._build_insert_statement(f"evicted{next(EVICTION)}", {})

    afresh = []
    for step in steps:
        forget_kept_texts()
        afresh.append(build(*step))
    forget_kept_texts()
    assert [build(*step) for step in steps] == afresh


@pytest.mark.parametrize("value, data_type, expected", [
    ("abc", "json", '"abc"'), ("été", "json", '"\\u00e9t\\u00e9"'), (5, "json", "5"), (True, "json", "true"),
    (1.5, "json", "1.5"), ({"a": 1}, "json", SAME), ([1], "json", SAME), (None, "json", SAME),
    ("abc", "jsonb", SAME), (5, "jsonb", SAME), ("abc", "text", SAME), ("abc", "JSON", SAME),
])
def test_process_value_before_insert(value, data_type, expected):
    result = PostgresHistoricalConnection().process_value_before_insert(value, data_type)
    if expected is SAME:
        assert result is value
    else:
        assert result == expected


@pytest.mark.parametrize("json_value", [{"k": [1, "x"], "é": None}, "abc", 7, True, 1.5, None])
def test_put_writes_one_row(recording, object_table, observer, json_value):
    class_name, table = object_table
    data = {"name": "n", "size": 3, "partition_key": "mine", "weight": 1.5, "flag": True, "data": json_value,
            "extra": {"e": 1}, "unknown": 1, "Name": "case", "range_key": "mine"}
    original = copy.deepcopy(data)
    recording.begin()
    recording.put(address(class_name, "o1", "v1"), data)
    recording.commit()
    assert data == original
    assert recording.statements()[-2] == (
        f'INSERT INTO {table} ("name", "size", "partition_key", "weight", "flag", "data", "extra", "range_key") '
        "VALUES (%s, %s, %s, %s, %s, %s, %s, %s)")
    assert rows(observer, f'SELECT partition_key, range_key, name, size, weight, flag, data, extra FROM "{table}"') \
        == [("o1", "v1", "n", 3, 1.5, True, json_value, {"e": 1})]


def test_put_into_metadata_takes_identifier_and_version_from_data(recording, observer, class_name):
    where, data = metadata_record(class_name, "v2", prior="v1")
    recording.begin()
    recording.put(where, data)
    recording.commit()
    statement, parameters = recording.sent[-2]
    assert statement == ('INSERT INTO metadata ("address", "prior_version", "class_schema_type", "is_deleted", '
                         '"partition_key", "object_id", "object_version") VALUES (%s, %s, %s, %s, %s, %s, %s)')
    assert plain(parameters) == (("Json", data["address"]), "v1", "Thing", False, f"{class_name}@v2", class_name, "v2")
    assert rows(observer, f"SELECT object_id, object_version, prior_version, address FROM metadata "
                          f"WHERE partition_key = '{class_name}@v2'") == [(class_name, "v2", "v1", data["address"])]


class ReferenceService(PostgresHistoricalTableSchemaService):
    def resolve_table_name(self, address):
        return address.class_name if address.class_name.endswith("reference") else super().resolve_table_name(address)


class ReferenceConnection(RecordingConnection):
    @property
    def table_schema_manager(self):
        return ReferenceService(self)


def test_reference_table_has_no_version_column_and_reverts_by_identifier(connection_factory, observer, class_name):
    table = f"{class_name}_reference"
    instance = connection_factory(ReferenceConnection)
    instance.execute(f"CREATE TABLE {table} (partition_key text, range_key text, name text)")
    instance.begin()
    instance.put(address(table, "o", "v1"), {"name": "a", "range_key": "mine"})
    instance.commit()
    instance.begin()
    instance.put(address(table, "o", "v2"), {"name": "b"})
    assert instance.statements()[-1] == f'INSERT INTO {table} ("name", "partition_key") VALUES (%s, %s)'
    assert rows(observer, f"SELECT partition_key, range_key, name FROM {table}") == [("o", "mine", "a")]
    instance.revert()
    instance.execute("COMMIT")
    assert instance.sent[-2] == (f'DELETE FROM "{table}" WHERE "partition_key" = %s', ("o",))
    assert rows(observer, f"SELECT * FROM {table}") == []


def test_mixed_case_class_is_written_and_reverted(recording, connection, observer, class_name):
    mixed = "MixedCase" + class_name
    table = PostgresHistoricalTableSchemaService(connection).create_object_table(mixed, 1, OBJECT_COLUMNS)
    recording.begin()
    recording.put(address(mixed, "o", "v1"), {"name": "kept"})
    recording.commit()
    recording.begin()
    recording.put(address(mixed, "o", "v2"), {"name": "undone"})
    recording.revert()
    recording.execute("COMMIT")
    assert recording.sent[-4:] == [
        ("BEGIN", ()),
        (f'INSERT INTO "{table}" ("name", "partition_key", "range_key") VALUES (%s, %s, %s)', ("undone", "o", "v2")),
        (f'DELETE FROM "{table}" WHERE "partition_key" = %s AND "range_key" = %s', ("o", "v2")),
        ("COMMIT", ())]
    assert rows(observer, f'SELECT range_key, name FROM "{table}"') == [("v1", "kept")]


@pytest.mark.parametrize("failure", ["wrong type", "describe", "bad class"])
def test_failed_put_leaves_no_revert_entry(recording, object_table, monkeypatch, failure):
    class_name, table = object_table
    first, first_data = address(class_name, "o", "v1"), {"name": "first"}
    recording.begin()
    recording.put(first, first_data)
    where, data, error = address(class_name, "o", "v2"), {"size": "not a number"}, VelmorConnectionError
    if failure == "describe":
        monkeypatch.setattr(recording, "_describe_table", lambda table_name: 1 / 0)
        data, error = {"name": "x"}, ZeroDivisionError
    elif failure == "bad class":
        where, data, error = address('bad"name', "o", "v2"), {"name": "x"}, ValueError
    with pytest.raises(error):
        recording.put(where, data)
    assert recording._revert_data == [[(first, first_data)]] and recording._revert_data[0][0][1] is first_data
    recording.execute("ROLLBACK")


def test_put_without_recording_needs_no_level(connection_factory, object_table, observer):
    class_name, table = object_table
    instance = connection_factory(is_revert_supported=False)
    instance.put(address(class_name, "o", "v1"), {"name": "a"})
    assert rows(observer, f'SELECT range_key, name FROM "{table}"') == [("v1", "a")]  # no transaction: stored at once
    instance.begin()
    instance.put(address(class_name, "o", "v2"), {"name": "b"})
    assert instance._revert_data == [[]]
    instance.commit()
    assert rows(observer, f'SELECT range_key, name FROM "{table}" ORDER BY 1') == [("v1", "a"), ("v2", "b")]


def test_put_with_recording_and_no_level_fails_before_writing(recording, object_table, observer):
    class_name, table = object_table
    recording.sent.clear()
    with pytest.raises(IndexError):
        recording.put(address(class_name, "o", "v1"), {"name": "a"})
    assert recording.sent == [] and recording._revert_data == []
    assert rows(observer, f'SELECT * FROM "{table}"') == []


def override_instance(instance, member, builder):
    setattr(instance, member, lambda *args: builder(instance, *args))


def override_subclass(instance, member, builder):
    instance.__class__ = type("OwnBuilder", (type(instance),), {member: builder})


def override_class_in_place(instance, member, builder):
    setattr(type(instance), member, builder)  # after a put and a revert have used the class's own


OVERRIDDEN_CALLS = {  # what the override sees of the put of o2 and the revert of o2 and o1
    "process_value_before_insert": (lambda args, table: args, [("overridden", "text"), ("o2", "text"), ("1", "text")]),
    "_build_insert_statement": (lambda args, table: dict(args[1]),
                                [{"name": "overridden", "partition_key": "o2", "range_key": "1"}]),
    "_build_delete_statement": (lambda args, table: dict(args[1]),
                                [{"partition_key": "o2", "range_key": "1"}, {"partition_key": "o1", "range_key": "1"}]),
    "_add_revert_data": (lambda args, table: (args[0].object_id, args[1]),
                         [("o2", {"name": "overridden", "unknown": 1})]),
    "_describe_table": (lambda args, table: args == (table,), [True]),
    "_delete": (lambda args, table: args[0].object_id, ["o2", "o1"]),
}


@pytest.mark.parametrize("member", sorted(OVERRIDDEN_CALLS))
@pytest.mark.parametrize("override", [override_instance, override_subclass, override_class_in_place])
def test_an_override_is_called_whenever_it_is_there(recording, object_table, member, override):
    class_name, table = object_table
    seen, standard = [], getattr(PostgresHistoricalConnection, member)
    shown, expected = OVERRIDDEN_CALLS[member]

    def overriding(self, *args):
        seen.append(shown(args, table))
        return standard(self, *args)

    recording.begin()
    recording.put(address(class_name, "o1", "1"), {"name": "own"})
    recording.begin()
    recording.put(address(class_name, "o0", "1"), {"name": "undone"})
    recording.revert()
    try:
        override(recording, member, overriding)
        recording.put(address(class_name, "o2", "1"), {"name": "overridden", "unknown": 1})
        recording.revert()
    finally:
        if member in vars(RecordingConnection):
            delattr(RecordingConnection, member)
    assert seen == expected
    delete = f'DELETE FROM "{table}" WHERE "partition_key" = %s AND "range_key" = %s'
    assert recording.sent[-3:] == [
        (f'INSERT INTO {table} ("name", "partition_key", "range_key") VALUES (%s, %s, %s)', ("overridden", "o2", "1")),
        (delete, ("o2", "1")), (delete, ("o1", "1"))]
    recording.execute("ROLLBACK")
