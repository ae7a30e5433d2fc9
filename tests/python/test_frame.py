"""Module and class frame: imported names, SQL constants, operator map, member signatures, argument
checking and the constructor. No database needed."""

from __future__ import annotations

import builtins
import copy
import functools
import importlib
import inspect
import itertools
import logging
import pickle
import subprocess
import sys
from typing import Any

import psycopg2
import pytest
from hypothesis import assume, given, settings, strategies as st

from velmor_data.connections.implementations import postgresql_history as module
from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.connections.historical_base import HistoricalConnectionBase
from velmor_data.connections.implementations.mixins.sql_history_conection_mixin import SqlHistoryConnectionMixin
from velmor_data.connections.implementations.mixins.sqlite_statements_mixin import NoValue, SqlOperatorTemplate
from velmor_data.table_schemas.base import TableSchemaServiceBase
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService
from velmor_utils.models.data_models.address import Address
from velmor_utils.query.enums import Lookup

Connection = module.PostgresHistoricalConnection
MODULE_NAME = "velmor_data.connections.implementations.postgresql_history"


# The class written out in plain Python: what the compiled class must look like to the runtime.
class PostgresHistoricalConnection(SqlHistoryConnectionMixin, HistoricalConnectionBase):
    TABLE_SEPARATOR = '"'
    COLUMN_SEPARATOR = '"'
    SQL_OPERATOR_MAP = module.sql_operator_map

    def _savepoint_name(self) -> str: ...
    def __init__(self, *, is_revert_supported: bool = True) -> None: ...
    @property
    def table_schema_manager(self) -> TableSchemaServiceBase: ...
    def _default_envs(self) -> dict[str, Any]: ...
    def connect(self, dsn: str | None = None, **kwargs: Any) -> None:
        """
        Connects to the PostgreSQL database. Raises an VelmorConnectionError if the connection is already established.
        :param dsn: the path to the database
        :type dsn: str | None
        :param kwargs: the connection parameters
        :type kwargs: Any

        :return: None
        """
    def disconnect(self) -> None: ...
    def _describe_table(self, table_name: str) -> dict[str, str]: ...
    def _build_insert_statement(self, table_name: str, data: dict[str, Any]) -> tuple[str, tuple[Any, ...]]: ...
    def _build_delete_statement(self, table_name: str, data: dict[str, Any]) -> tuple[str, tuple[Any, ...]]: ...
    def process_value_before_insert(self, value: Any, data_type: str) -> Any: ...
    def put(self, address: Address, data: dict[str, Any]) -> None: ...
    def begin(self) -> None: ...
    def commit(self) -> None: ...
    def revert(self) -> None: ...
    def rollback(self) -> None: ...
    def on_transaction_complete(self) -> None:
        """Transaction is completed successfully. Clear the revert data."""
    def query(self, address: Address, query_specifier: QuerySpecifier | None = None, conditions: Q | None = None,
              pagination: NumberPaginator | CursorPaginator | None = None, order_by: list[OrderBy] | None = None
              ) -> list[dict[str, Any]]: ...
    @staticmethod
    def _paginate_items(items: list[dict[str, Any]], pagination: NumberPaginator | CursorPaginator | None
                        ) -> list[dict[str, Any]]: ...
    def execute(self, query: str, *args: Any) -> psycopg2._psycopg.cursor: ...
    def count(self, address: Address, conditions: Q | None = None) -> int: ...
    def prepare_connection(self) -> None: ...
    def _add_revert_data(self, address: Address, data: dict[str, Any]) -> None: ...
    def _delete(self, address: Address) -> None: ...
    def _query(self, table_name: str, query_specifier: QuerySpecifier | None, conditions: Q | None,
               pagination: NumberPaginator | CursorPaginator | None, order_by: list[OrderBy] | None
               ) -> list[dict[str, Any]]: ...
    def _nested_filter_statement(self, field_name: str, nested_fields: str, sql_operator_template: SqlOperatorTemplate,
                                 value: Any, value_type: Any, *, is_internal_table: bool = False,
                                 use_internal_meta_tables: bool = False) -> tuple[str, Any]: ...
    @staticmethod
    def _resolve_nested_field_name(field_name: str, nested_fields: str, *, value_type: Any = str,
                                   is_internal_table: bool = False, use_internal_meta_tables: bool = False) -> str: ...
    def _select_with_internal_meta_statement(self, table_name: str, select_only: str, conditions: Q | None = None,
                                             pagination: NumberPaginator | CursorPaginator | None = None,
                                             order_by: list[OrderBy] | None = None) -> tuple[str, list[Any]]: ...
    def _build_group_by_statement(self, order_by: list[OrderBy] | None, *, is_internal_table: bool = False,
                                  use_internal_meta_tables: bool = False) -> str: ...
    def _build_select_statement(self, table_name: str, query_specifier: QuerySpecifier | None = None,
                                conditions: Q | None = None, pagination: NumberPaginator | CursorPaginator | None = None,
                                order_by: list[OrderBy] | None = None, *, use_internal_meta_tables: bool = False
                                ) -> tuple[str, list[Any]]: ...


Reference = PostgresHistoricalConnection
del PostgresHistoricalConnection
MEMBERS = [name for name, value in vars(Reference).items() if callable(value) or isinstance(value, property)]
FUNCTION_ATTRIBUTES = ("__name__", "__qualname__", "__doc__", "__annotations__", "__defaults__", "__kwdefaults__",
                       "__type_params__")  # from 3.12
MISSING = object()


def function_of(cls, name):
    raw = vars(cls)[name]
    return raw.fget if isinstance(raw, property) else raw.__func__ if isinstance(raw, staticmethod) else raw


def wrapper_of(raw):
    return type(raw) if isinstance(raw, (staticmethod, classmethod, property)) else None


def type_error_text(call):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    return str(raised.value)


def test_class_frame():
    assert len(MEMBERS) == 29 and list(vars(Connection)) == list(vars(Reference))
    assert (Connection.__qualname__, Connection.__module__) == ("PostgresHistoricalConnection", MODULE_NAME)
    assert Connection.__bases__ == (SqlHistoryConnectionMixin, HistoricalConnectionBase)
    assert Connection.__doc__ is None and type(Connection) is type(Reference)
    assert Connection.TABLE_SEPARATOR == Connection.COLUMN_SEPARATOR == '"'
    assert Connection.SQL_OPERATOR_MAP is module.sql_operator_map


@pytest.mark.parametrize("name", MEMBERS)
def test_member_matches_its_plain_definition(name):
    compiled, plain = function_of(Connection, name), function_of(Reference, name)
    assert wrapper_of(vars(Connection)[name]) is wrapper_of(vars(Reference)[name])
    signature, expected = inspect.signature(compiled), inspect.signature(plain)
    assert str(signature) == str(expected) and signature.return_annotation == expected.return_annotation
    assert [(p.name, p.kind, p.default, p.annotation) for p in signature.parameters.values()] == [
        (p.name, p.kind, p.default, p.annotation) for p in expected.parameters.values()]
    assert [getattr(compiled, a, MISSING) for a in FUNCTION_ATTRIBUTES] == [
        getattr(plain, a, MISSING) for a in FUNCTION_ATTRIBUTES]
    assert compiled.__module__ == MODULE_NAME
    if sys.version_info >= (3, 14):  # annotations are also read through __annotate__, and copied by functools.wraps
        import annotationlib
        annotate, expected = compiled.__annotate__, plain.__annotate__
        assert annotate is compiled.__annotate__ and annotate(annotationlib.Format.VALUE) == expected(1)
        for form in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING):
            assert annotationlib.call_annotate_function(annotate, form) == annotationlib.call_annotate_function(expected, form)
            assert annotationlib.get_annotations(compiled, format=form) == annotationlib.get_annotations(plain, format=form)
        assert functools.wraps(compiled)(lambda: 0).__annotations__ == functools.wraps(plain)(lambda: 0).__annotations__
        assert [getattr(annotate, a) for a in FUNCTION_ATTRIBUTES] == [getattr(expected, a) for a in FUNCTION_ATTRIBUTES]
        assert str(inspect.signature(annotate)) == str(inspect.signature(expected))
        for args, kwargs in [((), {}), ((1, 2), {}), ((), {"format": 1}), ((), {"fmt": 1}), ((), {"fmt": 1, "format": 1})]:
            assert type_error_text(lambda: annotate(*args, **kwargs)) == type_error_text(lambda: expected(*args, **kwargs))


OPERATOR_FUNCTIONS = [f for entry in module.sql_operator_map.values() for f in (entry.template, entry.value_modifier)
                      if callable(f)]


def plain_lambda(_value):
    """A module-level lambda written in Python, for comparison."""


plain_lambda.__name__ = plain_lambda.__qualname__ = "<lambda>"


def pickled(function, protocol):
    try:
        return "itself" if pickle.loads(pickle.dumps(function, protocol)) is function else "another"
    except pickle.PicklingError as error:
        return str(error).replace(repr(function), "<function>").replace(function.__module__, "<module>")


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", MEMBERS + ["<lambda>"])
def test_members_copy_pickle_and_take_attributes_as_functions_do(name, protocol, monkeypatch):
    # The plain class is found where pickle looks for it, as the compiled one is in its module.
    monkeypatch.setattr(sys.modules[__name__], "PostgresHistoricalConnection", Reference, raising=False)
    pairs = ([(function_of(Connection, name), function_of(Reference, name))] if name in MEMBERS
             else [(function, plain_lambda) for function in OPERATOR_FUNCTIONS])
    for compiled, plain in pairs:
        assert copy.copy(compiled) is compiled and copy.deepcopy({"f": [compiled]})["f"][0] is compiled
        assert pickled(compiled, protocol) == pickled(plain, protocol)
        docs = compiled.__doc__, plain.__doc__
        try:
            for function in (compiled, plain):
                function.note, function.__doc__ = name, "changed"
            assert (compiled.note, compiled.__doc__, compiled.__dict__) == (plain.note, plain.__doc__, plain.__dict__)
        finally:
            del compiled.note, plain.note
            compiled.__doc__, plain.__doc__ = docs
        assert compiled.__dict__ == {}


def test_the_schema_service_is_imported_through_the_import_hook(monkeypatch):
    seen, standard = [], builtins.__import__

    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, fromlist, level))
        return standard(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", hook)
    assert type(Connection().table_schema_manager) is PostgresHistoricalTableSchemaService
    assert seen == [("velmor_data.table_schemas.implementations.postgresql_history",
                     ("PostgresHistoricalTableSchemaService",), 0)]


def test_static_methods_take_no_instance():
    for name in ("_paginate_items", "_resolve_nested_field_name"):
        assert getattr(Connection, name) is vars(Connection)[name].__func__ is getattr(Connection(), name)
    items = [{"a": 1}]
    assert Connection._paginate_items(items, None) is items and Connection()._paginate_items(items, None) is items
    assert Connection._resolve_nested_field_name("data", "a") == Connection()._resolve_nested_field_name(
        "data", "a") == "trim('\"' FROM cast(t1.\"data\"::json->'a' as text))"


def test_table_schema_manager_is_a_new_read_only_service_each_time():
    instance, plain = Connection(), Reference()
    first, second = instance.table_schema_manager, instance.table_schema_manager
    assert first is not second and type(first) is type(second) is PostgresHistoricalTableSchemaService
    assert first.connection is instance and second.connection is instance
    for action in (lambda o: setattr(o, "table_schema_manager", first), lambda o: delattr(o, "table_schema_manager")):
        with pytest.raises(AttributeError) as compiled_error:
            action(instance)
        with pytest.raises(AttributeError) as plain_error:
            action(plain)
        assert str(compiled_error.value) == str(plain_error.value)


WRONG_CALLS = [
    ("__init__", (False,), {}), ("__init__", (), {"revert": True}), ("connect", ("a", "b"), {}),
    ("connect", ("a",), {"dsn": "b"}), ("begin", (1,), {}), ("put", (), {}), ("put", (None,), {}),
    ("query", (), {"address": None, "bogus": 1}), ("process_value_before_insert", (1,), {"value": 2}),
    ("execute", (), {}), ("execute", (), {"query": "SELECT 1", "args": (1,)}), ("_describe_table", (), {}),
    ("_paginate_items", ([],), {}), ("_paginate_items", ([], None), {"self": 1}), ("_query", ("t",), {}),
    ("_nested_filter_statement", ("data", "a", None, 1, int, True), {}),
    ("_resolve_nested_field_name", ("data", "a", int), {}),
    ("_resolve_nested_field_name", (), {"field_name": "data", "nested_fields": "a", "cast": int}),
    ("_build_group_by_statement", (), {"is_internal_table": True}),
    ("_build_select_statement", ("t", None, None, None, None, True), {}),
    ("query", (None,), {"conditons": 1}), ("_resolve_nested_field_name", ("data", "a"), {"Value_Type": int}),
]


@pytest.mark.parametrize("name, args, kwargs", WRONG_CALLS)
def test_wrong_calls_fail_like_plain_python(name, args, kwargs):
    compiled, plain = (Connection, Reference) if name == "__init__" else (
        getattr(Connection(), name), getattr(Reference(), name))
    assert type_error_text(lambda: compiled(*args, **kwargs)) == type_error_text(lambda: plain(*args, **kwargs))


NAMED = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
STRICT = [name for name in MEMBERS  # members without **kwargs refuse an unknown keyword
          if inspect.Parameter.VAR_KEYWORD not in [p.kind for p in inspect.signature(function_of(Reference, name)).parameters.values()]]


@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_misspelt_keywords_fail_like_plain_python(data):
    # Whatever the interpreter says of an unknown keyword (from 3.13 with the closest parameter) is said alike.
    name = data.draw(st.sampled_from(STRICT))
    compiled, plain = function_of(Connection, name), function_of(Reference, name)
    named = [p.name for p in inspect.signature(plain).parameters.values() if p.kind in NAMED]
    start = data.draw(st.sampled_from(named + ["args", "kwargs", "x" * 41]))
    edits = data.draw(st.lists(st.tuples(st.integers(0, 50), st.sampled_from("aeSs_XZ9\u00e9-")), max_size=3))
    keyword = start
    for position, char in edits:
        at = position % (len(keyword) + 1)
        keyword = keyword[:at] + char + keyword[at + 1:] if position % 2 else keyword[:at] + char + keyword[at:]
    if data.draw(st.booleans()):
        keyword = keyword.swapcase()
    assume(keyword not in named)
    assert type_error_text(lambda: compiled(**{keyword: 1})) == type_error_text(lambda: plain(**{keyword: 1}))


def test_a_keyword_named_like_the_keywords_parameter_is_a_connection_keyword():
    with pytest.raises(psycopg2.ProgrammingError) as raised:  # the driver refuses it, not the call
        Connection().connect(kwargs="x")
    assert str(raised.value) == 'invalid dsn: invalid connection option "kwargs"\n'


TextChild, DictChild, ListChild = (type(base.__name__.title() + "Child", (base,), {}) for base in (str, dict, list))
WRONG_VALUES = {str: [None, b"t", TextChild("t")], dict: [None, [("a", 1)], DictChild()], list: [None, (), ListChild()]}
ADDRESS = Address(class_name="Thing", object_id="o", object_version="1")
TYPE_CHECKED = [  # member, valid positional arguments, the parameters whose exact type is checked
    ("_describe_table", ("t",), "table_name"), ("_build_insert_statement", ("t", {}), "table_name data"),
    ("_build_delete_statement", ("t", {}), "table_name data"), ("put", (ADDRESS, {}), "data"),
    ("process_value_before_insert", (1, "integer"), "data_type"), ("_add_revert_data", (ADDRESS, {}), "data"),
    ("execute", ("SELECT 1",), "query"), ("_query", ("t", None, None, None, None), "table_name"),
    ("_select_with_internal_meta_statement", ("t", "*"), "table_name select_only"),
    ("_build_select_statement", ("t",), "table_name"), ("_paginate_items", ([], None), "items"),
    ("_nested_filter_statement", ("data", "a", module.sql_operator_map[Lookup.EQ], 1, int), "field_name nested_fields"),
    ("_resolve_nested_field_name", ("data", "a"), "field_name nested_fields"),
]


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("name, args, checked", TYPE_CHECKED)
def test_arguments_of_the_wrong_exact_type_are_refused_first(name, args, checked, by_keyword):
    # A new instance is disconnected and has no open transaction level: any later step would fail otherwise.
    member = getattr(Connection(), name)
    names = list(inspect.signature(member).parameters)
    for parameter in checked.split():
        index, required = names.index(parameter), type(args[names.index(parameter)])
        for wrong in WRONG_VALUES[required]:
            values = [*args[:index], wrong, *args[index + 1:]]
            keywords = dict(zip(names[index:], values[index:])) if by_keyword else {}
            message = type_error_text(lambda: member(*(values[:index] if by_keyword else values), **keywords))
            assert message == (f"Argument '{parameter}' has incorrect type "
                               f"(expected {required.__name__}, got {type(wrong).__name__})")


def test_describe_table_on_a_disconnected_instance_with_a_valid_name():
    with pytest.raises(VelmorConnectionError) as raised:
        Connection()._describe_table("t")
    assert str(raised.value) == "Connection not established"


IMPORTED = [  # (source module, names taken from it one by one); a module alone is bound itself
    ("json",), ("logging",), ("os",), ("random",), ("string",), ("copy", "deepcopy"), ("functools", "cache"),
    ("typing", "Any"), ("psycopg2",), ("velmor_utils.models.data_models.address", "Address"),
    ("velmor_utils.models.enums", "Versions"), ("velmor_utils.query.data_models.order_by", "OrderBy"),
    ("velmor_utils.query.data_models.paginator", "CursorPaginator", "NumberPaginator"),
    ("velmor_utils.query.data_models.query_specifier", "QuerySpecifier"), ("velmor_utils.query.enums", "Lookup"),
    ("velmor_utils.query.utils", "Q"), ("velmor_data.connections.errors", "VelmorConnectionError"),
    ("velmor_data.connections.historical_base", "HistoricalConnectionBase"),
    ("velmor_data.connections.implementations.mixins.sql_history_conection_mixin", "SqlHistoryConnectionMixin"),
    ("velmor_data.connections.implementations.mixins.sqlite_statements_mixin", "ADDRESS_FIELD", "METADATA_FIELD",
     "METADATA_TABLE_ALIAS", "MODEL_TABLE_ALIAS", "NoValue", "SqlOperatorTemplate"),
    ("velmor_data.connections.utils", "sort_items"), ("velmor_data.table_schemas.base", "TableSchemaServiceBase"),
    ("velmor_data.table_schemas.constants", "PRIMARY_PARTITION_KEY", "SECONDARY_PARTITION_KEY"),
]
BINDINGS = [(source, name) for source, *names in IMPORTED for name in names or [None]]
DEFINED = ["logger", "METADATA_SELECT_STATEMENT", "METADATA_SELECT_FIELD", "sql_operator_map", "PostgresHistoricalConnection"]


def test_module_names_in_order_and_from_their_sources():
    assert [name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))] == [
        name or source for source, name in BINDINGS] + DEFINED
    for source, name in BINDINGS:
        origin = importlib.import_module(source)
        assert getattr(module, name or source) is (getattr(origin, name) if name else origin), name or source
    assert module.logger is logging.getLogger(MODULE_NAME) and module.logger.name == MODULE_NAME
    assert module.__name__ == MODULE_NAME and importlib.import_module(MODULE_NAME) is module
    from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection, sql_operator_map
    assert PostgresHistoricalConnection is Connection and sql_operator_map is module.sql_operator_map


METADATA_SELECT_STATEMENT = """
SELECT
  _m.*,
  trim('"' FROM (
    SELECT cast(_m2.object_version as text)
    FROM metadata as _m2
    WHERE
        _m.object_version = _m2.prior_version
        AND
        _m.object_id = _m2.object_id
    LIMIT 1
  )::text) as next_version
FROM metadata as _m
"""
METADATA_SELECT_FIELD = """
json_build_object(
    'next_version', json_agg(t2."next_version")->0,
    'address', json_agg(to_json(t2.address))->0,
    'object_id', json_agg(t2.object_id)->0,
    'object_version', json_agg(t2.object_version)->0,
    'prior_version', json_agg(t2.prior_version)->0,
    'class_schema_reference', json_agg(to_json(t2.class_schema_reference))->0,
    'class_schema_type', json_agg(t2.class_schema_type)->0,
    'is_deleted', json_agg(t2.is_deleted)->0,
    'created_at', json_agg(t2.created_at)->0,
    'updated_at', json_agg(t2.updated_at)->0,
    'transaction', json_agg(to_json(t2."transaction"))->0
) AS _metadata
"""


def test_sql_constants():
    assert type(module.METADATA_SELECT_STATEMENT) is str and len(module.METADATA_SELECT_STATEMENT) == 267
    assert module.METADATA_SELECT_STATEMENT == METADATA_SELECT_STATEMENT
    assert type(module.METADATA_SELECT_FIELD) is str and module.METADATA_SELECT_FIELD == METADATA_SELECT_FIELD


@pytest.mark.parametrize("lookup, value, statement, parameter", [
    ("eq", True, "F IS %s", True), ("eq", False, "F IS %s", False), ("eq", 1, "F = %s", 1), ("eq", None, "F = %s", None),
    ("eq", "a", "F = %s", "a"), ("neq", False, "F IS NOT %s", False), ("neq", 0, "F != %s", 0), ("neq", None, "F != %s", None),
    ("gt", 3, "F > %s", 3), ("gte", "b", "F >= %s", "b"), ("lt", 2.5, "F < %s", 2.5), ("lte", None, "F <= %s", None),
    ("in", (1, 2), "F IN %s", (1, 2)), ("in", [1, 2], "F IN %s", [1, 2]),
    ("contains", "a%b_C", "F LIKE %s", "%a%b_C%"), ("contains", 5, "F LIKE %s", "%5%"),
    ("startswith", "aB", "F LIKE %s", "aB%"), ("endswith", "aB", "F LIKE %s", "%aB"),
    ("icontains", "ab", "UPPER(F) LIKE %s", "%AB%"), ("icontains", 5, "UPPER(F) LIKE %s", "%5%"),
    ("icontains", "straße", "UPPER(F) LIKE %s", "%STRASSE%"), ("icontains", None, "UPPER(F) LIKE %s", "%NONE%"),
    ("icontains", type("Text", (), {"__str__": lambda _: "xY"})(), "UPPER(F) LIKE %s", "%XY%"), ("icontains", "a_%", "UPPER(F) LIKE %s", "%A_%%"),
    ("istartswith", "ab", "UPPER(F) LIKE %s", "AB%"), ("iendswith", "ab", "UPPER(F) LIKE %s", "%AB"),
    ("istartswith", True, "UPPER(F) LIKE %s", "TRUE%"), ("iendswith", "%_", "UPPER(F) LIKE %s", "%%_"),
    ("isnull", True, "F IS NULL", NoValue), ("isnull", "x", "F IS NULL", NoValue), ("isnull", 2, "F IS NULL", NoValue),
    ("isnull", False, "F IS NOT NULL", NoValue), ("isnull", None, "F IS NOT NULL", NoValue),
    ("isnull", 0, "F IS NOT NULL", NoValue), ("isnull", "", "F IS NOT NULL", NoValue),
])
def test_operator_entry(lookup, value, statement, parameter):
    entry = module.sql_operator_map[Lookup(lookup)]
    assert entry.build_statement("F", value, "", '"') == statement
    built = entry.build_value(value)
    assert built == parameter and type(built) is type(parameter)
    assert lookup != "in" or built is value


def test_operator_map_shape_and_callables():
    order = "eq neq gt gte lt lte in contains icontains startswith istartswith endswith iendswith isnull".split()
    assert list(module.sql_operator_map) == [Lookup(name) for name in order]
    assert all(type(entry) is SqlOperatorTemplate for entry in module.sql_operator_map.values())
    functions = [f for entry in module.sql_operator_map.values() for f in (entry.template, entry.value_modifier) if callable(f)]
    assert len(functions) == 7
    for function, arguments in itertools.product(functions, [(), (1, 2), ("a", "b", "c")]):
        with pytest.raises(TypeError):
            function(*arguments)
    for lookup in (Lookup.ICONTAINS, Lookup.ISTARTSWITH, Lookup.IENDSWITH):  # a failing string conversion propagates
        with pytest.raises(ZeroDivisionError):
            module.sql_operator_map[lookup].build_value(type("Unprintable", (), {"__str__": lambda _: 1 // 0})())


def test_constructor_state(monkeypatch):
    calls = []  # the initialisers of the bases are not run
    for base in (SqlHistoryConnectionMixin, HistoricalConnectionBase):
        monkeypatch.setattr(base, "__init__", lambda self, *a, **k: calls.append(type(self)), raising=False)
    instance = Connection()
    assert list(vars(instance)) == ["_is_revert_enabled", "_revert_data", "_savepoints", "_connection"]
    # From 3.13 a class records the attributes its methods assign on self: no more than __init__ sets.
    assert vars(Connection).get("__static_attributes__", tuple(sorted(vars(instance)))) == tuple(sorted(vars(instance)))
    assert instance._is_revert_enabled is True and instance._revert_data == [] == instance._savepoints
    assert type(instance._revert_data) is list and type(instance._savepoints) is list and instance._connection is None
    other = Connection()
    assert len({id(instance._revert_data), id(instance._savepoints), id(other._revert_data), id(other._savepoints)}) == 4
    for value in (False, object(), 0, None, "yes"):
        assert Connection(is_revert_supported=value)._is_revert_enabled is value
    assert calls == []


@pytest.mark.parametrize("broken, error", [
    ("sys.modules['velmor_data.connections.utils'] = types.ModuleType('velmor_data.connections.utils')",
     "ImportError: cannot import name 'sort_items' from 'velmor_data.connections.utils'"),
    ("sys.modules['velmor_utils.query.enums'] = None",
     "ModuleNotFoundError: import of velmor_utils.query.enums halted; None in sys.modules"),
])
def test_a_failing_import_reaches_the_importer_unchanged(broken, error):
    script = (f"import sys, types\n{broken}\n"
              "try:\n    import velmor_data.connections.implementations.postgresql_history\n"
              "except BaseException as caught:\n"
              "    print(f'{type(caught).__name__}: {caught}', caught.__cause__)\n")
    shown = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert shown.stdout == f"{error} None\n"
