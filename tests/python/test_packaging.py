"""What pip installs: the module's wheel holds the extension module and, as a partial stub-only
package, its stub, so that installing it beside a host package and uninstalling it again leaves
every host file as it was, and type checkers read the stub there; and the stub agrees with the
built module (mypy's stubtest). No database needed."""

import csv
import importlib
import importlib.metadata
import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

from velmor_data.connections.implementations import postgresql_history as module

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "binding" / "postgresql_history.pyi"
MODULE_DIR = "velmor_data/connections/implementations"
STUB_FILE = "velmor_data-stubs/connections/implementations/postgresql_history.pyi"
MODULE_FILES = {f"{MODULE_DIR}/postgresql_history{sysconfig.get_config_var('EXT_SUFFIX')}",
                "velmor_data-stubs/py.typed", STUB_FILE}
HOST_PACKAGES = ("velmor_data", "velmor_utils")

# The sanitizer run preloads its runtime into every child process, the compiler included;
# these checks do not depend on the build they run beside, and the plain run makes them.
pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_UNDER_SANITIZER")),
                                reason="packaging checks run in the plain (unsanitized) run")


def run(command, returncodes=(0,), **keywords):
    """Runs a command away from the suite's PYTHONPATH (build tree and host/); its stdout."""
    env = {key: value for key, value in os.environ.items() if not key.startswith(("PYTHON", "PIP_"))}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", **keywords.pop("env", {}))
    result = subprocess.run([str(part) for part in command], env=env, capture_output=True, text=True,
                            **keywords)
    assert result.returncode in returncodes, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def _source_only(directory, names):
    # Build trees, wheels, environments and caches; pip builds in the tree it is given.
    top = pathlib.Path(directory) in (ROOT, ROOT / "host")
    return [name for name in names
            if name in ("__pycache__", ".git", ".pytest_cache", ".hypothesis") or name.endswith(".egg-info")
            or (top and (name.startswith("build") or name in ("dist", "venv", ".venv")))]


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    """The module's wheel and the stand-in host's, built once from a copy of the source tree."""
    work = tmp_path_factory.mktemp("packaging")
    source, out = work / "source", work / "wheels"
    shutil.copytree(ROOT, source, ignore=_source_only)
    built = {}
    for name, project in (("module", source), ("host", source / "host")):
        before = set(out.glob("*.whl"))
        run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
             "-w", out, project], cwd=work)
        (built[name],) = set(out.glob("*.whl")) - before
    return built


def test_wheel_holds_only_the_module_and_its_stub(wheels):
    with zipfile.ZipFile(wheels["module"]) as wheel:
        names = wheel.namelist()
        assert {name for name in names if ".dist-info/" not in name} == MODULE_FILES
        assert wheel.read(STUB_FILE) == STUB.read_bytes()
        assert wheel.read("velmor_data-stubs/py.typed") == b"partial\n"
    (metadata,) = {name.split("/")[0] for name in names if ".dist-info/" in name}
    assert metadata.startswith("velmor_postgresql_history-")


def recorded(site, distribution):
    """The files pip recorded for an installed distribution, relative to site-packages."""
    (record,) = site.glob(f"{distribution}-*.dist-info/RECORD")
    with record.open(newline="") as lines:
        return {pathlib.PurePath(os.path.normpath(row[0])).as_posix() for row in csv.reader(lines) if row}


def files_under(site):
    return {path.relative_to(site).as_posix() for path in site.rglob("*")
            if path.is_file() and "__pycache__" not in path.parts}


PROBE = """
import json, os, velmor_data
from velmor_data.connections.historical_base import HistoricalConnectionBase
from velmor_data.connections.implementations import postgresql_history as module
connection = module.PostgresHistoricalConnection()
print(json.dumps({"module": os.path.realpath(module.__file__), "host": os.path.realpath(velmor_data.__file__),
                  "is_host_connection": isinstance(connection, HistoricalConnectionBase),
                  "connected": connection._connection is not None}))
"""


def virtual_environment(venv):
    """Makes a venv that sees Debian's packages (psycopg2, mypy); its python, site-packages and pip."""
    if importlib.util.find_spec("ensurepip") is None:
        pytest.skip("python3-venv is not installed: Debian's venv module has no pip without it")
    # Debian's psycopg2 comes from the system; the host and the module go into the venv itself.
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    python = venv / "bin" / "python"
    site = pathlib.Path(run([python, "-I", "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"])
                        .strip()).resolve()
    return python, site, [python, "-I", "-m", "pip"]


def test_install_beside_the_host_and_uninstall_touch_no_host_file(wheels, tmp_path):
    python, site, pip = virtual_environment(tmp_path / "venv")
    run(pip + ["install", "--no-deps", "--no-index", wheels["host"]], cwd=tmp_path)
    host_files = recorded(site, "velmor_host_standin")
    assert {path.split("/")[0] for path in host_files if ".dist-info" not in path} == set(HOST_PACKAGES)

    def host_bytes():
        return {path: (site / path).read_bytes() for path in host_files}

    host, before = host_bytes(), files_under(site)

    run(pip + ["install", "--no-deps", "--no-index", wheels["module"]], cwd=tmp_path)
    module_files = recorded(site, "velmor_postgresql_history")
    assert {path for path in module_files if ".dist-info" not in path} == MODULE_FILES
    assert files_under(site) == before | module_files and not before & module_files
    assert host_bytes() == host
    probe = json.loads(run([python, "-I", "-B", "-c", PROBE], cwd=tmp_path))
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert probe == {"module": str(site / MODULE_DIR / f"postgresql_history{suffix}"),
                     "host": str(site / "velmor_data" / "__init__.py"),
                     "is_host_connection": True, "connected": False}

    run(pip + ["uninstall", "--yes", "velmor-postgresql-history"], cwd=tmp_path)
    assert files_under(site) == before
    assert host_bytes() == host


# A user's script with four planted mistakes, for pyright; CORRECTIONS mends each.
MISTAKES = """\
from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_utils.models.data_models.address import Address

db = PostgresHistoricalConnection()
db.connect()
mars = Address(class_name="Planet", class_version=1, object_id="mars", object_version="1")
db.begin()
db.put("Planet", {"name": "Mars"})
db.comit()
total: str = db.count(mars)
db.query(mars, limit=10)
"""
CORRECTIONS = (('db.put("Planet",', "db.put(mars,"), ("db.comit()", "db.commit()"), ("total: str", "total: int"),
               ("limit=10", "order_by=None"))
PYRIGHT_VERSION = "1.1.414"  # the one scripts/lib.sh installs

# An inventory script with fifteen planted mistakes, for mypy: its imports, then its lines, each
# a plain line or (line, mistake, mend, caught by the stub alone, mypy's report with a typed host).
IMPORTS = [("velmor_data.connections.implementations.postgresql_history", "PostgresHistoricalConnection"),
           ("velmor_data.table_schemas.implementations.postgresql_history", "PostgresHistoricalTableSchemaService"),
           ("velmor_utils.models.data_models.address", "Address"), ("velmor_utils.models.enums", "Versions"),
           ("velmor_utils.query.data_models.order_by", "OrderBy"),
           ("velmor_utils.query.data_models.paginator", "NumberPaginator"), ("velmor_utils.query.utils", "Q")]
ARGUMENT = 'Argument {} has incompatible type "{}"; expected "{}"  [arg-type]'
PLANTED = [
    ('db = PostgresHistoricalConnection(is_revert_supported="no")', '"no"', "False", True,
     ARGUMENT.format('"is_revert_supported" to "PostgresHistoricalConnection"', "str", "bool")),
    "db.connect()",
    "schema = PostgresHistoricalTableSchemaService(db)",
    ('schema.create_object_table("Product", "1", {"name": "text"})', '"1", {', "1, {", False,
     ARGUMENT.format('2 to "create_object_table" of "PostgresHistoricalTableSchemaService"', "str", "int")),
    ('bolt = Address(class_name="Product", class_version="1", object_id="Product:1")', 'version="1"', "version=1",
     False, ARGUMENT.format('"class_version" to "Address"', "str", "int | None")),
    "db.begin()",
    ('db.put("Product", {"name": "bolt"})', '"Product",', "bolt,", False,
     ARGUMENT.format('1 to "put" of "PostgresHistoricalConnection"', "str", "Address")),
    ("db.comit()", "comit", "commit", False,
     '"PostgresHistoricalConnection" has no attribute "comit"; maybe "commit"?  [attr-defined]'),
    "products = Address(class_name=\"Product\", class_version=1)",
    ("latest = Q(_address__object_version=Versions.LATES)", "LATES)", "LATEST)", False,
     '"type[Versions]" has no attribute "LATES"  [attr-defined]'),
    ("total: str = db.count(products, latest)", "str", "int", True,
     'Incompatible types in assignment (expression has type "int", variable has type "str")  [assignment]'),
    ('db.count(products, {"name": "bolt"})', '{"name": "bolt"}', 'Q(name="bolt")', False,
     ARGUMENT.format('2 to "count" of "PostgresHistoricalConnection"', "dict[str, str]", "Q | None")),
    ("db.query(products, limit=10)", "limit=10", "pagination=NumberPaginator(10)", True,
     'Unexpected keyword argument "limit" for "query" of "PostgresHistoricalConnection"  [call-arg]\n'
     '{stub}: note: "query" of "PostgresHistoricalConnection" defined here'),
    ("db.query(products, pagination=5)", "5", "NumberPaginator(offset=5)", False,
     ARGUMENT.format('"pagination" to "query" of "PostgresHistoricalConnection"', "int",
                     "NumberPaginator | CursorPaginator | None")),
    ('db.query(products, pagination=NumberPaginator(limit="10"))', '"10"', "10", False,
     ARGUMENT.format('"limit" to "NumberPaginator"', "str", "int | None")),
    ('db.query(products, order_by=OrderBy("name"))', 'OrderBy("name")', '[OrderBy("name")]', False,
     ARGUMENT.format('"order_by" to "query" of "PostgresHistoricalConnection"', "OrderBy", "list[OrderBy] | None")),
    ('db.query(products, order_by=[OrderBy("name", "descending")])', "descending", "desc", False,
     ARGUMENT.format('2 to "OrderBy"', "Literal['descending']", "Literal['asc', 'desc'] | OrderDirection")),
    ("print(bolt.class_verison)", "verison", "version", False,
     '"Address" has no attribute "class_verison"; maybe "class_version"?  [attr-defined]'),
    "for item in db.query(products, conditions=latest):",
    ("    print(item.name)", "item.name", 'item["name"]', True, '"dict[str, Any]" has no attribute "name"  [attr-defined]'),
]
# How mypy before 1.4 (Debian 12 has 1.0) writes the types above.
OLD_TYPE_NAMES = {"int | None": "Optional[int]", "type[Versions]": "Type[Versions]", "dict[str, ": "Dict[str, ",
                  "Q | None": "Optional[Q]", "NumberPaginator | CursorPaginator | None":
                  "Union[NumberPaginator, CursorPaginator, None]", "list[OrderBy] | None": "Optional[List[OrderBy]]",
                  "Literal['asc', 'desc'] | OrderDirection": "Union[OrderDirection, Literal['asc', 'desc']]"}
FIRST_PLANTED = len(IMPORTS) + 2  # the number of the first planted line


def planted_script():
    """The planted script's text and its corrections."""
    lines = [f"from {module} import {name}" for module, name in IMPORTS] + [""]
    lines += [row if isinstance(row, str) else row[0] for row in PLANTED]
    corrections = [(row[0], row[0].replace(row[1], row[2])) for row in PLANTED if not isinstance(row, str)]
    return "\n".join(lines) + "\n", corrections


def user_scripts(directory, script=MISTAKES, corrections=CORRECTIONS):
    """Writes the script, as mistakes.py, and the script with its corrections, as corrected.py, into directory."""
    corrected = script
    for wrong, right in corrections:
        assert corrected.count(wrong) == 1
        corrected = corrected.replace(wrong, right)
    directory.mkdir()
    (directory / "mistakes.py").write_text(script)
    (directory / "corrected.py").write_text(corrected)
    return directory


@pytest.fixture(scope="module")
def user_environment(wheels, tmp_path_factory):
    """A venv with the stand-in and the module installed as the README says; its python and site-packages."""
    work = tmp_path_factory.mktemp("checkers")
    python, site, pip = virtual_environment(work / "venv")
    run(pip + ["install", "--no-deps", "--no-index", wheels["host"], wheels["module"]], cwd=work)
    return work, python, site


def mypy_version():
    # 1.7 split the code of an import without type information off "import".
    return tuple(int(part) for part in importlib.metadata.version("mypy").split(".")[:2])


def test_mypy_reads_the_installed_stub(user_environment):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (Debian: python3-mypy)")
    work, python, site = user_environment
    untyped = "import-untyped" if mypy_version() >= (1, 7) else "import"
    query = next(number for number, line in enumerate(STUB.read_text().splitlines(), 1)
                 if line.startswith("    def query("))
    reports = []  # (caught by the stub alone, mypy's lines), in line order
    for number, row in enumerate(PLANTED, FIRST_PLANTED):
        if not isinstance(row, str):
            report = f"mistakes.py:{number}: error: " + row[4].format(stub=f"{site}/{STUB_FILE}:{query}")
            for new, old in OLD_TYPE_NAMES.items() if mypy_version() < (1, 4) else ():
                report = report.replace(new, old)
            if mypy_version() >= (2, 0):  # mypy 2 names the defining module at the call, not the stub's line
                report = report.replace(f'{site}/{STUB_FILE}:{query}: note: "query" of "PostgresHistoricalConnection" '
                                        'defined here', f'mistakes.py:{number}: note: "query" defined in "{module.__name__}"')
            reports.append((row[3], report.splitlines()))

    def mypy(directory, script):
        # No options, as a user runs it; a fresh directory, so no cache of another run.
        return run([python, "-I", "-m", "mypy", script], returncodes=(0, 1), cwd=directory).splitlines()

    # The stand-in is typed (py.typed): every mistake is reported, and the corrected script passes.
    typed = user_scripts(work / "typed", *planted_script())
    assert mypy(typed, "mistakes.py") == [line for _, lines in reports for line in lines] + [
        "Found 15 errors in 1 file (checked 1 source file)"]
    assert mypy(typed, "corrected.py") == ["Success: no issues found in 1 source file"]
    # A host not marked typed: mypy still reads the module's stub and checks calls against it, but
    # skips the host's modules, whose types (the connection's host base classes among them) are Any.
    markers = [site / package / "py.typed" for package in HOST_PACKAGES]
    try:
        for marker in markers:
            marker.unlink()
        skipped = [f'mistakes.py:{number}: error: Skipping analyzing "{module}": module is installed, but missing '
                   f"library stubs or py.typed marker  [{untyped}]" for number, (module, _) in enumerate(IMPORTS, 1)][1:]
        assert mypy(user_scripts(work / "unmarked", *planted_script()), "mistakes.py") == [
            skipped[0], "mistakes.py:2: note: See https://mypy.readthedocs.io/en/stable/running_mypy.html#missing-imports",
            *skipped[1:], *[line for stub, lines in reports if stub for line in lines],
            "Found 10 errors in 1 file (checked 1 source file)"]
    finally:
        for marker in markers:
            marker.write_text("")


def test_pyright_reads_the_installed_stub(user_environment):
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed (scripts/lib.sh installs it from npm)")
    found = run([pyright, "--version"]).strip()
    if found != f"pyright {PYRIGHT_VERSION}":
        pytest.skip(f"{found} is installed; the messages expected here are pyright {PYRIGHT_VERSION}'s")
    work, python, _ = user_environment
    scripts = user_scripts(work / "pyright")
    # No configuration: pyright takes the environment's interpreter from PATH, as once activated.
    # pyright reads the typed stand-in as well, and so reports every mistake.
    report = json.loads(run([pyright, "--outputjson", "mistakes.py", "corrected.py"], returncodes=(1,),
                            cwd=scripts, env={"PATH": f"{python.parent}{os.pathsep}{os.environ['PATH']}"}))
    assert report["summary"]["filesAnalyzed"] == 2
    # pyright indents a message's second line with two no-break spaces.
    assert [f"{pathlib.Path(item['file']).name}:{item['range']['start']['line'] + 1}:"
            f"{item['range']['start']['character'] + 1} - {item['severity']}: {item['message']} ({item['rule']})"
            for item in report["generalDiagnostics"]] == [
        'mistakes.py:8:8 - error: Argument of type "Literal[\'Planet\']" cannot be assigned to parameter "address" '
        'of type "Address" in function "put"\n\u00a0\u00a0"Literal[\'Planet\']" is not assignable to "Address"'
        " (reportArgumentType)",
        'mistakes.py:9:4 - error: Cannot access attribute "comit" for class "PostgresHistoricalConnection"\n'
        '\u00a0\u00a0Attribute "comit" is unknown (reportAttributeAccessIssue)',
        'mistakes.py:10:14 - error: Type "int" is not assignable to declared type "str"\n'
        '\u00a0\u00a0"int" is not assignable to "str" (reportAssignmentType)',
        'mistakes.py:11:16 - error: No parameter named "limit" (reportCallIssue)',
    ]


def test_stub_matches_the_built_module(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (Debian: python3-mypy)")
    if not any((pathlib.Path(entry) / "psycopg2-stubs").is_dir() for entry in sys.path if entry):
        pytest.skip("psycopg2's type stubs are not installed (Debian: python3-typeshed)")
    # mypy takes a package from the first directory that has it and does not follow the
    # host's pkgutil.extend_path: lay the host, the module and the stub out as installed.
    site = tmp_path / "site"
    for package in HOST_PACKAGES:
        origin = pathlib.Path(importlib.import_module(package).__file__).parent
        shutil.copytree(origin, site / package, ignore=shutil.ignore_patterns("__pycache__"))
    # The stand-in's annotations pass mypy's strictest mode (it exits 0).
    run([sys.executable, "-m", "mypy", "--strict", "-p", "velmor_data", "-p", "velmor_utils"], cwd=site)
    shutil.copy(module.__file__, site / MODULE_DIR)
    shutil.copy(STUB, site / MODULE_DIR)
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", module.__name__],
                            cwd=site, env={**os.environ, "PYTHONPATH": str(site)}, capture_output=True, text=True)
    reports = [line for line in result.stdout.splitlines() if line.strip()]
    assert result.returncode in (0, 1) and reports == [], result.stdout + result.stderr
