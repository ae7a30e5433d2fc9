import abc
from typing import TYPE_CHECKING, Any

from velmor_utils.models.data_models.address import Address
from velmor_utils.query.utils import Q

if TYPE_CHECKING:
    from velmor_data.table_schemas.base import TableSchemaServiceBase


class HistoricalConnectionBase(abc.ABC):
    """Interface of versioned-store connections.

    Subclasses are not required to call this initialiser; nothing here keeps
    state. Subclasses provide ``table_schema_manager``.
    """

    if TYPE_CHECKING:

        @property
        def table_schema_manager(self) -> "TableSchemaServiceBase": ...

    @abc.abstractmethod
    def connect(self, *args: Any, **kwargs: Any) -> None: ...

    @abc.abstractmethod
    def disconnect(self) -> None: ...

    @abc.abstractmethod
    def put(self, address: Address, data: dict[str, Any]) -> None: ...

    @abc.abstractmethod
    def query(self, address: Address, *args: Any, **kwargs: Any) -> list[dict[str, Any]]: ...

    @abc.abstractmethod
    def count(self, address: Address, *args: Any, **kwargs: Any) -> int: ...

    @abc.abstractmethod
    def begin(self) -> None: ...

    @abc.abstractmethod
    def commit(self) -> None: ...

    @abc.abstractmethod
    def rollback(self) -> None: ...

    @abc.abstractmethod
    def revert(self) -> None: ...

    def _build_queries_by_version(self, address: Address, conditions: Q | None) -> dict[int | None, Q | None]:
        """Map each class version to read onto the conditions for its table.

        Without an explicit class version every version the schema service
        knows is read, oldest first, each with the same conditions.
        """
        if address.class_version is not None:
            return {address.class_version: conditions}
        versions = self.table_schema_manager.class_versions(address.class_name)
        return {version: conditions for version in versions}
