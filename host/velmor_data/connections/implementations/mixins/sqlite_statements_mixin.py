"""Names and operator templates shared by the SQL statement builders."""

from collections.abc import Callable
from typing import Any

MODEL_TABLE_ALIAS = "t1"
METADATA_TABLE_ALIAS = "t2"
ADDRESS_FIELD = "_address"
METADATA_FIELD = "_metadata"


class _NoValueType:
    __slots__ = ()

    def __repr__(self) -> str:
        return "NoValue"


# Parameter returned for conditions that take none (e.g. IS NULL); always
# compared by identity.
NoValue = _NoValueType()


class SqlOperatorTemplate:
    """How one lookup operator becomes condition text and a statement parameter."""

    __slots__ = ("template", "value_template", "value_modifier")

    def __init__(
        self,
        *,
        template: str | Callable[[Any], str] | None = None,
        value_template: str | None = None,
        value_modifier: Callable[[Any], Any] | None = None,
    ) -> None:
        self.template = template
        self.value_template = value_template
        self.value_modifier = value_modifier

    def build_statement(self, field_name: str, value: Any, prefix: str, column_separator: str) -> str:
        # prefix and column_separator belong to the common builder signature;
        # the expression arrives fully qualified already.
        template = self.template(value) if callable(self.template) else self.template
        if template is None:
            raise TypeError("SqlOperatorTemplate has no statement template")
        # str.replace, not str.format: field expressions can contain braces.
        return template.replace("{field_name}", field_name)

    def build_value(self, value: Any) -> Any:
        if self.value_modifier is not None:
            value = self.value_modifier(value)
        if value is NoValue:
            return value
        if self.value_template:
            return self.value_template.replace("{value}", str(value))
        return value

    def __repr__(self) -> str:
        return f"SqlOperatorTemplate(template={self.template!r}, value_template={self.value_template!r}, value_modifier={self.value_modifier!r})"
