import enum


class Versions(enum.StrEnum):
    """Symbolic object versions; members compare equal to their plain text."""

    ALL = "all"
    LATEST = "latest"
