"""Statement builders shared by the SQL history connections.

The host class supplies ``SQL_OPERATOR_MAP`` (Lookup -> SqlOperatorTemplate),
``COLUMN_SEPARATOR``, ``_nested_filter_statement``,
``_resolve_nested_field_name`` and ``_select_with_internal_meta_statement``.
None of these builders keeps state or touches the database.
"""

from collections.abc import Callable
from typing import Any

from psycopg2.extras import Json

from velmor_data.connections.implementations.mixins.sqlite_statements_mixin import (
    MODEL_TABLE_ALIAS,
    NoValue,
    SqlOperatorTemplate,
)
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import CursorPaginator, NumberPaginator
from velmor_utils.query.enums import Lookup, OrderDirection
from velmor_utils.query.naming import PATH_SEPARATOR
from velmor_utils.query.utils import Leaf, Q

_INTERNAL_TABLE_SUFFIXES = ("metadata", "reference")


def _quote_identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class SqlHistoryConnectionMixin:
    # Supplied by the connection class that mixes this in.
    SQL_OPERATOR_MAP: dict[Lookup, SqlOperatorTemplate]
    COLUMN_SEPARATOR: str
    _nested_filter_statement: Callable[..., tuple[str, Any]]
    _resolve_nested_field_name: Callable[..., str]
    _select_with_internal_meta_statement: Callable[..., tuple[str, list[Any]]]

    def _column_expression(self, field_name: str, is_internal_table: bool) -> str:
        quoted = _quote_identifier(field_name)
        # Object tables are always read under the model alias so that plain
        # columns stay unambiguous once the metadata source is joined in.
        return quoted if is_internal_table else MODEL_TABLE_ALIAS + "." + quoted

    def _get_conditions_statement(
        self,
        conditions: Q | None,
        *,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
    ) -> tuple[str, list[Any]]:
        if not conditions:
            return "", []
        params: list[Any] = []
        text = self._condition_node(conditions, params, is_internal_table, use_internal_meta_tables)
        return text, params

    def _condition_node(self, node: Q, params: list[Any], is_internal_table: bool, use_internal_meta_tables: bool) -> str:
        parts = []
        for child in node.children:
            if isinstance(child, Q):
                text = self._condition_node(child, params, is_internal_table, use_internal_meta_tables)
            else:
                text = self._condition_leaf(child, params, is_internal_table, use_internal_meta_tables)
            if text:
                parts.append(text)
        # A group whose every condition dropped out (e.g. "all versions")
        # constrains nothing, negated or not.
        if not parts:
            return ""
        text = "(" + f" {node.connector} ".join(parts) + ")"
        return "NOT " + text if node.negated else text

    def _condition_leaf(self, leaf: Leaf, params: list[Any], is_internal_table: bool, use_internal_meta_tables: bool) -> str:
        field, keys, lookup, value = leaf
        template = self.SQL_OPERATOR_MAP[lookup]
        if lookup is Lookup.IN and isinstance(value, (list, set, frozenset)):
            # The driver expands only tuples into "(a, b, ...)".
            value = tuple(value)
        if keys:
            text, param = self._nested_filter_statement(
                field,
                PATH_SEPARATOR.join(keys),
                template,
                value,
                type(value),
                is_internal_table=is_internal_table,
                use_internal_meta_tables=use_internal_meta_tables,
            )
            if text == "":
                return ""
        else:
            text = template.build_statement(self._column_expression(field, is_internal_table), value, "", self.COLUMN_SEPARATOR)
            param = template.build_value(value)
        if lookup is Lookup.IN and isinstance(value, tuple) and not value:
            # "IN ()" is a syntax error; an empty choice matches nothing.
            return "FALSE"
        if param is not NoValue:
            params.append(param)
        return text

    def _build_order_by_statement(
        self,
        order_by: list[OrderBy] | None,
        *,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
    ) -> str:
        if not order_by:
            return ""
        terms = []
        for item in order_by:
            name = item.field_name
            if PATH_SEPARATOR in name:
                field, rest = name.split(PATH_SEPARATOR, 1)
                expression = self._resolve_nested_field_name(
                    field,
                    rest,
                    is_internal_table=is_internal_table,
                    use_internal_meta_tables=use_internal_meta_tables,
                )
                if not expression:
                    # Not addressable in this mode (e.g. the address version
                    # without the metadata join); the in-memory sort still
                    # orders by it.
                    continue
            else:
                expression = self._column_expression(name, is_internal_table)
            direction = " DESC" if OrderDirection(item.direction) is OrderDirection.DESC else " ASC"
            terms.append(expression + direction)
        if not terms:
            return ""
        return " ORDER BY " + ", ".join(terms)

    def _select_statement(
        self,
        table_name: str,
        *,
        select_only: str,
        conditions: Q | None = None,
        pagination: NumberPaginator | CursorPaginator | None = None,
        order_by: list[OrderBy] | None = None,
        is_internal_table: bool = False,
    ) -> tuple[str, list[Any]]:
        statement = "SELECT " + select_only + " FROM " + _quote_identifier(table_name)
        if not is_internal_table:
            statement += " AS " + MODEL_TABLE_ALIAS
        condition_text, params = self._get_conditions_statement(conditions, is_internal_table=is_internal_table)
        if condition_text:
            statement += " WHERE " + condition_text
        statement += self._build_order_by_statement(order_by, is_internal_table=is_internal_table, use_internal_meta_tables=False)
        if isinstance(pagination, NumberPaginator) and pagination.limit is not None:
            statement += " LIMIT %s OFFSET %s"
            params += [pagination.limit, pagination.offset or 0]
        return statement, params

    def _build_count_statement(
        self,
        table_name: str,
        conditions: Q | None,
        *,
        use_internal_meta_tables: bool = False,
    ) -> tuple[str, list[Any]]:
        is_internal_table = table_name.endswith(_INTERNAL_TABLE_SUFFIXES)
        if use_internal_meta_tables and not is_internal_table:
            # The select list holds COUNT, which keeps the joined statement
            # from grouping: one row, the count.
            return self._select_with_internal_meta_statement(table_name, "COUNT(*)", conditions)
        statement = "SELECT COUNT(*) FROM " + _quote_identifier(table_name) + " AS " + MODEL_TABLE_ALIAS
        condition_text, params = self._get_conditions_statement(conditions, is_internal_table=is_internal_table)
        if condition_text:
            statement += " WHERE " + condition_text
        return statement, params

    def _process_result(self, row: dict[str, Any], description: dict[str, str]) -> dict[str, Any]:
        # Rows arrive as mappings of decoded Python values (the driver parses
        # json and jsonb), so there is nothing left to convert.
        return row

    def _to_sql_value(self, value: Any) -> Any:
        if isinstance(value, (dict, list)):
            return Json(value)
        return value
