"""What pip installs: the module's wheel holds the extension module and its stub alone, so that
installing it beside a host package and uninstalling it again leaves every host file as it was;
and the stub agrees with the built module (mypy's stubtest). No database needed."""

import csv
import importlib
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
MODULE_FILES = {f"{MODULE_DIR}/postgresql_history{sysconfig.get_config_var('EXT_SUFFIX')}",
                f"{MODULE_DIR}/postgresql_history.pyi"}
HOST_PACKAGES = ("velmor_data", "velmor_utils")

# The sanitizer run preloads its runtime into every child process, the compiler included;
# these checks do not depend on the build they run beside, and the plain run makes them.
pytestmark = pytest.mark.skipif(bool(os.environ.get("VELMOR_UNDER_SANITIZER")),
                                reason="packaging checks run in the plain (unsanitized) run")


def run(command, **keywords):
    """Runs a command away from the suite's PYTHONPATH (build tree and host/); its stdout."""
    env = {key: value for key, value in os.environ.items() if not key.startswith(("PYTHON", "PIP_"))}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", **keywords.pop("env", {}))
    result = subprocess.run([str(part) for part in command], env=env, capture_output=True, text=True,
                            **keywords)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
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
        assert wheel.read(f"{MODULE_DIR}/postgresql_history.pyi") == STUB.read_bytes()
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


def test_install_beside_the_host_and_uninstall_touch_no_host_file(wheels, tmp_path):
    if importlib.util.find_spec("ensurepip") is None:
        pytest.skip("python3-venv is not installed: Debian's venv module has no pip without it")
    venv = tmp_path / "venv"
    # Debian's psycopg2 comes from the system; the host and the module go into the venv itself.
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    python = venv / "bin" / "python"
    site = pathlib.Path(run([python, "-I", "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"])
                        .strip()).resolve()
    pip = [python, "-I", "-m", "pip"]
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
    shutil.copy(module.__file__, site / MODULE_DIR)
    shutil.copy(STUB, site / MODULE_DIR)
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", module.__name__],
                            cwd=site, env={**os.environ, "PYTHONPATH": str(site)}, capture_output=True, text=True)
    reports = [line for line in result.stdout.splitlines() if line.strip()]
    assert result.returncode in (0, 1) and reports == [], result.stdout + result.stderr
