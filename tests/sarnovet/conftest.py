import json
import os
import signal
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# The database fixtures (db_server, db_config, sql) are in tests/conftest.py:
# the README and operator-command tests use them too.


@pytest.fixture
def events(tmp_path):
    return str(tmp_path / "events.jsonl")


class Dispatchers:
    """Dispatcher processes (sarnovet_helpers.dispatch_main), each in its own
    process group so that it and its task children can be ended together."""

    def __init__(self):
        self.procs = []

    def start(self, **spec):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")]),
                   PYTHONUNBUFFERED="1")
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "sarnovet_helpers.py"), json.dumps(spec)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                start_new_session=True)
        self.procs.append(proc)
        return proc

    def wait(self, proc, timeout=60):
        """Waits for the dispatcher to end; returns (returncode, stdout, stderr)."""
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill(proc)
            out, err = proc.communicate(timeout=10)
            raise AssertionError(f"dispatcher did not end within {timeout} s:\n{out}\n{err}")
        return proc.returncode, out, err

    def kill(self, proc):
        if proc.poll() is not None:
            return
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def close(self):
        for proc in self.procs:
            self.kill(proc)
            try:
                proc.communicate(timeout=10)
            except Exception:
                pass


@pytest.fixture
def dispatchers():
    d = Dispatchers()
    yield d
    d.close()


def wait_until(predicate, timeout=30, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    raise AssertionError(f"condition not met within {timeout} s")
