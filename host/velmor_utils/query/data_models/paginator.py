from dataclasses import dataclass
from typing import Any


@dataclass(slots=True)
class NumberPaginator:
    """Offset paging; ``None`` means unset."""

    limit: int | None = None
    offset: int | None = None


@dataclass(slots=True)
class CursorPaginator:
    cursor: Any = None
    limit: int | None = None
