import os
import subprocess
import sys
import textwrap

import pytest


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
