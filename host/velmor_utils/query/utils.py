"""Condition trees for reads.

``Q(name__key__lookup=value, ...)`` builds a tree whose leaves are ``Leaf``
tuples ``(field, keys, lookup, value)``; trees combine with ``&``, ``|`` and
``~``. A node reads as ``[NOT] (child <connector> child ...)``.
"""

from typing import Any, ClassVar, NamedTuple

from velmor_utils.query.enums import Lookup
from velmor_utils.query.naming import split_field_path

_LOOKUPS = {member.value: member for member in Lookup}


class Leaf(NamedTuple):
    field: str
    keys: tuple[str, ...]
    lookup: Lookup
    value: Any


def parse_leaf(path: str, value: Any) -> Leaf:
    field, keys = split_field_path(path)
    lookup = Lookup.EQ
    # Only a trailing part can be an operator, and only after a field:
    # ``Q(gt=1)`` filters a column called "gt".
    if keys and keys[-1] in _LOOKUPS:
        lookup = _LOOKUPS[keys[-1]]
        keys = keys[:-1]
    return Leaf(field, keys, lookup, value)


class Q:
    AND = "AND"
    OR = "OR"

    __slots__ = ("connector", "negated", "children")

    def __init__(self, *args: "Q", **kwargs: Any) -> None:
        # No keyword parameters of our own: field names such as "_address"
        # must stay free for conditions.
        self.connector = self.AND
        self.negated = False
        children: list[Q | Leaf] = []
        for arg in args:
            if not isinstance(arg, Q):
                raise TypeError(f"Q() positional arguments must be Q objects, got {arg!r}")
            if arg:
                children.append(arg)
        children.extend(parse_leaf(path, value) for path, value in kwargs.items())
        self.children = children

    @classmethod
    def _node(cls, connector: str, children: "list[Q | Leaf]", negated: bool = False) -> "Q":
        node = cls.__new__(cls)
        node.connector = connector
        node.negated = negated
        node.children = children
        return node

    def _copy(self) -> "Q":
        return self._node(self.connector, list(self.children), self.negated)

    def _combine(self, other: "Q", connector: str) -> "Q":
        if not other:
            return self._copy()
        if not self:
            return other._copy()
        return self._node(connector, [self, other])

    def __and__(self, other: object) -> "Q":
        if not isinstance(other, Q):
            return NotImplemented
        return self._combine(other, self.AND)

    def __or__(self, other: object) -> "Q":
        if not isinstance(other, Q):
            return NotImplemented
        return self._combine(other, self.OR)

    def __invert__(self) -> "Q":
        node = self._copy()
        node.negated = not self.negated
        return node

    def __bool__(self) -> bool:
        return bool(self.children)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Q):
            return NotImplemented
        return (self.connector, self.negated, self.children) == (other.connector, other.negated, other.children)

    # Defining __eq__ leaves instances unhashable; this tells type checkers so.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __repr__(self) -> str:
        parts = ", ".join(repr(child) if isinstance(child, Q) else f"{child.field}{''.join('__' + k for k in child.keys)}__{child.lookup}={child.value!r}" for child in self.children)
        return f"<Q: {'NOT ' if self.negated else ''}({self.connector}: {parts})>"
