"""The interpreter's own edges: subinterpreters, allocation failure, deep recursion, and a
weak-reference callback outliving its module. Each runs in a child process, so that a hang
or an abort fails the test instead of taking the suite down."""

import json
import os
import subprocess
import sys
import textwrap
import uuid

import pytest

pytest.importorskip("_testcapi")

PRELUDE = """
import json, os, sys
import psycopg2
from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService
from velmor_utils.models.data_models.address import Address
from velmor_utils.models.enums import Versions
from velmor_utils.query.utils import Q

COLUMNS = {"name": "text", "size": "integer", "data": "json"}

def address(class_name, object_id, version):
    return Address(class_name=class_name, object_id=object_id, object_version=version, class_version=1)

def connected(class_name=None):
    db = PostgresHistoricalConnection()
    db.connect()
    db.prepare_connection()
    if class_name:
        PostgresHistoricalTableSchemaService(db).create_object_table(class_name, 1, COLUMNS)
    return db

def write(db, where, data):
    meta = Address(class_name="metadata", object_id=f"{where.class_name}/{where.object_id}@{where.object_version}",
                   object_version=where.object_version)
    db.put(where, data)
    db.put(meta, {"address": {"object_id": where.object_id, "object_version": where.object_version},
                  "prior_version": None, "class_schema_type": where.class_name, "is_deleted": False})
"""


def run_child(code, prelude=PRELUDE, timeout=300):
    """Runs prelude + code in a fresh interpreter; returns its stdout (it must exit 0)."""
    result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout, env=os.environ.copy())
    assert result.returncode == 0, result.stderr[-4000:]
    return result.stdout


@pytest.fixture
def child_env(db_env):
    return db_env


SCENARIO = """
def scenario(class_name):
    seen = []
    try:
        PostgresHistoricalConnection().execute("SELECT 1")
    except VelmorConnectionError as error:
        seen.append(list(error.args))
    db = connected(class_name)
    db.begin()
    write(db, address(class_name, class_name, "1"), {"name": "first", "size": 1, "data": {"k": [1]}})
    db.commit()
    latest = Q(_address__object_version=Versions.LATEST)
    seen.append([item["name"] for item in db.query(address(class_name, class_name, "1"), conditions=latest)])
    seen.append(db.count(address(class_name, class_name, "1"), conditions=latest))
    db.disconnect()
    return seen
"""


OWN_GIL = pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
REFUSED = ["ImportError", "module velmor_data.connections.implementations.postgresql_history does not support "
           "loading in subinterpreters"]


@pytest.mark.parametrize("order", [("main", "sub"), ("sub", "main"), ("sub", "sub"),
                                   pytest.param(("own", "main", "sub"), marks=OWN_GIL)])
def test_every_interpreter_gets_the_same_behaviour(child_env, order, tmp_path):
    # psycopg2 (a single-phase module) loads in a subinterpreter only once the main
    # interpreter has it, and its JSON typecasters are process-wide: each interpreter
    # registers its own before reading. The module itself may come first anywhere. An
    # interpreter with a GIL of its own refuses it, and the others are none the worse.
    outputs, code = [], ["import _testcapi, json, psycopg2"]
    for n, where in enumerate(order):
        class_name, out = f"i{uuid.uuid4().hex[:10]}", tmp_path / f"{n}.json"
        step = (PRELUDE + "import psycopg2.extras\npsycopg2.extras.register_default_json(globally=True)\n" + SCENARIO
                + f"open({str(out)!r}, 'w').write(json.dumps(scenario({class_name!r})))")
        # Nothing is imported in the main interpreter before its own step runs.
        code.append(f"exec({step!r}, {{}})" if where == "main" else f"assert _testcapi.run_in_subinterp({step!r}) == 0"
                    if where == "sub" else textwrap.dedent(f"""\
                        from concurrent import interpreters
                        own = interpreters.create()
                        try:
                            own.exec("import velmor_data.connections.implementations.postgresql_history")
                        except interpreters.ExecutionFailed as failed:
                            open({str(out)!r}, 'w').write(json.dumps([failed.excinfo.type.__name__, failed.excinfo.msg]))
                        own.close()"""))
        outputs.append(out)
    run_child("\n".join(code), prelude="")
    expected = [["Connection not established"], ["first"], 1]
    assert [json.loads(out.read_text()) for out in outputs] == [REFUSED if where == "own" else expected for where in order]


def test_the_first_error_of_a_process_can_be_a_recursion_error(child_env):
    out = run_child("""
        class Deep(PostgresHistoricalConnection):
            def _savepoint_name(self):
                self.begin()
        db = Deep()
        db._revert_data.append([])  # nested: begin asks for a savepoint name, which begins again
        try:
            db.begin()
        except RecursionError as error:
            print(type(error).__name__)
    """)
    assert out == "RecursionError\n"


def test_a_table_description_callback_outliving_its_module_does_nothing(child_env):
    out = run_child("""
        import gc, importlib, weakref
        name = "velmor_data.connections.implementations.postgresql_history"

        class Cursor:
            def fetchall(self):
                return [("a", "text")]

        def described():
            module = importlib.import_module(name)
            class Offline(module.PostgresHistoricalConnection):
                def execute(self, query, *args):
                    return Cursor()
            instance = Offline()
            instance._describe_table("t")
            return instance, weakref.getweakrefs(instance)[0].__callback__

        instance, callback = described()
        callback(None)
        del sys.modules[name]
        instance, again = described()  # a second import, with a state of its own
        del instance
        gc.collect()
        callback(None), again(None), callback(None)
        print("silent")
    """)
    assert out == "silent\n"


# A background thread still inside a member when the program returns: from 3.11 to 3.13 the
# interpreter ends it with pthread_exit at finalization, unwinding the member's frames.
DAEMON = """
import threading, time
db = PostgresHistoricalConnection()
db.connect()
where = Address(class_name="metadata", object_id=f"daemon {{os.getpid()}}", object_version="1")
def loop():
    i = 0
    while True:
        {body}
        i += 1
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("body", ["db.execute('SELECT %s', i)",
                                  "db.begin(); db.put(where, {'address': {'object_id': 'd', 'object_version': '1'}});"
                                  " db.revert(); db.execute('ROLLBACK')"])
def test_a_daemon_thread_inside_a_member_lets_the_process_exit(connection, body):
    runs = [subprocess.Popen([sys.executable, "-c", PRELUDE + DAEMON.format(body=body)], stderr=subprocess.PIPE,
                             env=os.environ.copy()) for _ in range(20)]
    assert [(run.wait(timeout=120), run.stderr.read()[-2000:]) for run in runs] == [(0, b"")] * 20


def test_imports_past_the_interpreters_dict_watchers_read_their_globals_as_they_are(child_env):
    # From 3.12 each import counts its globals' changes with a dict watcher while the interpreter has one to spare.
    out = run_child("""
        import importlib
        name, imports = "velmor_data.connections.implementations.postgresql_history", []
        for n in range(12):
            del sys.modules[name]
            imports.append(importlib.import_module(name))
            imports[-1].PostgresHistoricalConnection._resolve_nested_field_name("data", "a")  # a snapshot of the names
        for n, module in enumerate(imports):
            module.MODEL_TABLE_ALIAS = f"m{n}"
        print([m.PostgresHistoricalConnection._resolve_nested_field_name("data", "a").split(".")[0] for m in imports])
    """)
    assert out == repr([f"trim('\"' FROM cast(m{n}" for n in range(12)]) + "\n"


SWEEP = """
import _testcapi
import json.decoder, json.scanner, psycopg2.extras
from velmor_data.connections.implementations import postgresql_history as module

# psycopg2 decodes json columns with json's C scanner, which 3.13 crashes in when one of its
# own allocations fails: the sweep has the driver decode with json's pure-Python scanner.
decoder = json.decoder.JSONDecoder()
decoder.parse_string = json.decoder.py_scanstring
decoder.scan_once = json.scanner.py_make_scanner(decoder)
psycopg2.extras.register_default_json(globally=True, loads=decoder.decode)
psycopg2.extras.register_default_jsonb(globally=True, loads=decoder.decode)

class_name, allocator = sys.argv[1:]
if allocator == "python":
    fail_at, stop_failing = (lambda k: _testcapi.set_nomemory(k, k + 1)), _testcapi.remove_mem_hooks
else:  # the module's test twin: its k-th C++ allocation (operator new) from now on throws bad_alloc
    import ctypes
    fail_at = ctypes.CDLL(module.__file__).velmor_fail_cxx_allocation
    stop_failing = lambda: fail_at(-1)
observer = psycopg2.connect(host=os.environ["POSTGRES_HOST"], port=os.environ.get("POSTGRES_PORT", 5432),
                            user=os.environ["POSTGRES_USER"], dbname=os.environ["POSTGRES_DATABASE"])
observer.autocommit = True
db = connected(class_name)
X = address(class_name, class_name, "1")
table = db.table_schema_manager.resolve_table_name(X)
db.begin()
write(db, X, {"name": "kept", "size": 7, "data": [1, {"a": None}]})
db.commit()

def committed():
    with observer.cursor() as cursor:
        cursor.execute(f'SELECT name FROM "{table}" ORDER BY 1')
        return [name for (name,) in cursor.fetchall()]

def acceptable(error):
    # MemoryError itself, or the statement error execute wraps around the driver's.
    if isinstance(error, (MemoryError, Harness)):
        return True
    causes = (MemoryError, psycopg2.Error) if allocator == "python" else ()  # the driver has no C++
    return isinstance(error, VelmorConnectionError) and isinstance(error.__cause__, causes)

# The failed allocation came after the operation returned, in this harness's own frame,
# where 3.11's eval loop can lose the error it was unwinding.
class Harness(Exception):
    pass

def faulted(k, call, *args):
    fail_at(k)
    try:
        result = call(*args)
    except BaseException as error:
        stop_failing()
        frames, tb = [], error.__traceback__
        while tb:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        lost = allocator == "python" and isinstance(error, SystemError) and frames == ["faulted"]
        return None, Harness() if lost else error
    stop_failing()
    return result, None

def end_transaction():
    if db._connection.info.transaction_status != psycopg2.extensions.TRANSACTION_STATUS_IDLE:
        db.execute("ROLLBACK")
    db._revert_data.clear(), db._savepoints.clear()

def put_over_committed(k):
    db.begin()
    _, error = faulted(k, db.put, X, {"name": "again", "size": 1, "data": None})
    plain = isinstance(error, VelmorConnectionError) and isinstance(error.__cause__, psycopg2.IntegrityError)
    assert plain or acceptable(error), repr(error)
    assert db._revert_data == [[]], db._revert_data
    db.revert()
    db.execute("COMMIT")  # whatever the revert left in the transaction is kept
    assert committed() == ["kept"]
    return plain

def revert_a_write(k):
    db.begin()
    db.put(address(class_name, "y" + class_name, "1"), {"name": "undone"})
    _, error = faulted(k, db.revert)
    assert error is None or acceptable(error), repr(error)
    assert db._is_revert_enabled is True
    end_transaction()
    assert committed() == ["kept"]
    return error is None

LATEST = Q(_address__object_version=Versions.LATEST)
expected_query = db.query(X, conditions=LATEST)
assert [item["name"] for item in expected_query] == ["kept"]
def read(call, expected):
    def attempt(k):
        result, error = faulted(k, call)
        assert error is None or acceptable(error), repr(error)
        assert error is not None or result == expected, result
        end_transaction()
        assert call() == expected
        return error is None
    return attempt

builders = [
    lambda: db._build_insert_statement("t", {"a": 1, "b": "x", "c": None}),
    lambda: db._build_delete_statement("t", {"a": 1, "b": "x"}),
    lambda: db._build_select_statement(table, None, LATEST, module.NumberPaginator(limit=5, offset=1), None,
                                       use_internal_meta_tables=True),
    lambda: db._build_group_by_statement([module.OrderBy(field_name="data__a")]),
    lambda: db._resolve_nested_field_name("data", "a__b", value_type=int),
    lambda: db.process_value_before_insert("text", "json"),
]
operations = {
    "put": put_over_committed,
    "revert": revert_a_write,
    "query": read(lambda: db.query(X, conditions=LATEST), expected_query),
    "count": read(lambda: db.count(X, conditions=LATEST), db.count(X, conditions=LATEST)),
    **{f"builder {n}": read(build, build()) for n, build in enumerate(builders)},
}
swept = {}
for name, attempt in operations.items():
    k, clean = 0, 0
    # Past the last allocation an operation makes, every k gives its plain outcome.
    while clean < 60:
        clean = clean + 1 if attempt(k) else 0
        k += 1
        assert k < 20000, name
    swept[name] = k
print(json.dumps(swept))
"""


# C++'s allocations fail in the module's test twin (CMakeLists.txt). Python's are failed on the fast
# paths only: off them, put's data goes through copy.deepcopy, whose dict item iterator 3.13 crashes
# in when its allocation fails (CPython issue 152107).
@pytest.mark.parametrize("allocator, fast_paths", [("python", "on"), ("c++", "on"), ("c++", "off")])
def test_every_allocation_failure_is_a_memory_error_and_loses_nothing(child_env, allocator, fast_paths):
    env = dict(os.environ, VELMOR_FAST_PATHS="1" if fast_paths == "on" else "0")
    if allocator == "c++":  # the scripts name the twin's staging tree
        env["PYTHONPATH"] = env.get("VELMOR_FAULTS_PYTHONPATH") or pytest.skip("VELMOR_FAULTS_PYTHONPATH is not set")
    class_name = f"m{uuid.uuid4().hex[:10]}"
    result = subprocess.run([sys.executable, "-c", PRELUDE + SWEEP, class_name, allocator], capture_output=True,
                            text=True, timeout=900, env=env)
    assert result.returncode == 0, result.stderr[-4000:]
    swept = json.loads(result.stdout)
    assert sorted(swept) == sorted(["put", "revert", "query", "count"] + [f"builder {n}" for n in range(6)])
