from collections.abc import Mapping
from typing import Any

from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.enums import OrderDirection
from velmor_utils.query.naming import PATH_SEPARATOR


def _path_value(item: Any, path: list[str]) -> Any:
    value = item
    for part in path:
        if not isinstance(value, Mapping):
            return None
        value = value.get(part)
    return value


class _SortKey:
    """Total-ish order over arbitrary values that never raises.

    None is greater than everything, which gives PostgreSQL's default
    placement: last when ascending, first when descending (reverse sort).
    Values that do not compare with each other fall back to their type name,
    then to their repr, so a merge of rows from differently typed class
    versions still sorts.
    """

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __lt__(self, other: "_SortKey") -> bool:
        a, b = self.value, other.value
        if a is None or b is None:
            return b is None and a is not None
        try:
            return bool(a < b)
        except TypeError:
            ta, tb = type(a).__name__, type(b).__name__
            if ta != tb:
                return ta < tb
            return repr(a) < repr(b)


def sort_items(items: list[dict[str, Any]], order_by: list[OrderBy] | None) -> list[dict[str, Any]]:
    if not order_by:
        return items
    result = list(items)
    # Stable sorts applied from the least significant term to the most
    # significant one give the multi-key order.
    for term in reversed(order_by):
        path = term.field_name.split(PATH_SEPARATOR)
        result.sort(
            key=lambda item: _SortKey(_path_value(item, path)),
            reverse=OrderDirection(term.direction) is OrderDirection.DESC,
        )
    return result
