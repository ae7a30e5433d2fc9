import abc
from typing import Any

from velmor_utils.models.data_models.address import Address


class TableSchemaServiceBase(abc.ABC):
    """Knows which table holds an address and sets up the internal tables."""

    def __init__(self, connection: Any) -> None:
        self.connection = connection

    @abc.abstractmethod
    def register_internal_tables(self) -> None: ...

    @abc.abstractmethod
    def resolve_table_name(self, address: Address) -> str: ...

    @abc.abstractmethod
    def class_versions(self, class_name: str) -> list[int | None]:
        """The class versions that have a table, ascending; what a read without one reads."""
