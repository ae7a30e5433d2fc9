from dataclasses import dataclass
from typing import Any


@dataclass(slots=True)
class Address:
    """Where one stored object lives: class, class version, object and version.

    ``object_version`` is either a concrete version string or a ``Versions``
    member standing for a symbolic version.
    """

    class_name: str
    object_id: Any = None
    object_version: Any = None
    class_version: int | None = None

    def model_copy(self) -> "Address":
        # Called on every write, so a plain constructor call rather than the
        # copy module's reduce protocol.
        return type(self)(self.class_name, self.object_id, self.object_version, self.class_version)
