"""The write path's own deep copy and JSON encoding give exactly what copy.deepcopy
and json.dumps give, including shared and cyclic structure and objects that bring
their own copy rules."""

import copy
import json

import pytest
from hypothesis import given, settings, strategies as st

from conftest import PostgresHistoricalConnection, address

scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text()
documents = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                         | st.dictionaries(st.text(max_size=5), inner, max_size=4), max_leaves=20)


class _Resolver:
    def resolve_table_name(self, address):
        return "things_v1"


class CapturingPut(PostgresHistoricalConnection):
    """Runs put without a server and keeps the mapping it would insert."""

    table_schema_manager = property(lambda self: _Resolver())

    def _describe_table(self, table_name):
        return self.description

    def execute(self, query, *args):
        return None

    def _build_insert_statement(self, table_name, data):
        self.inserted = data
        return "INSERT", ()

    def written(self, data):
        self.description = {key: "jsonb" for key in data} | {"partition_key": "text", "range_key": "text"}
        self.put(address("things", "o1", "1"), data)
        return {key: value for key, value in self.inserted.items() if key in data}


def identity_shape(value, seen=None):
    """The value's structure with every container replaced by the order it was first met."""
    seen = {} if seen is None else seen
    if isinstance(value, (dict, list, tuple, set, Keeper)):
        if id(value) in seen:
            return ("ref", seen[id(value)])
        seen[id(value)] = len(seen)
        items = value.items() if isinstance(value, dict) else (value.__dict__.items() if isinstance(value, Keeper) else enumerate(value))
        return (type(value).__name__, [(k, identity_shape(v, seen)) for k, v in items])
    return value


class Keeper:
    def __init__(self, payload):
        self.payload = payload

    def __deepcopy__(self, memo):
        return Keeper(copy.deepcopy(self.payload, memo))


def containers(value, found=None):
    found = set() if found is None else found
    if isinstance(value, (dict, list)) and id(value) not in found:
        found.add(id(value))
        for item in (value.values() if isinstance(value, dict) else value):
            containers(item, found)
    return found


@settings(max_examples=200, deadline=None)
@given(documents)
def test_the_written_copy_is_the_standard_deep_copy(document):
    data = {"doc": document, "again": document}
    written = CapturingPut(is_revert_supported=False).written(data)
    expected = copy.deepcopy(data)
    assert written == expected
    assert identity_shape(written) == identity_shape(expected)
    assert not containers(written) & containers(data)


class Redactor:
    """Records, as a redaction hook does, what later values are to be copied as."""

    def __init__(self, *secrets):
        self.secrets = secrets

    def __deepcopy__(self, memo):
        memo.update({id(secret): "***" for secret in self.secrets})
        return "redacted"


def test_cycles_shared_parts_and_own_copy_rules_survive_the_copy():
    shared = [1, 2]
    cyclic = {"name": "loop"}
    cyclic["self"] = cyclic
    keeper = Keeper(shared)
    secret, pin, token = "hunter" + str(len(shared)), 10 ** 20, ["t0k3n"]
    data = {"a": shared, "b": shared, "c": cyclic, "k": keeper, "t": (shared, 3), "s": {frozenset({1})},
            "r": Redactor(secret, pin, token), "secret": secret, "nested": [pin, {"pin": pin}], "token": token}
    written = CapturingPut(is_revert_supported=False).written(data)
    expected = copy.deepcopy(data)
    # Atoms too up to 3.13: from 3.14 copy.deepcopy returns an atom without looking in the memo.
    assert written["token"] == "***" and (written["secret"], written["nested"]) == (expected["secret"], expected["nested"])
    assert identity_shape(written) == identity_shape(expected)
    assert written["c"]["self"] is written["c"] and written["a"] is written["b"] is written["k"].payload
    assert written["t"][0] is written["a"] and written["a"] is not shared


@pytest.mark.parametrize("encoder", [json._default_encoder, json.JSONEncoder(ensure_ascii=False, allow_nan=False)])
@settings(max_examples=300, deadline=None)
@given(st.text() | st.integers() | st.booleans() | st.floats())
def test_json_column_values_are_encoded_as_json_dumps_does(encoder, value):
    standard, json._default_encoder = json._default_encoder, encoder  # as a host may configure json
    try:
        assert outcome(PostgresHistoricalConnection().process_value_before_insert, value, "json") == outcome(
            json.dumps, value)
    finally:
        json._default_encoder = standard


def outcome(call, *args):
    try:
        return call(*args)
    except ValueError as error:
        return type(error), str(error)
