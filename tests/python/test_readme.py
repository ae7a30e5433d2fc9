"""The README's Python runs as written: each python block, a program of its own in a fresh
database, prints exactly what its "# prints: " comments say, in their order."""

import io
import os
import pathlib
import re
import subprocess
import tokenize
import uuid

import psycopg2
import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(), flags=re.MULTILINE | re.DOTALL)


def printed_by_comments(source):
    return [token.string.removeprefix("# prints: ")
            for token in tokenize.generate_tokens(io.StringIO(source).readline)
            if token.type == tokenize.COMMENT and token.string.startswith("# prints: ")]


@pytest.fixture
def fresh_database(database):
    """An empty database of its own on the suite's server; POSTGRES_* naming it."""
    name = f"velmor_readme_{uuid.uuid4().hex[:10]}"
    admin = psycopg2.connect(**database)
    admin.autocommit = True
    with admin.cursor() as cursor:
        cursor.execute(f'CREATE DATABASE "{name}"')
    env = {key: value for key, value in os.environ.items() if not key.startswith("POSTGRES_")}
    env.update(POSTGRES_HOST=database["host"], POSTGRES_USER=database["user"], POSTGRES_DATABASE=name)
    if "port" in database:
        env["POSTGRES_PORT"] = str(database["port"])
    if "password" in database:
        env["POSTGRES_PASSWORD"] = database["password"]
    yield env
    with admin.cursor() as cursor:
        cursor.execute(f'DROP DATABASE "{name}" WITH (FORCE)')
    admin.close()


def test_readme_has_python_blocks():
    assert BLOCKS


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{number}" for number in range(1, len(BLOCKS) + 1)])
def test_readme_python_block_prints_what_it_says(source, fresh_database):
    # Debian's interpreter and the suite's PYTHONPATH (the build tree and the stand-in).
    result = subprocess.run(["/usr/bin/python3", "-c", source], env=fresh_database, capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert result.stdout.splitlines() == printed_by_comments(source)
