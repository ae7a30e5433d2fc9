"""Tests of the pure-Python host package stand-in (no database needed)."""

import pytest

from velmor_data.connections.implementations.mixins.sql_history_conection_mixin import SqlHistoryConnectionMixin
from velmor_data.connections.implementations.mixins.sqlite_statements_mixin import NoValue, SqlOperatorTemplate
from velmor_data.connections.utils import sort_items
from velmor_utils.models.data_models.address import Address
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.enums import Lookup, OrderDirection
from velmor_utils.query.utils import Q


@pytest.mark.parametrize(
    "path, expected",
    [
        ("data", ("data", (), Lookup.EQ)),
        ("data__gt", ("data", (), Lookup.GT)),
        ("data__a", ("data", ("a",), Lookup.EQ)),
        ("data__a__b__icontains", ("data", ("a", "b"), Lookup.ICONTAINS)),
        ("data__eq__x", ("data", ("eq", "x"), Lookup.EQ)),  # only a trailing part is an operator
        ("isnull", ("isnull", (), Lookup.EQ)),  # a lone name is always a field
        ("_address__object_version", ("_address", ("object_version",), Lookup.EQ)),
        ("data__a__1__GT", ("data", ("a", "1", "GT"), Lookup.EQ)),  # operators are lower case
    ],
)
def test_q_leaf_parsing(path, expected):
    (leaf,) = Q(**{path: 7}).children
    assert (leaf.field, leaf.keys, leaf.lookup, leaf.value) == (*expected, 7)


def test_q_combination_structure_and_truth():
    a, b = Q(x=1, y__lt=2), Q(z=3)
    assert [leaf.field for leaf in a.children] == ["x", "y"]
    assert not Q() and not ~Q() and a

    either = a | b
    assert (either.connector, either.negated, either.children) == ("OR", False, [a, b])
    negated = ~a
    assert negated.negated and not a.negated and negated.children == a.children
    assert (~negated).negated is False
    # An empty side adds nothing to a combination.
    assert (Q() & a) == a and (b | Q()) == b and not (Q() & Q())


@pytest.mark.parametrize(
    "bad",
    ['a"b', "a b", "a;drop", "a____b", "a__", "__a", "1a", "", "é", "a__ké", "a__b c", "a\n", "a__b'c"],
)
def test_unsafe_names_are_refused_everywhere(bad):
    with pytest.raises(ValueError, match="Invalid"):
        Q(**{bad: 1})
    with pytest.raises(ValueError, match="Invalid"):
        OrderBy(bad)
    with pytest.raises(ValueError, match="Invalid"):
        QuerySpecifier(only=[bad])


@pytest.mark.parametrize("good", ["_address__object_id", "data__1__b", "Name_2", "a___b"])
def test_safe_names_are_accepted(good):
    assert Q(**{good: 1}) and OrderBy(good).field_name == good


def test_query_specifier_shapes():
    specifier = QuerySpecifier(only=["b", "a", "b"], distinct=["a"])
    assert specifier.only == ["b", "a", "b"] and specifier.distinct == {"a"}
    assert QuerySpecifier()  # present even when it names no columns
    with pytest.raises(TypeError):
        QuerySpecifier(only="name")
    with pytest.raises(ValueError):
        QuerySpecifier(only=["a__b"])  # a column, not a path


ROWS = [
    {"id": 1, "n": 2, "meta": {"at": "b"}},
    {"id": 2, "n": None, "meta": {"at": "a"}},
    {"id": 3, "n": 1, "meta": {}},
    {"id": 4, "n": 2, "meta": None},
    {"id": 5, "n": 1, "meta": {"at": "a"}},
]


@pytest.mark.parametrize(
    "order_by, expected_ids",
    [
        ([OrderBy("n")], [3, 5, 1, 4, 2]),  # stable, None last ascending
        ([OrderBy("n", OrderDirection.DESC)], [2, 1, 4, 3, 5]),  # None first descending, still stable
        ([OrderBy("n"), OrderBy("id", "desc")], [5, 3, 4, 1, 2]),
        ([OrderBy("meta__at")], [2, 5, 1, 3, 4]),  # missing key and non-mapping parent read as None
        ([OrderBy("meta__at", "desc"), OrderBy("n")], [3, 4, 1, 5, 2]),
        ([OrderBy("absent")], [1, 2, 3, 4, 5]),
    ],
)
def test_sort_items(order_by, expected_ids):
    rows = list(ROWS)
    result = sort_items(rows, order_by)
    assert [row["id"] for row in result] == expected_ids
    assert rows == ROWS  # the input list is left alone


def test_sort_items_without_order_and_with_mixed_types():
    assert sort_items(ROWS, None) is ROWS and sort_items(ROWS, []) is ROWS
    mixed = [{"v": "b"}, {"v": 2}, {"v": {"k": 1}}, {"v": None}, {"v": 1.5}, {"v": {"k": 0}}, {"v": "a"}]
    assert [row["v"] for row in sort_items(mixed, [OrderBy("v")])] == [{"k": 0}, {"k": 1}, 1.5, 2, "a", "b", None]


@pytest.mark.parametrize(
    "kwargs, value, statement, param",
    [
        ({"template": "{field_name} = %s"}, 3, "x->'{a}' = %s", 3),
        ({"template": "{field_name}::jsonb <> '{}'::jsonb"}, None, "x->'{a}'::jsonb <> '{}'::jsonb", None),
        ({"template": lambda v: "{field_name} IS %s" if v is True else "{field_name} = %s"}, True, "x->'{a}' IS %s", True),
        ({"template": "UPPER({field_name}) LIKE %s", "value_template": "%{value}%", "value_modifier": lambda v: str(v).upper()}, "a{b}", "UPPER(x->'{a}') LIKE %s", "%A{B}%"),
        ({"template": "{field_name} LIKE %s", "value_template": "{value}%"}, 5, "x->'{a}' LIKE %s", "5%"),
        ({"template": lambda v: "{field_name} IS NULL", "value_template": "%{value}", "value_modifier": lambda _: NoValue}, True, "x->'{a}' IS NULL", NoValue),
    ],
)
def test_operator_template(kwargs, value, statement, param):
    template = SqlOperatorTemplate(**kwargs)
    # Braces in templates and expressions are SQL text, not format fields.
    assert template.build_statement("x->'{a}'", value, "", '"') == statement
    result = template.build_value(value)
    assert result is NoValue if param is NoValue else result == param


def test_operator_template_passes_value_through_unchanged():
    value = [1, 2]
    assert SqlOperatorTemplate(template="{field_name} IN %s").build_value(value) is value


class _Host(SqlHistoryConnectionMixin):
    COLUMN_SEPARATOR = '"'
    SQL_OPERATOR_MAP = {
        Lookup.EQ: SqlOperatorTemplate(template="{field_name} = %s"),
        Lookup.IN: SqlOperatorTemplate(template="{field_name} IN %s"),
        Lookup.ISNULL: SqlOperatorTemplate(template="{field_name} IS NULL", value_modifier=lambda _: NoValue),
    }

    @staticmethod
    def _resolve_nested_field_name(field, rest, *, value_type=str, is_internal_table=False, use_internal_meta_tables=False):
        return "" if field == "skip" else f"{field}->{rest}"

    def _nested_filter_statement(self, field, rest, template, value, value_type, *, is_internal_table=False, use_internal_meta_tables=False):
        expression = self._resolve_nested_field_name(field, rest)
        if not expression:
            return "", None
        return template.build_statement(expression, value, "", '"'), template.build_value(value)


@pytest.mark.parametrize(
    "conditions, internal, expected",
    [
        (Q(), False, ("", [])),
        (Q(a=1, b__isnull=True), False, ('(t1."a" = %s AND t1."b" IS NULL)', [1])),
        (Q(a=1) | ~Q(d__k__l=2, skip__x=3), True, ('(("a" = %s) OR NOT (d->k__l = %s))', [1, 2])),
        (Q(a=1) & ~Q(skip__x=3), False, ('((t1."a" = %s))', [1])),  # a group left empty drops out
        (Q(a__in=[1, 2], b__in=set()), False, ('(t1."a" IN %s AND FALSE)', [(1, 2)])),
    ],
)
def test_condition_statement(conditions, internal, expected):
    assert _Host()._get_conditions_statement(conditions, is_internal_table=internal) == expected


def test_order_by_statement():
    host = _Host()
    order = [OrderBy("a", "desc"), OrderBy("skip__x"), OrderBy("d__k__l")]
    assert host._build_order_by_statement(order) == ' ORDER BY t1."a" DESC, d->k__l ASC'
    assert host._build_order_by_statement(order[:1], is_internal_table=True) == ' ORDER BY "a" DESC'
    assert host._build_order_by_statement(None) == "" and host._build_order_by_statement([OrderBy("skip__x")]) == ""


def test_versions_and_address_copy():
    assert Versions.LATEST == "latest" and Versions("all") is Versions.ALL
    assert format(Versions.LATEST, "") == "latest" and f"{Versions.ALL}" == "all"
    address = Address("Person", "o1", Versions.LATEST, None)
    copy = address.model_copy()
    copy.class_version, copy.object_version = 3, "v2"
    assert copy is not address and (address.class_version, address.object_version) == (None, Versions.LATEST)
