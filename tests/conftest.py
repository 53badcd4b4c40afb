import os
import runpy
import subprocess
import sys
import textwrap

import pytest

SARNOVET_TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sarnovet")
if SARNOVET_TESTS not in sys.path:
    sys.path.insert(0, SARNOVET_TESTS)

import mariadb_private  # noqa: E402

# TOOLKIT_START_METHOD=fork|spawn|forkserver: multiprocessing's default start
# method in this process and in every interpreter the tests start.
START_METHOD_HOOK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "default_start_method")
if os.environ.get("TOOLKIT_START_METHOD"):
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in [START_METHOD_HOOK, os.environ.get("PYTHONPATH")] if p)
    runpy.run_path(os.path.join(START_METHOD_HOOK, "sitecustomize.py"))


def run_python(code, timeout=60, env=None, check=True):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    Used for everything that depends on printed lines or process-wide state.
    """
    full_env = dict(os.environ)
    full_env["PYTHONUNBUFFERED"] = "1"
    if env:
        full_env.update(env)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=full_env)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


@pytest.fixture
def py():
    return run_python


@pytest.fixture(scope="session")
def db_server():
    """The private MariaDB of this run (or the server the environment names)."""
    with mariadb_private.database_server() as server:
        yield server


@pytest.fixture
def db_config(db_server):
    """Connection settings for a fresh database of this test's own."""
    with mariadb_private.scratch_database(db_server) as name:
        yield db_server.config(name)


@pytest.fixture
def sql(db_config):
    """Runs one statement on its own autocommit connection; returns all rows."""
    import pymysql

    def run(text, values=None):
        conn = pymysql.connect(**db_config, autocommit=True)
        try:
            cur = conn.cursor()
            cur.execute(text, values)
            return cur.fetchall()
        finally:
            conn.close()

    return run
