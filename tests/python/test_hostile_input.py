"""Arbitrary Unicode names, JSON keys and values, run on the server inside rolled-back
transactions: every name reaches exactly the object it names, every value is data."""

import json
import string

import psycopg2
import pytest
from conftest import PostgresHistoricalConnection, address, metadata_record
from hypothesis import HealthCheck, example, given, settings, strategies as st
from psycopg2 import sql
from psycopg2.extras import Json

from velmor_data.connections.errors import VelmorConnectionError
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.utils import Q

HOSTILE = ['"', "'", "%", "%s", "%%", "%(x)s", "\\", "_", "%_", "a\\", '"; DROP TABLE x; --', "'); DROP TABLE x; --",
           "COUNT", "t1", "Ünïcødé 名前", " ", "\n", "{field_name}", "{value}", "$1", "?", "--", "/*"]
TEXT = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=30)
KEYS = st.one_of(TEXT, st.sampled_from(HOSTILE), st.from_regex(r"[A-Za-z0-9_]{1,12}", fullmatch=True))
NAMES = KEYS.filter(lambda name: 0 < len(name.encode()) <= 63)  # identifiers: 1 to 63 bytes
VALUES = st.one_of(TEXT, st.sampled_from(HOSTILE))
PATHS = st.lists(KEYS, min_size=1, max_size=3).filter(lambda keys: "__".join(keys).split("__") == keys)
PROPERTY = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
WORD = set(string.ascii_letters + string.digits + "_")
RESERVED = set()  # key words a bare table name cannot be, from the server


def quoted(name):
    return '"' + name.replace('"', '""').replace("%", "%%") + '"'


def is_path(text):
    """ASCII letters, digits and underscores; a field not starting with a digit, then "__" and keys."""
    parts = text.split("__")
    return all(part and set(part) <= WORD for part in parts) and not parts[0][0].isdigit()


@pytest.fixture
def raw(database, connection):
    """A driver connection whose every example runs in a transaction that is rolled back
    (`connection` has registered the internal tables)."""
    driver = psycopg2.connect(**database)
    with driver.cursor() as cursor:
        cursor.execute("SELECT word FROM pg_get_keywords() WHERE catcode IN ('R', 'T')")
        RESERVED.update(word for word, in cursor.fetchall())
    driver.rollback()
    yield driver
    driver.close()


def run(raw, statements):
    """Runs (statement, parameters) pairs in one transaction; returns the last fetch, rolls back.
    Statements composed here carry values as literals, so that a '%' in a name is no placeholder."""
    try:
        with raw.cursor() as cursor:
            # A schema of its own, so that any name is free; the internal tables stay visible.
            cursor.execute("CREATE SCHEMA hostile; SET LOCAL search_path TO hostile, public")
            for statement, parameters in statements:
                cursor.execute(statement, parameters)
            return cursor.fetchall()
    finally:
        raw.rollback()


@pytest.mark.parametrize("value_type, value", [(int, 4242), (bool, True), (float, 0.5), (str, "needle")])
@PROPERTY
@given(field=NAMES.filter(lambda name: name != "_address"), keys=PATHS)
def test_nested_path_reaches_exactly_the_given_keys(raw, value_type, value, field, keys):
    document = value
    for key in reversed(keys):
        document = {key: document}
    expression = PostgresHistoricalConnection._resolve_nested_field_name(field, "__".join(keys), value_type=value_type)
    assert run(raw, [
        (sql.SQL("CREATE TABLE hk ({} json)").format(sql.Identifier(field)), None),
        (sql.SQL("INSERT INTO hk ({}) VALUES ({})").format(sql.Identifier(field), sql.Literal(Json(document))), None),
        (f"SELECT {expression} FROM hk AS t1", ()),
    ]) == [(value,)]


@PROPERTY
@given(table=NAMES, column=NAMES.filter(lambda name: name != "k"), value=VALUES)
@example(table="user", column="select", value="'); DROP TABLE metadata; --")
def test_insert_and_delete_reach_exactly_the_named_table_and_column(raw, table, column, value):
    # Only an ordinary lower-case identifier that is no reserved word is written bare.
    plain = (table[0] in string.ascii_lowercase + "_" and set(table) <= WORD - set(string.ascii_uppercase)
             and table not in RESERVED)
    builder = PostgresHistoricalConnection()
    inserts = [builder._build_insert_statement(table, {column: v, "k": k}) for k, v in (("1", value), ("2", value + "x"))]
    assert [text for text, _ in inserts] == [f'INSERT INTO {table if plain else quoted(table)} ({quoted(column)}, "k") '
                                             "VALUES (%s, %s)"] * 2
    assert [parameters for _, parameters in inserts] == [(value, "1"), (value + "x", "2")]
    delete = builder._build_delete_statement(table, {column: value, "k": "1"})
    assert delete == (f'DELETE FROM {quoted(table)} WHERE {quoted(column)} = %s AND "k" = %s', (value, "1"))
    read = (sql.SQL("SELECT k, {} FROM {} ORDER BY k").format(sql.Identifier(column), sql.Identifier(table)), None)
    create = (sql.SQL("CREATE TABLE {} ({} text, k text)").format(sql.Identifier(table), sql.Identifier(column)), None)
    assert run(raw, [create, *inserts, read]) == [("1", value), ("2", value + "x")]
    assert run(raw, [create, *inserts, delete, read]) == [("2", value + "x")]


@PROPERTY
@given(table=NAMES.filter(lambda name: not name.endswith(("metadata", "reference"))))
def test_metadata_joined_select_reads_exactly_the_named_table(raw, table):
    statement, parameters = PostgresHistoricalConnection()._build_select_statement(
        table, QuerySpecifier(only=["name"]), Q(name__neq="skip"), None, [OrderBy("name", "desc")],
        use_internal_meta_tables=True)
    rows = [(f"o{n}", "1", name) for n, name in enumerate(["a", "b", "skip"])]
    fetched = run(raw, [
        (sql.SQL("CREATE TABLE {} (partition_key text, range_key text, name text, PRIMARY KEY (partition_key, "
                 "range_key))").format(sql.Identifier(table)), None),
        *[(sql.SQL("INSERT INTO {} VALUES {}").format(sql.Identifier(table), sql.Literal(row)), None) for row in rows],
        *[("INSERT INTO metadata (partition_key, object_id, object_version) VALUES (%s, %s, %s)",
           (f"{key}@{version}", key, version)) for key, version, _ in rows],
        (statement, parameters),
    ])
    assert [(name, meta["object_id"], meta["next_version"]) for name, meta in fetched] == \
        [("b", "o1", None), ("a", "o0", None)]


LIKE = {"contains": "%{}%", "startswith": "{}%", "endswith": "%{}"}


@pytest.mark.parametrize("path", ["name", "data__k"])
@pytest.mark.parametrize("lookup", ["eq", "neq", "in", *LIKE])
@PROPERTY
@given(stored=st.lists(VALUES, min_size=1, max_size=4), chosen=st.data())
def test_hostile_values_select_exactly_the_matching_rows(connection, object_table, raw, path, lookup, stored, chosen):
    class_name, _ = object_table
    probe = chosen.draw(st.one_of(st.sampled_from(stored), VALUES))
    if lookup == "in":
        probe = (probe, *chosen.draw(st.lists(VALUES, max_size=2)))
    # How the row's value reads in the condition: a JSON string field is read as its JSON text, outer quotes trimmed.
    seen = [json.dumps(value).strip('"') if path == "data__k" else value for value in stored]
    try:  # LIKE patterns as the server reads them, the value and the pattern both given as parameters
        hits = [hit for hit, in run(raw, [("SELECT value LIKE %s FROM unnest(%s::text[]) AS s(value)",
                                           (LIKE[lookup].format(probe), seen))])] if lookup in LIKE else \
            [{"eq": v == probe, "neq": v != probe, "in": v in probe}[lookup] for v in seen]
    except psycopg2.Error:
        hits = None
    expected = None if hits is None else {f"{class_name}-{n}" for n, hit in enumerate(hits) if hit}
    connection.begin()
    try:
        for n, value in enumerate(stored):
            connection.put(address(class_name, f"{class_name}-{n}", "1"), {"name": value, "data": {"k": value}})
            connection.put(*metadata_record(f"{class_name}-{n}", "1"))
        where, conditions = address(class_name, None, None, 1), Q(**{f"{path}__{lookup}": probe})
        if expected is None:  # the server refuses the pattern itself
            with pytest.raises(VelmorConnectionError):
                connection.query(where, conditions=conditions)
        else:
            assert {item["partition_key"] for item in connection.query(where, conditions=conditions)} == expected
            assert connection.count(where, conditions) == len(expected)
    finally:
        connection.rollback()


@settings(max_examples=200, deadline=None)
@given(name=st.one_of(NAMES, KEYS))
def test_query_model_refuses_unsafe_names(name):
    for build, safe in ((lambda: QuerySpecifier(only=[name]), is_path(name) and "__" not in name),
                        (lambda: OrderBy(name), is_path(name)), (lambda: Q(**{name: 1}), is_path(name))):
        if safe:
            build()
        else:
            with pytest.raises(ValueError):
                build()
