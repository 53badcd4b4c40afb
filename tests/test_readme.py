"""Every code block of the README (and docs/) runs as written: Python blocks
as programs of their own, shell blocks line by line. Database blocks get the
private server's settings in place of the example's."""
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import mariadb_private
from readme_blocks import blocks

BIN = os.path.dirname(sys.executable)

# What a block must print, found by a text unique to the block. A block
# with no entry must simply end with status 0 and no traceback.
# `forever`: the block does not end on its own; it is stopped once the
# lines have appeared.
EXPECT = {
    'print("job done")': {"lines": [r"job done"]},
    'print("working")': {"lines": [r"working"]},
    '"finished", pid, status': {"lines": [r"started \d+", r"finished \d+ OK"]},
    "CLASS_MultiTaskGroup(": {"lines": []},
    '"nightly-report"': {"lines": [r"working on nightly-report"], "forever": True},
    'args=["tick"]': {"lines": [r"tick"]},
    "CUF_Init_For_PyInstaller()": {"lines": [r"crunching", r"finished OK"]},
}

# Shell lines that are not run here: `make test` is this run, `make dist-test`
# installs the sdist, tests/test_frozen.py freezes a program.
NOT_RUN = ("make ", "pip install ", "pyinstaller ")
# Shell commands run here, from the environment's bin folder.
COMMANDS = ("concurrency-toolkit-run ", "sarnovet-admin ")
DB_LINE = re.compile(r"^db = \{.*\}$", re.M)


def expectation(block):
    found = [v for k, v in EXPECT.items() if k in block.text]
    assert len(found) <= 1, f"{block.id}: more than one expectation matches"
    return found[0] if found else {"lines": []}


def test_every_expectation_has_its_block():
    texts = [b.text for b in blocks()]
    assert [k for k in EXPECT if not any(k in t for t in texts)] == []


def run_until(cmd, lines, cwd, env, forever=False, timeout=60):
    """Runs cmd in a session of its own; returns (returncode, stdout, stderr).
    With `forever`, the process group is interrupted once every line
    pattern has appeared (or at the deadline)."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    out, err = [], []
    readers = [threading.Thread(target=lambda s=s, b=b: b.extend(iter(s.readline, "")), daemon=True)
               for s, b in ((proc.stdout, out), (proc.stderr, err))]
    for r in readers:
        r.start()
    deadline = time.monotonic() + timeout
    try:
        while proc.poll() is None and time.monotonic() < deadline:
            text = "".join(out)
            if forever and all(re.search(rf"^{p}$", text, re.M) for p in lines):
                break
            time.sleep(0.05)
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGINT if forever else signal.SIGKILL)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=10)
            if not forever:
                raise AssertionError(f"{cmd} did not end within {timeout} s:\n{''.join(out)}\n{''.join(err)}")
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # children left behind by the block
        except ProcessLookupError:
            pass
        for r in readers:
            r.join(timeout=10)
    return proc.returncode, "".join(out), "".join(err)


def child_env(extra=None):
    env = dict(os.environ, PYTHONUNBUFFERED="1", PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
    env.update(extra or {})
    return env


@pytest.mark.parametrize("block", blocks("python"), ids=lambda b: b.id)
def test_python_block(block, tmp_path, request):
    text = block.text
    if "import Sarnovet" in text:
        assert DB_LINE.search(text), f"{block.id}: a database block sets `db = {{...}}` on one line"
        text = DB_LINE.sub(lambda m: f"db = {request.getfixturevalue('db_config')!r}", text)
    want = expectation(block)
    script = tmp_path / "block.py"
    script.write_text(text)
    code, out, err = run_until([sys.executable, str(script)], want["lines"], str(tmp_path), child_env(),
                               forever=want.get("forever", False))
    if not want.get("forever"):  # (a stopped one has the interrupt's traceback)
        assert code == 0, f"{block.id} ended with {code}:\n{out}\n{err}"
        assert "Traceback" not in err, f"{block.id}:\n{err}"
    for pattern in want["lines"]:
        assert re.search(rf"^{pattern}$", out, re.M), f"{block.id}: no line {pattern!r} in:\n{out}\n{err}"


@pytest.mark.parametrize("block", blocks("sh"), ids=lambda b: b.id)
def test_shell_block(block, tmp_path, request):
    extra = {}
    for line in block.text.splitlines():
        command, _, comment = line.partition("  #")
        command = command.strip()
        if not command or command.startswith(NOT_RUN):
            continue
        if command.startswith("export SARNOVET_"):  # the example's server: the private one instead
            cfg = request.getfixturevalue("db_config")
            import Sarnovet
            Sarnovet.CLASS_MultiTaskAdv(print, 1, cfg)  # the table the commands look after
            extra = mariadb_private.environment_for(cfg)
            continue
        assert command.startswith(COMMANDS), f"{block.id}: {command!r} is not run by this test; teach it"
        forever = "until Ctrl-C" in comment
        code, out, err = run_until(command.split(), [r"Main Loop \.\.\.", r"----- Timer Event -----"]
                                   if forever else [], str(tmp_path), child_env(extra), forever=forever)
        if forever:
            assert "Main Loop ..." in out and "----- Timer Event -----" in out, out + err
        else:
            assert code == 0, f"{command}: {code}\n{out}\n{err}"
            assert out.strip(), command
