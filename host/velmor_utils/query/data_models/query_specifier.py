from collections.abc import Iterable
from typing import ClassVar

from velmor_utils.query.naming import validate_field_name


class QuerySpecifier:
    """Column choice of a read: ``only`` keeps its order, ``distinct`` is a set."""

    __slots__ = ("only", "distinct")

    def __init__(self, only: Iterable[str] = (), distinct: Iterable[str] = ()) -> None:
        # A bare string would otherwise be taken as a list of one-letter columns.
        if isinstance(only, str) or isinstance(distinct, str):
            raise TypeError("only and distinct take collections of column names, not a string")
        self.only = [validate_field_name(name) for name in only]
        self.distinct = {validate_field_name(name) for name in distinct}

    def __bool__(self) -> bool:
        # An empty specifier still counts as given; emptiness of ``only`` is
        # for the reader to interpret.
        return True

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, QuerySpecifier):
            return NotImplemented
        return self.only == other.only and self.distinct == other.distinct

    # Defining __eq__ leaves instances unhashable; this tells type checkers so.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"QuerySpecifier(only={self.only!r}, distinct={sorted(self.distinct)!r})"
