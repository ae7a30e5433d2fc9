"""Straightforward, idiomatic plain-Python renderings of the module's statement builders.

They write the same texts as the compiled members (checked by the benchmark before it
times anything) and serve as the baseline the compiled members are measured against.
"""

import json

from velmor_data.connections.implementations.mixins.sql_history_conection_mixin import (
    SqlHistoryConnectionMixin,
)
from velmor_data.connections.implementations.mixins.sqlite_statements_mixin import (
    ADDRESS_FIELD,
    METADATA_FIELD,
    METADATA_TABLE_ALIAS,
    MODEL_TABLE_ALIAS,
    NoValue,
)
from velmor_data.connections.implementations.postgresql_history import (
    METADATA_SELECT_FIELD,
    METADATA_SELECT_STATEMENT,
    sql_operator_map,
)
from velmor_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.paginator import CursorPaginator, NumberPaginator


def _quoted(name, quote='"'):
    return quote + name.replace(quote, quote * 2).replace("%", "%%") + quote


def _literal(key):
    return "'" + key.replace("'", "''").replace("%", "%%") + "'"


class PlainPythonBuilders(SqlHistoryConnectionMixin):
    TABLE_SEPARATOR = '"'
    COLUMN_SEPARATOR = '"'
    SQL_OPERATOR_MAP = sql_operator_map

    @staticmethod
    def _resolve_nested_field_name(field_name, nested_fields, *, value_type=str,
                                   is_internal_table=False, use_internal_meta_tables=False):
        if not is_internal_table:
            if field_name == ADDRESS_FIELD:
                if nested_fields == "object_id":
                    if use_internal_meta_tables:
                        return f'{MODEL_TABLE_ALIAS}."{PRIMARY_PARTITION_KEY}"'
                    return PRIMARY_PARTITION_KEY
                if use_internal_meta_tables and nested_fields == "object_version":
                    return f'{MODEL_TABLE_ALIAS}."{SECONDARY_PARTITION_KEY}"'
                if not use_internal_meta_tables:
                    return ""
            if use_internal_meta_tables and field_name == METADATA_FIELD:
                if "__" not in nested_fields:
                    return f"{METADATA_TABLE_ALIAS}.{_quoted(nested_fields)}"
                head, nested_fields = nested_fields.split("__", 1)
                field_name = f"{METADATA_TABLE_ALIAS}.{_quoted(head)}"
            else:
                field_name = f"{MODEL_TABLE_ALIAS}.{_quoted(field_name)}"
        if value_type is bool:
            cast = "boolean"
        elif value_type is int:
            cast = "integer"
        elif value_type is float:
            cast = "real"
        else:
            cast = "text"
        keys = [_literal(key) for key in nested_fields.split("__")]
        if len(keys) == 1 and cast == "text":
            selection = "->" + keys[0]
        else:
            selection = "".join("->" + key for key in keys[:-1]) + "->>" + keys[-1]
        expression = f"cast({field_name}::json{selection} as {cast})"
        if cast == "text":
            expression = f"trim('\"' FROM {expression})"
        return expression

    def _nested_filter_statement(self, field_name, nested_fields, sql_operator_template, value,
                                 value_type, *, is_internal_table=False, use_internal_meta_tables=False):
        if value_type is Versions or (isinstance(value, str) and value in (Versions.ALL, Versions.LATEST)):
            if value == Versions.ALL:
                return "", None
            if field_name == ADDRESS_FIELD and nested_fields == "object_version" and value == Versions.LATEST:
                if use_internal_meta_tables:
                    column = f'{METADATA_TABLE_ALIAS}."next_version"'
                    return f"({column} IS NULL OR {column} = '')", NoValue
                return ("(cast(_metadata::json->'next_version' as text) IS NULL OR "
                        "trim('\"' FROM cast(_metadata::json->'next_version' as text)) = '')"), NoValue
        parameter = sql_operator_template.build_value(value)
        cast_type = type(value)
        if parameter is NoValue:
            cast_type = str
        elif isinstance(value, tuple) and value and len({type(item) for item in value}) == 1:
            cast_type = type(value[0])
        expression = self._resolve_nested_field_name(
            field_name, nested_fields, value_type=cast_type, is_internal_table=is_internal_table,
            use_internal_meta_tables=use_internal_meta_tables)
        if not expression:
            return "", None
        return sql_operator_template.build_statement(expression, value, "", self.COLUMN_SEPARATOR), parameter

    def _build_group_by_statement(self, order_by, *, is_internal_table=False, use_internal_meta_tables=False):
        terms = ["t1.partition_key", "t1.range_key"]
        for item in order_by or ():
            name = item.field_name
            if "__" in name:
                field, rest = name.split("__", 1)
                name = self._resolve_nested_field_name(field, rest, is_internal_table=is_internal_table,
                                                       use_internal_meta_tables=use_internal_meta_tables)
            terms.append(name)
        return " GROUP BY " + ", ".join(terms)

    def _select_with_internal_meta_statement(self, table_name, select_only, conditions=None,
                                             pagination=None, order_by=None):
        parameters = []
        statement = (f"SELECT {select_only} FROM {_quoted(table_name, self.TABLE_SEPARATOR)} AS {MODEL_TABLE_ALIAS} "
                     f"JOIN ({METADATA_SELECT_STATEMENT}) AS {METADATA_TABLE_ALIAS} "
                     f"ON {MODEL_TABLE_ALIAS}.partition_key = {METADATA_TABLE_ALIAS}.object_id "
                     f"AND {MODEL_TABLE_ALIAS}.range_key = {METADATA_TABLE_ALIAS}.object_version")
        if conditions:
            text, parameters = self._get_conditions_statement(
                conditions, is_internal_table=False, use_internal_meta_tables=True)
            if text:
                statement += " WHERE " + text
        if "COUNT" not in select_only:
            statement += self._build_group_by_statement(order_by, is_internal_table=False,
                                                        use_internal_meta_tables=True)
        if order_by:
            statement += self._build_order_by_statement(order_by, is_internal_table=False,
                                                        use_internal_meta_tables=True)
        if isinstance(pagination, NumberPaginator) and pagination.limit is not None:
            statement += " LIMIT %s OFFSET %s"
            parameters.append(pagination.limit)
            parameters.append(pagination.offset or 0)
        return statement, parameters

    def _build_select_statement(self, table_name, query_specifier=None, conditions=None, pagination=None,
                                order_by=None, *, use_internal_meta_tables=False):
        if isinstance(pagination, CursorPaginator):
            raise ValueError("Cursor pagination is not supported")
        is_internal = table_name.endswith("metadata") or table_name.endswith("reference")
        if not use_internal_meta_tables or is_internal:
            columns = "*"
            if query_specifier and query_specifier.only:
                names = set(query_specifier.only) | (set() if is_internal else {"_metadata"})
                columns = ", ".join(f"distinct {name}" if name in query_specifier.distinct else name
                                    for name in sorted(names))
            return self._select_statement(table_name, select_only=columns, conditions=conditions,
                                          pagination=pagination, order_by=order_by,
                                          is_internal_table=is_internal)
        columns = ""
        if query_specifier:
            columns = ", ".join(
                f"DISTINCT {MODEL_TABLE_ALIAS}.{name}" if name in query_specifier.distinct
                else f"{MODEL_TABLE_ALIAS}.{name}" for name in sorted(set(query_specifier.only)))
        columns = (columns or f"{MODEL_TABLE_ALIAS}.*") + ", " + METADATA_SELECT_FIELD
        return self._select_with_internal_meta_statement(table_name, select_only=columns, conditions=conditions,
                                                         pagination=pagination, order_by=order_by)

    def _build_insert_statement(self, table_name, data):
        columns = ", ".join(_quoted(f"{key}") for key in data)
        placeholders = ", ".join(["%s"] * len(data))
        name = table_name if table_name.isidentifier() and table_name == table_name.lower() else _quoted(table_name)
        return (f"INSERT INTO {name} ({columns}) VALUES ({placeholders})",
                tuple(self._to_sql_value(value) for value in data.values()))

    def process_value_before_insert(self, value, data_type):
        if data_type == "json" and isinstance(value, (str, int, float)):
            return json.dumps(value)
        return value

    @staticmethod
    def _paginate_items(items, pagination):
        if isinstance(pagination, NumberPaginator) and pagination.limit is not None \
                and pagination.offset is not None:
            return items[pagination.offset:pagination.offset + pagination.limit]
        return items
