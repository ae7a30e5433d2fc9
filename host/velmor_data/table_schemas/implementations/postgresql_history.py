"""Table layout of the PostgreSQL history store.

Every class version has its own table "<ClassName>_v<n>" holding one row per
object version, keyed by (partition_key, range_key). The internal table
"metadata" holds one row per object version with its bookkeeping.

All SQL goes through ``connection.execute(statement, *params)``, which raises
VelmorConnectionError on failure. Nothing here commits or opens a transaction:
``connect`` puts the driver connection in autocommit mode, so outside a
transaction each statement, DDL included, takes effect at once; inside one
opened by ``begin`` the DDL joins it, to be kept by ``commit`` or undone by
``rollback``.
"""

import re
from collections.abc import Mapping
from typing import Any

from velmor_data.table_schemas.base import TableSchemaServiceBase
from velmor_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
from velmor_utils.models.data_models.address import Address

METADATA_TABLE = "metadata"

# PostgreSQL silently truncates longer identifiers, which would make two
# class names share a table and hide tables from class_versions.
_MAX_IDENTIFIER_BYTES = 63

_VERSION_SUFFIX_RE = re.compile(r"[1-9][0-9]*|0")

_INTERNAL_TABLE_STATEMENTS = (
    f"""CREATE TABLE IF NOT EXISTS {METADATA_TABLE} (
    {PRIMARY_PARTITION_KEY} text PRIMARY KEY,
    object_id text NOT NULL,
    object_version text NOT NULL,
    prior_version text,
    address json,
    class_schema_reference json,
    class_schema_type text,
    is_deleted boolean NOT NULL DEFAULT false,
    created_at timestamptz NOT NULL DEFAULT now(),
    updated_at timestamptz NOT NULL DEFAULT now(),
    "transaction" json
)""",
    # The enriched metadata read looks up the successor of each version by
    # (object_id, prior_version); the join matches (object_id, object_version).
    f"CREATE INDEX IF NOT EXISTS metadata_object_id_prior_version_idx ON {METADATA_TABLE} (object_id, prior_version)",
    f"CREATE INDEX IF NOT EXISTS metadata_object_id_object_version_idx ON {METADATA_TABLE} (object_id, object_version)",
)


def _quote_identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _first_column(row: Any) -> Any:
    # Tolerate dict-shaped rows from cursor factories as well as tuples.
    if isinstance(row, Mapping):
        return next(iter(row.values()))
    return row[0]


class PostgresHistoricalTableSchemaService(TableSchemaServiceBase):
    def register_internal_tables(self) -> None:
        for statement in _INTERNAL_TABLE_STATEMENTS:
            self.connection.execute(statement)

    def resolve_table_name(self, address: Address) -> str:
        if address.class_name == METADATA_TABLE:
            return METADATA_TABLE
        return self._object_table_name(address.class_name, address.class_version)

    @staticmethod
    def _object_table_name(class_name: str, class_version: int | None) -> str:
        if not isinstance(class_name, str) or not class_name or "\x00" in class_name or '"' in class_name:
            # Statement builders put table names between double quotes
            # without escaping them.
            raise ValueError(f"Invalid class name {class_name!r}")
        if class_version is None:
            raise ValueError(f"A class version is needed to name the table of class {class_name!r}")
        # Case is kept on purpose: tables are always referenced quoted.
        name = f"{class_name}_v{class_version}"
        if len(name.encode()) > _MAX_IDENTIFIER_BYTES:
            raise ValueError(f"Table name {name!r} is longer than {_MAX_IDENTIFIER_BYTES} bytes")
        return name

    def create_object_table(self, class_name: str, class_version: int, columns: dict[str, str]) -> str:
        """Create the table of one class version; ``columns`` maps column name to SQL type."""
        table_name = self._object_table_name(class_name, class_version)
        definitions = [f"{PRIMARY_PARTITION_KEY} text NOT NULL", f"{SECONDARY_PARTITION_KEY} text NOT NULL"]
        definitions += [f"{_quote_identifier(name)} {sql_type}" for name, sql_type in columns.items()]
        # The metadata-joined read groups by the key columns and selects every
        # column, which PostgreSQL allows only when they form the primary key.
        definitions.append(f"PRIMARY KEY ({PRIMARY_PARTITION_KEY}, {SECONDARY_PARTITION_KEY})")
        self.connection.execute(f"CREATE TABLE IF NOT EXISTS {_quote_identifier(table_name)} ({', '.join(definitions)})")
        return table_name

    def drop_object_table(self, class_name: str, class_version: int) -> None:
        table_name = self._object_table_name(class_name, class_version)
        self.connection.execute(f"DROP TABLE IF EXISTS {_quote_identifier(table_name)}")

    def class_versions(self, class_name: str) -> list[int | None]:
        """Class versions with a table in the current schema, ascending.

        The metadata table is unversioned; it reports the single version None
        so that reads of it without a class version still find it.
        """
        if class_name == METADATA_TABLE:
            return [None]
        prefix = f"{class_name}_v"
        cursor = self.connection.execute(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() AND position(%s IN table_name) = 1",
            prefix,
        )
        versions: list[int] = []
        for row in cursor.fetchall():
            name = _first_column(row)
            # position() also matches e.g. "Person_v1_old"; keep exact names only.
            suffix = name[len(prefix):] if name.startswith(prefix) else ""
            if _VERSION_SUFFIX_RE.fullmatch(suffix):
                versions.append(int(suffix))
        return [*sorted(versions)]
