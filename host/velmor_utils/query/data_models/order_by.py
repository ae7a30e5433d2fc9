from dataclasses import dataclass
from typing import Literal

from velmor_utils.query.enums import OrderDirection
from velmor_utils.query.naming import split_field_path


@dataclass(slots=True)
class OrderBy:
    """One ordering term; ``field_name`` may reach into JSON as "field__key__key"."""

    field_name: str
    # Taken as given, "asc" or "desc" alike, and made an OrderDirection.
    direction: OrderDirection | Literal["asc", "desc"] = OrderDirection.ASC

    def __post_init__(self) -> None:
        split_field_path(self.field_name)
        self.direction = OrderDirection(self.direction)
