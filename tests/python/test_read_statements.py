"""Statement texts of the read path: nested fields, nested filters, grouping, column lists,
the metadata-joined select and in-memory pagination. No database is needed."""

import builtins
import datetime
import logging

import pytest
from conftest import fresh_import

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.connections.implementations import postgresql_history as module
from velmor_data.connections.implementations.mixins.sqlite_statements_mixin import NoValue
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import CursorPaginator, NumberPaginator
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.enums import Lookup
from velmor_utils.query.utils import Q

Connection = module.PostgresHistoricalConnection
OPS = module.sql_operator_map
META, INTERNAL, BOTH = {"use_internal_meta_tables": True}, {"is_internal_table": True}, {
    "use_internal_meta_tables": True, "is_internal_table": True}
LATEST_JOINED = '(t2."next_version" IS NULL OR t2."next_version" = \'\')'
LATEST_PLAIN = ("(cast(_metadata::json->'next_version' as text) IS NULL OR "
                "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')")
DATA_A = "trim('\"' FROM cast(t1.\"data\"::json->'a' as text))"
GROUP = " GROUP BY t1.partition_key, t1.range_key"


class Like:
    """A value type that says it equals `kind`."""

    def __init__(self, kind):
        self.kind = kind

    def __eq__(self, other):
        return other is self.kind


@pytest.mark.parametrize("field, nested, kwargs, expected", [
    ("_address", "object_id", {}, "partition_key"), ("_address", "object_id", META, 't1."partition_key"'),
    ("_address", "object_id", INTERNAL, "trim('\"' FROM cast(_address::json->'object_id' as text))"),
    ("_address", "object_version", META, 't1."range_key"'), ("_address", "object_version", {}, ""),
    ("_address", "other", {}, ""),
    ("_address", "other", META, "trim('\"' FROM cast(t1.\"_address\"::json->'other' as text))"),
    ("_address", "object_version", BOTH, "trim('\"' FROM cast(_address::json->'object_version' as text))"),
    ("_metadata", "class_schema_type", {**META, "value_type": int}, 't2."class_schema_type"'),
    ("_metadata", "address__object_id", META, "trim('\"' FROM cast(t2.\"address\"::json->'object_id' as text))"),
    ("_metadata", "address__a__b", {**META, "value_type": int}, "cast(t2.\"address\"::json->'a'->>'b' as integer)"),
    ("_metadata", "k", {}, "trim('\"' FROM cast(t1.\"_metadata\"::json->'k' as text))"),
    ("_metadata", "k", BOTH, "trim('\"' FROM cast(_metadata::json->'k' as text))"),
    ("data", "a", {"value_type": int}, "cast(t1.\"data\"::json->>'a' as integer)"),
    ("data", "a", {"value_type": float, **META}, "cast(t1.\"data\"::json->>'a' as real)"),
    ("data", "a", {"value_type": bool}, "cast(t1.\"data\"::json->>'a' as boolean)"),
    ("data", "a", {}, DATA_A), ("data", "a", {"value_type": type(None)}, DATA_A),
    ("data", "a", {"value_type": datetime.date}, DATA_A),
    ("data", "a", {"value_type": type("Small", (int,), {})}, DATA_A),
    ("data", "a", {"value_type": Like(bool)}, "cast(t1.\"data\"::json->>'a' as boolean)"),
    ("data", "a", {"value_type": Like(int)}, "cast(t1.\"data\"::json->>'a' as integer)"),
    ("data", "a", {"value_type": Like(float)}, DATA_A),
    ("d\ud800", "k\udfff", {}, "trim('\"' FROM cast(t1.\"d\ud800\"::json->'k\udfff' as text))"),
    ("data", "a__b", {"value_type": int}, "cast(t1.\"data\"::json->'a'->>'b' as integer)"),
    ("data", "a__b", {"value_type": str}, "trim('\"' FROM cast(t1.\"data\"::json->'a'->>'b' as text))"),
    ("data", "a__b__c", {"value_type": int}, "cast(t1.\"data\"::json->'a'->'b'->>'c' as integer)"),
    ("data", "x", {"value_type": float, **INTERNAL}, "cast(data::json->>'x' as real)"),
    ("data", "a", INTERNAL, "trim('\"' FROM cast(data::json->'a' as text))"),
    ('da"t%a', "k'e%y", {}, "trim('\"' FROM cast(t1.\"da\"\"t%%a\"::json->'k''e%%y' as text))"),
    ("_metadata", 'we"ird%', META, 't2."we""ird%%"'),
    ("_metadata", "a\"b__c'd", {**META, "value_type": int}, "cast(t2.\"a\"\"b\"::json->>'c''d' as integer)"),
])
def test_resolve_nested_field_name(field, nested, kwargs, expected):
    assert Connection._resolve_nested_field_name(field, nested, **kwargs) == expected
    assert Connection()._resolve_nested_field_name(field, nested, **kwargs) == expected


V, EQ, IN, NULL = "object_version", Lookup.EQ, Lookup.IN, Lookup.ISNULL


@pytest.mark.parametrize("field, nested, lookup, value, value_type, kwargs, expected", [
    ("data", "a", EQ, Versions.ALL, Versions, {}, ("", None)), ("data", "a", EQ, "all", str, META, ("", None)),
    ("_address", V, EQ, Versions.ALL, Versions, META, ("", None)),
    ("_address", V, EQ, Versions.LATEST, Versions, META, (LATEST_JOINED, NoValue)),
    ("_address", V, EQ, "latest", str, META, (LATEST_JOINED, NoValue)),
    ("_address", V, Lookup.NEQ, Versions.LATEST, Versions, {}, (LATEST_PLAIN, NoValue)),
    ("_address", V, EQ, "latest", str, {}, (LATEST_PLAIN, NoValue)),
    ("_address", "object_id", EQ, Versions.LATEST, Versions, META, ('t1."partition_key" = %s', "latest")),
    ("_address", "object_id", EQ, "latest", str, {}, ("partition_key = %s", "latest")),
    ("data", "a", EQ, Versions.LATEST, Versions, META, (DATA_A + " = %s", "latest")),
    ("_address", V, EQ, "1", str, {}, ("", None)),
    ("_address", V, Lookup.GT, "1", str, META, ('t1."range_key" > %s', "1")),
    ("data", "name", Lookup.ICONTAINS, "ab", str, INTERNAL,
     ("UPPER(trim('\"' FROM cast(data::json->'name' as text))) LIKE %s", "%AB%")),
    ("data", "a", EQ, 5, str, {}, ("cast(t1.\"data\"::json->>'a' as integer) = %s", 5)),
    ("data", "ok", EQ, True, bool, {}, ("cast(t1.\"data\"::json->>'ok' as boolean) IS %s", True)),
    ("_metadata", "class_schema_type", EQ, 3, int, META, ('t2."class_schema_type" = %s', 3)),
    ("data", "a", IN, (1, 2), tuple, {}, ("cast(t1.\"data\"::json->>'a' as integer) IN %s", (1, 2))),
    ("data", "a", IN, (1.5, 2.5), tuple, {}, ("cast(t1.\"data\"::json->>'a' as real) IN %s", (1.5, 2.5))),
    ("data", "a", IN, (3,), tuple, {}, ("cast(t1.\"data\"::json->>'a' as integer) IN %s", (3,))),
    ("data", "a", IN, (0.5,), tuple, {}, ("cast(t1.\"data\"::json->>'a' as real) IN %s", (0.5,))),
    ("data", "a", IN, (1, "x"), tuple, {}, (DATA_A + " IN %s", (1, "x"))),
    ("data", "a", NULL, True, bool, META, (DATA_A + " IS NULL", NoValue)),
    ("data", "n__m", NULL, False, bool, {},
     ("trim('\"' FROM cast(t1.\"data\"::json->'n'->>'m' as text)) IS NOT NULL", NoValue)),
])
def test_nested_filter_statement(field, nested, lookup, value, value_type, kwargs, expected):
    result = Connection()._nested_filter_statement(field, nested, OPS[lookup], value, value_type, **kwargs)
    assert result == expected and (result[1] is NoValue) == (expected[1] is NoValue)


@pytest.mark.parametrize("value, cast_type, resolved, expected", [
    (7, int, "EXPR", ("EXPR ? 7", "v:7")), (None, str, "EXPR", ("EXPR ? None", NoValue)), ("x", str, "", ("", None)),
])
def test_nested_filter_call_order(value, cast_type, resolved, expected):
    log = []

    class Spy(Connection):
        COLUMN_SEPARATOR = "`"

        @staticmethod
        def _resolve_nested_field_name(*args, **kwargs):
            log.append(("resolve", args, kwargs))
            return resolved

    class Template:
        def build_value(self, *args):
            log.append(("build_value", args))
            return NoValue if value is None else f"v:{value}"

        def build_statement(self, *args):
            log.append(("build_statement", args))
            return f"{args[0]} ? {args[1]}"

    result = Spy()._nested_filter_statement("data", "a__b", Template(), value, bytes, use_internal_meta_tables=True)
    assert result == expected and (result[1] is NoValue) == (expected[1] is NoValue)
    flags = {"value_type": cast_type, "is_internal_table": False, "use_internal_meta_tables": True}
    calls = [("build_value", (value,)), ("resolve", ("data", "a__b"), flags)]
    assert log == calls + ([("build_statement", ("EXPR", value, "", "`"))] if resolved else [])


@pytest.mark.parametrize("order_by, kwargs, expected", [
    (None, {}, GROUP), ([], META, GROUP),
    ([OrderBy("name"), OrderBy("data__inner__x", "desc")], {},
     GROUP + ", name, trim('\"' FROM cast(t1.\"data\"::json->'inner'->>'x' as text))"),
    ([OrderBy("_metadata__created_at"), OrderBy("_address__object_version")], META,
     GROUP + ', t2."created_at", t1."range_key"'),
    ([OrderBy("data__x")], INTERNAL, GROUP + ", trim('\"' FROM cast(data::json->'x' as text))"),
    ([OrderBy("name"), OrderBy("name", "desc")], {}, GROUP + ", name, name"),
])
def test_group_by(order_by, kwargs, expected):
    assert Connection()._build_group_by_statement(order_by, **kwargs) == expected


@pytest.mark.parametrize("override", ["subclass", "instance", "class patched after use"])
def test_group_by_uses_overridden_resolution(override):
    calls = []

    def resolve(*args, **kwargs):
        calls.append((args, kwargs))
        return f"R({args[0]}|{args[1]})"

    class Spy(Connection):
        pass

    spy = Spy()
    spy._build_group_by_statement([OrderBy("data__a__b")])  # the class's own resolution first
    if override == "subclass":
        spy.__class__ = type("OwnResolution", (Spy,), {"_resolve_nested_field_name": staticmethod(resolve)})
    elif override == "instance":
        spy._resolve_nested_field_name = resolve
    else:
        Spy._resolve_nested_field_name = staticmethod(resolve)
    clause = spy._build_group_by_statement([OrderBy("size"), OrderBy("data__a__b")], use_internal_meta_tables=True)
    assert clause == GROUP + ", size, R(data|a__b)"
    assert calls == [(("data", "a__b"), {"is_internal_table": False, "use_internal_meta_tables": True})]


HOST_NAME_READERS = [  # between them, every host name the builders read
    lambda c: c._resolve_nested_field_name("_address", "object_id", **META),
    lambda c: c._resolve_nested_field_name("_address", "object_version", value_type=int, **META),
    lambda c: c._resolve_nested_field_name("_metadata", "a__b", value_type=int, **META),
    lambda c: c._nested_filter_statement("_address", V, OPS[EQ], Versions.LATEST, Versions, **META),
    lambda c: c._build_group_by_statement([OrderBy("data__x")], **META),
    lambda c: type("Spy", (type(c),), {"_select_with_internal_meta_statement": lambda self, table, **kw: kw})()
    ._build_select_statement("t", ONLY_A, None, None, None, use_internal_meta_tables=True)["select_only"],
]


@pytest.mark.parametrize("name", ["MODEL_TABLE_ALIAS", "METADATA_TABLE_ALIAS", "ADDRESS_FIELD", "METADATA_FIELD",
                                  "PRIMARY_PARTITION_KEY", "SECONDARY_PARTITION_KEY", "METADATA_SELECT_FIELD"])
def test_builders_read_the_host_names_as_they_are_at_the_call(monkeypatch, name):
    before = [read(Connection()) for read in HOST_NAME_READERS]  # whatever the module keeps of the names now
    renamed = "n_" + getattr(module, name).strip()
    monkeypatch.setattr(module, name, renamed)
    after = [read(Connection()) for read in HOST_NAME_READERS]
    fresh = fresh_import()
    setattr(fresh, name, getattr(module, name))
    assert after == [read(fresh.PostgresHistoricalConnection()) for read in HOST_NAME_READERS] and after != before
    # A name that is no plain str is joined to its neighbours by Python's +: a str of a class of
    # its own that adds as str does gives the same texts, and anything else fails as + fails.
    monkeypatch.setattr(module, name, Joined(getattr(module, name)))
    assert [read(Connection()) for read in HOST_NAME_READERS] == after
    monkeypatch.setattr(module, name, 5)
    failures = {outcome(lambda: read(Connection())) for read in HOST_NAME_READERS} - {"ok"}
    assert failures <= {"can only concatenate str (not \"int\") to str", "'int' object has no attribute 'replace'",
                        "unsupported operand type(s) for +: 'int' and 'str'"}
    assert bool(failures) == (name not in ("ADDRESS_FIELD", "METADATA_FIELD"))  # only compared, those two
    namespace = vars(module)
    kept = dict(namespace)
    try:
        del namespace[name]
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            for read in HOST_NAME_READERS:
                read(Connection())
        monkeypatch.setattr(builtins, name, renamed, raising=False)  # found there, as Python finds a global
        assert [read(Connection()) for read in HOST_NAME_READERS] == after
    finally:  # the globals back in their order
        namespace.clear()
        namespace.update(kept)


class Joined(str):
    def __add__(self, other):
        return str(self) + other

    def __radd__(self, other):
        return other + str(self)


def outcome(call):
    try:
        call()
        return "ok"
    except (TypeError, AttributeError) as error:
        return str(error)


class SelectSpy(Connection):
    def _select_statement(self, table_name, **kwargs):
        return "plain", table_name, kwargs

    def _select_with_internal_meta_statement(self, table_name, **kwargs):
        return "joined", table_name, kwargs


TAIL = ", " + module.METADATA_SELECT_FIELD
B_A, ONLY_A = QuerySpecifier(only=["b", "a", "b"], distinct=["a"]), QuerySpecifier(only=["a"])


@pytest.mark.parametrize("table, specifier, meta, branch, select_only", [
    ("things_v1", B_A, False, "plain", "_metadata, distinct a, b"), ("metadata", B_A, True, "plain", "distinct a, b"),
    ("things_v1", B_A, True, "joined", "DISTINCT t1.a, t1.b" + TAIL),
    ("things_v1", QuerySpecifier(only=["zeta", "alpha"]), False, "plain", "_metadata, alpha, zeta"),
    ("things_v1", QuerySpecifier(only=["B", "a"]), False, "plain", "B, _metadata, a"),
    ("things_v1", QuerySpecifier(only=["B", "a"]), True, "joined", "t1.B, t1.a" + TAIL),
    ("things_v1", QuerySpecifier(only=["a"], distinct=["z"]), False, "plain", "_metadata, a"),
    ("things_v1", QuerySpecifier(only=[], distinct=["a"]), False, "plain", "*"),
    ("things_v1", None, False, "plain", "*"), ("metadata", None, True, "plain", "*"),
    ("things_v1", None, True, "joined", "t1.*" + TAIL), ("things_v1", QuerySpecifier(), True, "joined", "t1.*" + TAIL),
    ("reference", ONLY_A, True, "plain", "a"), ("object_metadata", ONLY_A, True, "plain", "a"),
    ("x_reference", ONLY_A, False, "plain", "a"), ("Metadata", ONLY_A, True, "joined", "t1.a" + TAIL),
    ("metadata_x", ONLY_A, False, "plain", "_metadata, a"),
])
def test_select_column_lists(table, specifier, meta, branch, select_only):
    conditions, pagination, order_by = Q(a=1), NumberPaginator(2, 3), [OrderBy("a")]
    result = SelectSpy()._build_select_statement(table, specifier, conditions, pagination, order_by,
                                                 use_internal_meta_tables=meta)
    expected = {"select_only": select_only, "conditions": conditions, "pagination": pagination, "order_by": order_by}
    if branch == "plain":
        expected["is_internal_table"] = table.endswith(("metadata", "reference"))
    assert result == (branch, table, expected)
    assert all(result[2][name] is expected[name] for name in ("conditions", "pagination", "order_by"))


@pytest.mark.parametrize("table", ["things_v1", "metadata"])
@pytest.mark.parametrize("meta", [True, False])
@pytest.mark.parametrize("paginator", [CursorPaginator(), type("OddCursor", (CursorPaginator,), {})()])
def test_select_refuses_cursor_pagination(table, meta, paginator):
    with pytest.raises(VelmorConnectionError) as error:
        SelectSpy()._build_select_statement(table, ONLY_A, Q(a=1), paginator, use_internal_meta_tables=meta)
    assert error.value.args == ("Cursor pagination is not supported",)


class JoinedSpy(Connection):
    def __init__(self, where):
        super().__init__()
        self.where, self.calls = where, []

    def _get_conditions_statement(self, conditions, **kwargs):
        self.calls.append(("conditions", conditions, kwargs))
        return self.where

    def _build_group_by_statement(self, order_by, **kwargs):
        self.calls.append(("group_by", order_by, kwargs))
        return super()._build_group_by_statement(order_by, **kwargs)

    def _build_order_by_statement(self, order_by, **kwargs):
        self.calls.append(("order_by", order_by, kwargs))
        return " ORDER BY O"


def joined(select="S", table="T"):
    return (f'SELECT {select} FROM "{table}" AS t1 JOIN ({module.METADATA_SELECT_STATEMENT}) AS t2 '
            "ON t1.partition_key = t2.object_id AND t1.range_key = t2.object_version")


ORDER, PAGE, G = [OrderBy("size")], " LIMIT %s OFFSET %s", ["group_by"]


@pytest.mark.parametrize("select, table, where, conditions, pagination, order_by, text, params, calls", [
    ("S", "T", ("W", [1]), None, None, None, joined() + GROUP, [], G),
    ("S", "T", ("W", [1]), Q(), CursorPaginator(), None, joined() + GROUP, [], G),
    ("S", "T", ("(x = %s)", [1]), Q(a=1), NumberPaginator(5, 10), ORDER,
     joined() + " WHERE (x = %s)" + GROUP + ", size ORDER BY O" + PAGE, [1, 5, 10], ["conditions"] + G + ["order_by"]),
    ("S", "T", ("", [7]), Q(a=1), None, None, joined() + GROUP, [7], ["conditions"] + G),
    ("COUNT(*)", "T", ("W", []), Q(a=1), NumberPaginator(1), ORDER,
     joined("COUNT(*)") + " WHERE W ORDER BY O" + PAGE, [1, 0], ["conditions", "order_by"]),
    ("count(*)", "T", ("W", []), None, None, None, joined("count(*)") + GROUP, [], G),
    ("S", "COUNTS", ("W", []), None, None, None, joined(table="COUNTS") + GROUP, [], G),
    ("S", "T", ("COUNT(x) > 1", []), Q(a=1), None, None, joined() + " WHERE COUNT(x) > 1" + GROUP, [],
     ["conditions"] + G),
    ("S", "T", ("W", []), None, NumberPaginator(0), None, joined() + GROUP + PAGE, [0, 0], G),
    ("S", "T", ("W", []), None, NumberPaginator(None, 5), None, joined() + GROUP + " OFFSET %s", [5], G),
    ("S", "T", ("(x = %s)", [1]), Q(a=1), NumberPaginator(None, 8), ORDER,
     joined() + " WHERE (x = %s)" + GROUP + ", size ORDER BY O OFFSET %s", [1, 8], ["conditions"] + G + ["order_by"]),
    ("S", "T", ("W", []), None, NumberPaginator(None, 0), None, joined() + GROUP, [], G),
    ("S", "T", ("W", []), None, NumberPaginator(None, -3), None, joined() + GROUP, [], G),
    ("S", "T", ("W", []), None, NumberPaginator(3, 0), None, joined() + GROUP + PAGE, [3, 0], G),
    ("S", "T", ("W", []), None, NumberPaginator(3, None), [], joined() + GROUP + PAGE, [3, 0], G),
    ("S", 'we"ird%', ("W", []), None, None, None, joined(table='we""ird%%') + GROUP, [], G),
], ids=lambda value: value if isinstance(value, str) and len(value) < 20 else None)
def test_select_with_internal_meta(select, table, where, conditions, pagination, order_by, text, params, calls):
    spy = JoinedSpy(where)
    statement, parameters = spy._select_with_internal_meta_statement(table, select, conditions, pagination, order_by)
    assert (statement, parameters) == (text, params)
    if calls[0] == "conditions":
        assert parameters is where[1]
    assert [call[0] for call in spy.calls] == calls
    flags = {"is_internal_table": False, "use_internal_meta_tables": True}
    assert all(arg is (conditions if name == "conditions" else order_by) and kw == flags for name, arg, kw in spy.calls)


class OwnIterError:
    def __iter__(self):
        raise TypeError("my own iteration failed")


def python_unpacking_error(value):
    try:
        text, parameters = value
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("where, pagination, error", [
    (("W", (1,)), None, (TypeError, "Expected list, got tuple")),
    (("W", type("Params", (list,), {})([1])), None, (TypeError, "Expected list, got Params")),
    (("W", None), NumberPaginator(1), (AttributeError, "'NoneType' object has no attribute 'append'")),
    (("W", None), NumberPaginator(None, 2), (AttributeError, "'NoneType' object has no attribute 'append'")),
    (("W",), None, python_unpacking_error(("W",))),
    (5, None, python_unpacking_error(5)),
    (OwnIterError(), None, python_unpacking_error(OwnIterError())),
])
def test_select_with_internal_meta_refuses_a_malformed_condition_result(where, pagination, error):
    with pytest.raises(error[0]) as caught:
        JoinedSpy(where)._select_with_internal_meta_statement("T", "S", Q(a=1), pagination)
    assert str(caught.value) == error[1]


def test_a_part_that_is_not_text_fails_where_concatenation_does():
    spy = type("NumberedSeparator", (JoinedSpy,), {"TABLE_SEPARATOR": 7})(("W", []))
    with pytest.raises(TypeError) as caught:
        spy._select_with_internal_meta_statement("T", "S", Q(a=1))
    assert str(caught.value) == 'can only concatenate str (not "int") to str' and spy.calls == []
    where = ("W", [1])
    spy = type("NumberedOrder", (JoinedSpy,), {"_build_order_by_statement": lambda self, order_by, **kw: 7})(where)
    with pytest.raises(TypeError):
        spy._select_with_internal_meta_statement("T", "S", Q(a=1), NumberPaginator(2), ORDER)
    assert where[1] == [1]  # failed before the page limit was appended


ITEMS = [{"k": letter} for letter in "abcde"]


@pytest.mark.parametrize("pagination, expected", [
    (NumberPaginator(2, 1), ITEMS[1:3]), (NumberPaginator(2, 4), ITEMS[4:]), (NumberPaginator(2, 10), []),
    (NumberPaginator(2, 0), ITEMS[:2]), (NumberPaginator(2, None), ITEMS), (NumberPaginator(None, 1), ITEMS),
    (None, ITEMS), (CursorPaginator(), ITEMS),
])
def test_paginate_items(pagination, expected, caplog):
    items = list(ITEMS)
    with caplog.at_level(logging.DEBUG, logger=module.logger.name):
        result = Connection()._paginate_items(items, pagination)
    assert result == expected and (result is items) == (expected is ITEMS)
    levels = [record.levelno for record in caplog.records if record.name == module.logger.name]
    assert levels == ([logging.WARNING] if isinstance(pagination, CursorPaginator) else [])
