"""Every member, called many times on its success and error paths, keeps the number of live
objects, the memory in use and its arguments' reference counts flat; dropped instances are freed."""

import gc
import logging
import os
import sys
import types
import uuid
import weakref

import psycopg2
import pytest
from conftest import PostgresHistoricalConnection, address, metadata_record

from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.connections.implementations import postgresql_history as module
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import CursorPaginator, NumberPaginator
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.enums import Lookup
from velmor_utils.query.utils import Q

pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_UNDER_SANITIZER")),
                                reason="the sanitizer run checks leaks its own way")
CALLS = int(os.environ.get("VELMOR_LEAK_CALLS", "100000"))
PURE, DB, HEAVY, CONNECT = 1, 20, 50, 200  # the number of calls is CALLS divided by the weight
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def fresh(text):
    return (text + ".")[:-1]  # not the interned literal, whose count the rest of the process moves


@pytest.fixture
def env(connection, object_table):
    """Argument objects, each created once per test, and one stored object of a fresh class."""
    class_name, table = object_table
    connection.begin()
    connection.put(address(class_name, f"{class_name}-stored", "1"), {"name": "stored", "data": {"k": "v"}})
    connection.put(*metadata_record(f"{class_name}-stored", "1"))
    connection.commit()
    logger = logging.getLogger(module.__name__)
    logger.disabled = True  # cursor pagination warns on every call
    text, name, size, data, k = (fresh(x) for x in (f"needle {uuid.uuid4().hex}", "name", "size", "data", "k"))
    yield types.SimpleNamespace(
        live=connection, idle=PostgresHistoricalConnection(), spare=PostgresHistoricalConnection(),
        norevert=PostgresHistoricalConnection(is_revert_supported=False), flag=object(), text=text,
        table=table, missing=f"{class_name}_none", raw=text.encode(), kind=fresh("json"), listed=[text],
        data={name: text, size: 123456, data: {k: [text, 1.5]}}, keys=fresh("k__deep"), field=data,
        address_field=fresh("_address"), version_key=fresh("object_version"),
        new=address(class_name, f"{class_name}-new", "1", 1),
        stored=address(class_name, f"{class_name}-stored", "1", 1),
        every=address(class_name, None, None, 1), latest=address(class_name, "x", Versions.LATEST, 1),
        qs=QuerySpecifier(only=["name", "size"]), cond=Q(name__icontains="o") & ~Q(data__k="z"),
        bad_cond=Q(nosuch=1), page=NumberPaginator(limit=5, offset=0), cursor=CursorPaginator(),
        order=[OrderBy("name", "desc"), OrderBy("data__k")], bad_order=[object()], select_list=fresh("t1.*"),
        items=[{name: text, k: 1000}, {name: fresh("b."), k: 2000}],
        icontains=module.sql_operator_map[Lookup.ICONTAINS], eq=module.sql_operator_map[Lookup.EQ],
        select=fresh("SELECT %s"), failing=fresh("SELECT * FROM no_such_table WHERE x = %s"),
        latest_marker=Versions.LATEST, versions=Versions, str=str, none=None)
    logger.disabled = False


def put_rolled_back(c, where, data):
    c.begin()
    try:
        c.put(where, data)
    finally:
        c.rollback()


HELPERS = {  # cases that need keywords or several calls
    "__init__": lambda flag: PostgresHistoricalConnection(is_revert_supported=flag),
    "table_schema_manager": lambda c: c.table_schema_manager,
    "_resolve_nested_field_name/typed": lambda f, k: PostgresHistoricalConnection._resolve_nested_field_name(
        f, k, value_type=int, use_internal_meta_tables=True),
    "_build_select_statement/joined": lambda c, *a: c._build_select_statement(*a, use_internal_meta_tables=True),
    "_add_revert_data+on_transaction_complete": lambda c, where, data: (
        c._revert_data.append([]), c._add_revert_data(where, data), c.on_transaction_complete()),
    "connect/bad option": lambda c, value: c.connect(bogus=value),
    "connect+disconnect": lambda c: (c.connect(), c.disconnect()),
    "begin+begin+rollback+commit": lambda c: (c.begin(), c.begin(), c.rollback(), c.commit()),
    # revert closes the level; the transaction it left open is ended by hand
    "begin+put+revert": lambda c, where, data: (c.begin(), c.put(where, data), c.revert(), c.execute("ROLLBACK")),
    "begin+put/duplicate+rollback": put_rolled_back,
}
CASES = [(name, arguments, error) for error, group in {  # error of every call: {"member/variant": arguments}
    None: {"_savepoint_name": "idle", "__init__": "flag", "table_schema_manager": "idle", "_default_envs": "idle",
        "_build_insert_statement": "idle table data", "_build_delete_statement": "idle table data",
        "process_value_before_insert": "idle text kind", "_paginate_items": "idle items page",
        "_paginate_items/cursor": "idle items cursor",
        "_nested_filter_statement": "idle field keys icontains text str",
        "_nested_filter_statement/latest": "idle address_field version_key eq latest_marker versions",
        "_resolve_nested_field_name/typed": "field keys",
        "_select_with_internal_meta_statement": "idle table select_list cond page order",
        "_build_group_by_statement": "idle order", "_build_select_statement/joined": "idle table qs cond page order",
        "_build_select_statement": "idle table qs cond page order",
        "_add_revert_data+on_transaction_complete": "idle new data", "_describe_table": "live table",
        "execute": "live select text", "_describe_table/missing": "live missing",
        "query": "live every qs cond page order", "_query": "live table qs cond page order",
        "count": "live every cond", "_delete": "live new", "begin+begin+rollback+commit": "live",
        "begin+put+revert": "live new data", "prepare_connection": "live", "connect+disconnect": "spare"},
    VelmorConnectionError: {"_build_select_statement/cursor": "idle table qs cond cursor",
        "revert/not supported": "norevert", "execute/not connected": "idle select text",
        "disconnect/not connected": "idle", "connect/already": "live",
        "_describe_table/not connected": "idle missing", "_delete/symbolic version": "live latest",
        "query/not connected": "idle every", "count/not connected": "idle every",
        "prepare_connection/not connected": "idle", "execute/failing": "live failing text",
        "query/failing": "live every none bad_cond", "query/cursor": "live every none none cursor",
        "count/failing": "live every bad_cond", "begin+put/duplicate+rollback": "live stored data"},
    TypeError: {"_build_insert_statement": "idle raw data", "_build_delete_statement": "idle table listed",
        "process_value_before_insert": "idle text raw", "_nested_filter_statement": "idle field raw eq text str",
        "_resolve_nested_field_name": "idle raw keys", "_select_with_internal_meta_statement": "idle table raw",
        "_build_select_statement": "idle raw", "_add_revert_data": "idle new listed", "execute/bytes": "live raw",
        "_describe_table": "live raw", "put": "live new listed"},
    IndexError: {"_add_revert_data": "idle new data", "commit": "idle", "rollback": "idle", "revert": "idle",
        "put": "idle new data"},
    AttributeError: {"_build_group_by_statement": "idle bad_order"},
    psycopg2.ProgrammingError: {"connect/bad option": "idle text"},
}.items() for name, arguments in group.items()]
WEIGHTS = {  # members that reach the server run fewer times; all others have weight PURE
    "execute": DB, "execute/failing": DB, "query": DB, "query/failing": DB, "query/cursor": DB, "_query": DB,
    "count": DB, "count/failing": DB, "_delete": DB, "begin+begin+rollback+commit": DB,
    "_describe_table/missing": HEAVY, "begin+put+revert": HEAVY, "begin+put/duplicate+rollback": HEAVY,
    "prepare_connection": HEAVY, "connect+disconnect": CONNECT,
}


def snapshot():
    gc.collect()
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * PAGE_SIZE
    return len(gc.get_objects()), resident


@pytest.mark.parametrize("name, names, error", CASES, ids=[f"{n}-{e.__name__ if e else 'ok'}" for n, _, e in CASES])
def test_member_keeps_objects_memory_and_reference_counts_flat(env, name, names, error):
    arguments = [getattr(env, argument) for argument in names.split()]
    if name in HELPERS:
        function = HELPERS[name]
    else:
        function, arguments = getattr(arguments[0], name.split("/")[0]), arguments[1:]
    calls = max(CALLS // WEIGHTS.get(name, PURE), 1)

    def loop(times):
        for _ in range(times):
            try:
                function(*arguments)
            except error or ():
                continue
            assert error is None, f"{name} did not raise {error.__name__}"

    loop(1)  # first-use caches, such as the table description memo
    objects = [x for a in arguments for x in (a, *(a.values() if type(a) is dict else a if type(a) is list else ()))
               if x is not None and not isinstance(x, (bool, type))]  # shared singletons move on their own
    counts = [sys.getrefcount(x) for x in objects]
    loop(min(1000, calls))
    assert [sys.getrefcount(x) for x in objects] == counts
    objects_before, memory_before = snapshot()
    loop(calls)
    objects_after, memory_after = snapshot()
    print(f"{name} ({error.__name__ if error else 'ok'}): {calls} calls, objects {objects_before} -> {objects_after}, "
          f"resident {memory_before} -> {memory_after} bytes")
    assert objects_after - objects_before < 1000
    assert memory_after - memory_before < 1 << 20


@pytest.mark.parametrize("close", [True, False], ids=["disconnected", "still connected"])
def test_unreferenced_instance_is_freed(env, close):
    instance = PostgresHistoricalConnection()
    instance.connect()
    instance.prepare_connection()
    instance._describe_table(env.table)
    instance._describe_table(env.missing)
    assert [item["name"] for item in instance.query(env.every, env.qs, env.cond, env.page, env.order)] == ["stored"]
    assert instance.count(env.every, env.cond) == 1
    put_rolled_back(instance, env.new, env.data)
    driver = weakref.ref(instance._connection)
    if close:
        instance.disconnect()
    freed = weakref.ref(instance)
    del instance
    gc.collect()
    assert (freed(), driver()) == (None, None)


def test_statement_constants_keep_their_reference_counts(connection):
    """The fixed texts the module sends are built once: sending them takes no reference it keeps."""
    texts = ("BEGIN", "COMMIT", "ROLLBACK", "")

    def each_fixed_text():
        connection.begin()
        connection.begin()
        connection.rollback()
        connection.commit()
        connection.begin()
        connection.rollback()
        connection.process_value_before_insert(True, "json")
        connection._resolve_nested_field_name("_address", "other")

    each_fixed_text()  # the module builds its constants on first use
    before = [sys.getrefcount(text) for text in texts]
    for _ in range(1000):
        each_fixed_text()
    assert [sys.getrefcount(text) for text in texts] == before
