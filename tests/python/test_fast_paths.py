"""The write path's own deep copy and JSON encoding give exactly what copy.deepcopy
and json.dumps give, including shared and cyclic structure and objects that bring
their own copy rules."""

import builtins
import copy
import gc
import json
import os
import random
import re
import types

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from conftest import PostgresHistoricalConnection, address, fresh_import
from velmor_data.connections.implementations import postgresql_history as module

class MemoSpy:
    """Notes what copy.deepcopy's memo holds when it is asked to copy itself: where the
    keep-alive entry stands among the keys, and the originals that entry keeps."""

    seen = []

    def __deepcopy__(self, memo):
        MemoSpy.seen.append(([key == id(memo) for key in memo], [id(kept) for kept in memo.get(id(memo), [])]))
        return "spied"


scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.builds(MemoSpy)
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
    data, MemoSpy.seen = {"doc": document, "again": document}, []
    written = CapturingPut(is_revert_supported=False).written(data)
    seen, MemoSpy.seen = MemoSpy.seen, []
    expected = copy.deepcopy(data)
    assert written == expected and seen == MemoSpy.seen
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
        return call(*args) if args else ("ok", show(call()))
    except (ValueError if args else Exception) as error:
        return type(error).__name__ if not args else type(error), show(str(error)) if not args else str(error)


# --- Every fast path against the general path ------------------------------------------------
#
# An import made with VELMOR_FAST_PATHS=0 takes the general path everywhere. Hostile hosts run
# one workload on both imports: the statements sent, the calls into overrides and callbacks,
# the results and the errors must be the same. On the sanitizer build too.

MEMBERS = ["execute", "process_value_before_insert", "_describe_table", "_build_insert_statement",
           "_build_delete_statement", "_add_revert_data", "_delete", "_resolve_nested_field_name"]
KINDS = ["none", "subclass", "instance", "descriptor", "staticmethod", "metaclass", "later", "callback"]
PLANS = st.fixed_dictionaries({"kinds": st.fixed_dictionaries({m: st.sampled_from(KINDS) for m in MEMBERS}),
                               **{k: st.booleans() for k in ("eq", "swap", "gc", "versions", "builtins")},
                               "json": st.sampled_from(["module", "shim", "encoder"])})


def plan(**changes):
    return {"kinds": dict.fromkeys(MEMBERS, "none"), "eq": False, "swap": False, "gc": False, "versions": False,
            "builtins": False, "json": "module", **changes}


def show(value):
    return re.sub(r"0x[0-9a-f]+", "0x", repr(value))


class Odd:
    """A description key hashed like "name": comparing with it (after the first time, when the
    description is built) runs `action`."""

    def __init__(self, action):
        self.action, self.compared = action, 0

    def __hash__(self):
        return hash("name")

    def __eq__(self, other):
        self.compared += 1
        return self.compared > 1 and self.action() and False


BARE = type("Bare", (), {"__slots__": (), "__repr__": lambda self: "Bare"})()  # a key of an object's bare size


def session(mod, plan):
    log, Base, patched = [], mod.PostgresHistoricalConnection, []
    random.seed(0)  # the same savepoint names

    def override(name):
        own = getattr(Base, name)

        def overriding(*args):
            log.append((name, show(args[1:] if callable(getattr(args[0], name, None)) else args)))
            value = args[1] if name == "process_value_before_insert" else None
            if plan["swap"] and isinstance(value, dict) and "range_key" in value:  # a key not walked yet
                value.pop("range_key"), value.__setitem__(BARE, "bare")
            return own(*args)
        return staticmethod(overriding) if isinstance(vars(Base)[name], staticmethod) else overriding

    def patch(kind, names=()):
        for name in [n for n, k in plan["kinds"].items() if (k == kind or n in names) and n not in patched]:
            patched.append(name)
            setattr(Host, name, override(name))

    class Meta(type(Base)):
        pass

    class Descriptor:
        def __init__(self, name):
            self.name, self.wrapper = name, override(name)

        def __get__(self, instance, owner):  # the plain member on the class, a wrapper on an instance
            return getattr(Base, self.name) if instance is None else self.wrapper.__get__(instance, owner)

    class Address(mod.Address):
        def model_copy(self):
            log.append(("model_copy", self.object_id))
            patch("callback")
            return super().model_copy()

    class Cursor:
        statusmessage, rows = "COMMIT", []

        def execute(self, query, args):
            log.append(("sent", query, show(args)))
            hostile = [(Odd(lambda: patch("eq", ["process_value_before_insert"])), "text")] * plan["eq"]
            self.rows = hostile + [("name", "text"), ("data", "json"), ("self", "jsonb"), ("partition_key", "text"),
                                   ("range_key", "text"), (BARE, "text")]

        def fetchall(self):
            return self.rows

    resolver = types.SimpleNamespace(
        resolve_table_name=lambda address: log.append(("resolve", address.object_id)) or "things_v1")
    namespace = {"table_schema_manager": property(lambda self: resolver),
                 "_to_sql_value": lambda self, value: log.append(("to_sql", show(value))) or Base._to_sql_value(self, value)}
    for name, kind in plan["kinds"].items():
        if kind in ("subclass", "metaclass"):
            namespace[name] = override(name)
        if kind == "metaclass":  # the class's attribute, read through the metaclass, is the module's own
            setattr(Meta, name, property(lambda cls, name=name: getattr(Base, name)))
        elif kind in ("descriptor", "staticmethod"):
            namespace[name] = Descriptor(name) if kind == "descriptor" else staticmethod(getattr(Base, name))
    Host = Meta("Host", (Base,), namespace)
    db = Host()
    db._connection = types.SimpleNamespace(cursor=Cursor, get_transaction_status=lambda: 2)  # in a transaction
    for name in [n for n, k in plan["kinds"].items() if k == "instance"]:
        setattr(db, name, override(name).__get__(db))

    class MetaMeta(type):  # hides the metaclass's own __instancecheck__ from a plain attribute read
        def __getattribute__(cls, name):
            return type.__instancecheck__ if name == "__instancecheck__" else super().__getattribute__(name)

    class OddMeta(type, metaclass=MetaMeta):
        def __instancecheck__(cls, instance):
            log.append(("instancecheck", show(instance)))
            return True

    def collecting(phase, info):  # rebinds globals to equal texts and re-enters the module
        mod.MODEL_TABLE_ALIAS = "".join(["t", "1"])
        Base._resolve_nested_field_name("data", "x", use_internal_meta_tables=True)

    cyclic = {"name": "two", "data": 2.5, "self": None}
    cyclic["self"] = cyclic
    lookups = mod.PostgresHistoricalConnection.SQL_OPERATOR_MAP
    ops = [db.begin, lambda: db.put(Address("things", "o1", "1"), {"name": "one", "data": "jsön", "self": 1, "x": 1}),
           db.begin, lambda: db.put(Address("things", "o2", "1"), cyclic), db.revert,
           lambda: db._delete(Address("things", "o3", mod.Versions.LATEST)),
           lambda: [db._resolve_nested_field_name("da\udc80ta", "a\udc80", value_type=int) for _ in range(3)],
           lambda: db._build_group_by_statement([mod.OrderBy(field_name="data__a__b")]),
           lambda: db._nested_filter_statement("data", "a", list(lookups.values())[-1], True, bool),
           lambda: db._select_with_internal_meta_statement("t", "x", None, mod.NumberPaginator(limit=2, offset=1)),
           db.commit]
    module_globals = vars(mod)
    saved, encoder, threshold = dict(module_globals), json._default_encoder, gc.get_threshold()
    try:
        if plan["json"] == "shim":
            mod.json = types.SimpleNamespace(dumps=lambda value: log.append(("dumps", value)) or json.dumps(value))
        if plan["json"] == "encoder":
            json._default_encoder = json.JSONEncoder(ensure_ascii=False)
        if plan["versions"]:
            mod.Versions = OddMeta("Versions", (), {"ALL": saved["Versions"].ALL, "LATEST": saved["Versions"].LATEST})
        if plan["builtins"]:
            builtins.NoValue = mod.NoValue
            del mod.NoValue
        if plan["gc"]:
            gc.callbacks.append(collecting)
            gc.set_threshold(1)
        for n, op in enumerate(ops):
            log.append(outcome(op))
            if n == 1:
                patch("later")
    finally:
        gc.set_threshold(*threshold)
        if collecting in gc.callbacks:
            gc.callbacks.remove(collecting)
        json._default_encoder = encoder
        vars(builtins).pop("NoValue", None)
        module_globals.clear()  # the globals back, in their order
        module_globals.update(saved)
    return log


@pytest.fixture(scope="module")
def general():
    os.environ["VELMOR_FAST_PATHS"] = "0"
    try:
        return fresh_import()
    finally:
        del os.environ["VELMOR_FAST_PATHS"]


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(PLANS)
@example(plan(kinds={**plan()["kinds"], "_delete": "descriptor", "execute": "metaclass"}))
@example(plan(eq=True))
@example(plan(swap=True, kinds={**plan()["kinds"], "process_value_before_insert": "subclass"}))
@example(plan(gc=True, versions=True, builtins=True, json="encoder"))
def test_the_fast_paths_do_what_the_general_path_does(general, plan):
    assert session(module, plan) == session(general, plan)
