"""Python code that the module calls (a key's __format__, a column name's __hash__,
_process_result, a __deepcopy__, a parameter's __repr__) may change what the module is
walking. Whatever it does, each member behaves exactly as the same member written in
Python behaves with the same objects: same result, or same error. Run on the sanitizer
build too, where any read of freed memory is reported."""

import copy
import gc
import sys
import types
import weakref

import psycopg2
import pytest
from conftest import PostgresHistoricalConnection, address, fresh_import
from hypothesis import example, given, settings, strategies as st

from velmor_data.connections.implementations import postgresql_history as module

PROPERTY = settings(max_examples=200, deadline=None, derandomize=True)


def outcome(call):
    try:
        return "ok", call()
    except Exception as error:  # the error is part of the behaviour compared
        return type(error), str(error)


# --- Column mappings whose keys change them while they are formatted -------------------

class Key:
    """A key whose formatting runs `action` on the mapping it belongs to."""

    def __init__(self, name, action, data):
        self.name, self.action, self.data = name, action, data

    def __format__(self, format_spec):
        self.action(self, self.data)
        return self.name


KEY_ACTIONS = {
    "none": lambda key, data: None,
    "replace own value": lambda key, data: data.__setitem__(key, "replaced " + key.name),
    "add a key": lambda key, data: data.__setitem__("added " + key.name, "x"),
    "drop the last key": lambda key, data: data.pop(list(data)[-1]),
    "swap the last key": lambda key, data: (data.pop(list(data)[-1]), data.__setitem__("new " + key.name, "y")),
}


def keyed_mapping(actions):
    data = {}
    for n, action in enumerate(actions):
        data[Key(f"k{n}", KEY_ACTIONS[action], data)] = "".join(["value ", str(n)])  # a value only the dict holds
    return data


def reference_columns(instance, data):
    """The column names and parameters, as the builders read them in Python."""
    names = [key if isinstance(key, str) else format(key) for key in data]
    return names, len(data), tuple(instance._to_sql_value(value) for value in data.values())


@PROPERTY
@given(actions=st.lists(st.sampled_from(sorted(KEY_ACTIONS)), min_size=1, max_size=4))
@example(actions=["replace own value"])
def test_builders_read_a_changing_mapping_as_python_does(actions):
    instance = PostgresHistoricalConnection()

    def expected_statement(kind):
        names, size, parameters = reference_columns(instance, keyed_mapping(actions))
        if kind == "insert":
            text = f"INSERT INTO t ({', '.join(f'{chr(34)}{n}{chr(34)}' for n in names)}) VALUES ({', '.join(['%s'] * size)})"
        else:
            text = 'DELETE FROM "t" WHERE ' + " AND ".join(f'"{n}" = %s' for n in names)
        return text, parameters

    for kind, build in (("insert", instance._build_insert_statement), ("delete", instance._build_delete_statement)):
        assert outcome(lambda: build("t", keyed_mapping(actions))) == outcome(lambda: expected_statement(kind))


# --- Reads whose rows change while they are turned into items --------------------------

class Name(str):
    """A column name whose hashing runs `action` on the row being read."""

    action = None

    def __hash__(self):
        if Name.action:
            Name.action()
        return str.__hash__(self)


class FakeCursor:
    def __init__(self, rows):
        self.rows, self.description = rows, [(Name("a"),), (Name("b"),)]

    def fetchall(self):
        return self.rows


ROW_ACTIONS = {
    "none": (None, None),
    "process clears the rows": ("process", lambda rows: rows.clear()),
    "process appends a row once": ("process", lambda rows: len(rows) < 3 and rows.append([5, 6])),
    "hash clears the row": ("hash", lambda rows: rows[0].clear()),
    "hash lengthens the row": ("hash", lambda rows: len(rows[0]) < 3 and rows[0].append(9)),
}


def reference_query(cursor, description, process):
    """The loop of _query in Python."""
    items = []
    for row in cursor.fetchall():
        names = [descriptor[0] for descriptor in cursor.description]
        items.append(process(dict(zip(names, row, strict=True)), description))
    return items


@pytest.mark.parametrize("action", sorted(ROW_ACTIONS))
def test_query_reads_changing_rows_as_python_does(action):
    where, change = ROW_ACTIONS[action]

    def run(read):
        rows = [[1, 2], [3, 4]]
        cursor = FakeCursor(rows)
        Name.action = (lambda: change(rows)) if where == "hash" else None

        def process(row, description):
            if where == "process":
                change(rows)
            return dict(row)

        class Reader(PostgresHistoricalConnection):
            def _build_select_statement(self, *args, **kwargs):
                return "SELECT", []

            def execute(self, query, *args):
                return cursor

            def _describe_table(self, table_name):
                return {}

            def _process_result(self, row, description):
                return process(row, description)

        try:
            return outcome(lambda: read(Reader(), cursor, process))
        finally:
            Name.action = None

    assert run(lambda reader, cursor, process: reader._query("t", None, None, None, None)) == \
        run(lambda reader, cursor, process: reference_query(cursor, {}, process))


# --- The deep copy of written data ------------------------------------------------------

def copy_probe(base):
    """put without a server: it raises the columns it would have inserted."""

    class CopyProbe(base):
        def __init__(self, columns):
            super().__init__(is_revert_supported=False)
            self.description = {name: "text" for name in columns}

        def _describe_table(self, table_name):
            return self.description

        def _build_insert_statement(self, table_name, data):
            raise Captured(data)

    return CopyProbe


class Captured(Exception):
    def __init__(self, data):
        super().__init__("captured")
        self.data = data


def written(data, base=PostgresHistoricalConnection):
    """What put writes of `data`: its columns, without the two address columns."""
    try:
        copy_probe(base)(list(data)).put(address("Probe", "o", "1"), data)
    except Captured as captured:
        return {key: value for key, value in captured.data.items() if key not in ("partition_key", "range_key")}
    raise AssertionError("put did not reach the insert")


def copied_columns(data):
    """The same through copy.deepcopy: the copy's columns that were the data's keys."""
    columns = list(data)
    return {key: value for key, value in copy.deepcopy(data).items() if key in columns}


def canonical(value, seen=None):
    """A comparable form of nested data that also records which containers are shared."""
    seen = {} if seen is None else seen
    if isinstance(value, (dict, list)):
        if id(value) in seen:
            return "ref", seen[id(value)]
        seen[id(value)] = len(seen)
        if isinstance(value, dict):
            return "dict", [(canonical(k, seen), canonical(v, seen)) for k, v in value.items()]
        return "list", [canonical(item, seen) for item in value]
    return type(value).__name__, value


class Hostile:
    """Runs its operations on the data while it is being deep-copied."""

    def __init__(self, data, operations):
        self.data, self.operations = data, operations

    def __deepcopy__(self, memo):
        for kind, j in self.operations:
            key = f"k{j}"
            if kind == "drop":  # frees the old value; the next list may take its address
                self.data[key] = None
            elif kind == "new list":
                self.data[key] = [2, 2, 2]
            elif kind == "delete":
                self.data.pop(key, None)
            elif kind == "add":
                self.data[f"added{j}"] = [3]
            elif kind == "clear" and isinstance(self.data.get(key), list):
                self.data[key].clear()
        return "copied"


VALUE = st.one_of(st.integers(0, 3), st.just("list"), st.just("nested"), st.just("shared"), st.just("dict"),
                  st.lists(st.tuples(st.sampled_from(["drop", "new list", "delete", "add", "clear"]),
                                     st.integers(0, 4)), min_size=1, max_size=3))


def hostile_data(recipe):
    data = {}
    for n, part in enumerate(recipe):
        if part == "list":
            value = [n, n, n]
        elif part == "nested":
            value = [[n], {"x": [n]}]
        elif part == "shared":
            value = next((v for v in data.values() if isinstance(v, list)), [n])
        elif part == "dict":
            value = {"d": [n]}
        elif isinstance(part, list):
            value = Hostile(data, part)
        else:
            value = part
        data[f"k{n}"] = value
    return data


@PROPERTY
@given(recipe=st.lists(VALUE, min_size=1, max_size=5))
@example(recipe=["list", [("drop", 0), ("new list", 2)], 0])
@example(recipe=["list", [("delete", 2), ("add", 2)], 0])
def test_written_data_is_what_copy_deepcopy_gives(recipe):
    expected = outcome(lambda: canonical(copied_columns(hostile_data(recipe))))
    assert outcome(lambda: canonical(written(hostile_data(recipe)))) == expected


def test_deeply_nested_data_is_copied_whole():
    nested = leaf = []
    for _ in range(50_000):
        leaf.append([])
        leaf = leaf[0]
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        copied = written({"k": nested})["k"]
    finally:
        sys.setrecursionlimit(limit)
    depth, original = 0, nested
    while copied:
        assert copied is not original
        copied, original, depth = copied[0], original[0], depth + 1
    assert depth == 50_000


# --- Globals, re-import, and errors while an error is reported --------------------------

def test_each_import_reads_its_own_globals():
    fresh = fresh_import()
    assert fresh is not module and fresh.PostgresHistoricalConnection is not module.PostgresHistoricalConnection
    copies = []
    fresh.deepcopy = lambda data: copies.append(data) or dict(data)  # patched like any module global

    data = {"a": [1]}
    assert written(data, fresh.PostgresHistoricalConnection) == {"a": [1]} and copies == [data]
    assert written(data) == {"a": [1]} and copies == [data]  # the first import's class is untouched
    alive = weakref.ref(fresh)
    del fresh
    gc.collect()
    assert alive() is None  # a dropped import is freed with its class and state


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


def test_a_failing_repr_while_reporting_keeps_the_driver_error_as_context(connection):
    with pytest.raises(ValueError, match="^no repr$") as caught:
        connection.execute("SELECT %s", BadRepr())  # the driver cannot adapt it
    assert isinstance(caught.value.__context__, psycopg2.ProgrammingError)


class OwnIterError:
    def __iter__(self):
        raise TypeError("my own iteration failed")


@pytest.mark.parametrize("parameters, row", [(5, None), (OwnIterError(), None), ((), {"count": 3})])
def test_count_spreads_its_parameters_and_reads_row_0_as_python_does(parameters, row):
    class Counter(PostgresHistoricalConnection):
        def _build_count_statement(self, table_name, conditions, **kwargs):
            return "SELECT 1", parameters

        def execute(self, query, *args):  # a mapping row, for the one row that reaches it
            return types.SimpleNamespace(fetchone=lambda: row)

    counter = Counter()
    expected = outcome(lambda: counter.execute("SELECT 1", *parameters).fetchone()[0])
    assert outcome(lambda: counter.count(address("Probe", "o", "1"))) == expected
