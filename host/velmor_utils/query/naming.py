"""Validation of field names and "__"-separated field paths.

Field names and nested keys end up inside SQL text (as quoted identifiers or
JSON keys), so only a conservative ASCII alphabet is accepted anywhere a name
enters the query model.
"""

import re

PATH_SEPARATOR = "__"

_FIELD_RE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_KEY_RE = re.compile(r"[A-Za-z0-9_]+")


def validate_field_name(name: str) -> str:
    """Return ``name`` if it is a plain column name, else raise ValueError."""
    if not isinstance(name, str) or _FIELD_RE.fullmatch(name) is None:
        raise ValueError(f"Invalid field name {name!r}: expected letters, digits and underscores, not starting with a digit")
    if PATH_SEPARATOR in name:
        # Such a column could never be addressed by a condition or ordering.
        raise ValueError(f"Invalid field name {name!r}: {PATH_SEPARATOR!r} separates nested keys")
    return name


def split_field_path(path: str) -> tuple[str, tuple[str, ...]]:
    """Split "field__key1__key2" into ("field", ("key1", "key2")), validating every part."""
    if not isinstance(path, str):
        raise ValueError(f"Invalid field path {path!r}: expected a string")
    field, *keys = path.split(PATH_SEPARATOR)
    if _FIELD_RE.fullmatch(field) is None:
        raise ValueError(f"Invalid field name {field!r} in {path!r}: expected letters, digits and underscores, not starting with a digit")
    for key in keys:
        if _KEY_RE.fullmatch(key) is None:
            raise ValueError(f"Invalid nested key {key!r} in {path!r}: expected one or more letters, digits or underscores")
    return field, tuple(keys)
