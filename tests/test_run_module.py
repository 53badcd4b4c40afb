import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The launcher from the source tree and as the installed console command.
LAUNCHERS = {
    "source tree": [sys.executable, os.path.join(ROOT, "tools", "run_module.py")],
    "installed command": [os.path.join(os.path.dirname(sys.executable), "concurrency-toolkit-run")],
}


@pytest.fixture(params=sorted(LAUNCHERS))
def launch(request):
    def run(*args, cwd=None):
        env = dict(os.environ, PYTHONPATH=cwd or "")
        return subprocess.run([*LAUNCHERS[request.param], *args], capture_output=True, text=True, timeout=60,
                              env=env)
    return run


def test_module_runs_as_main_with_its_arguments(tmp_path, launch):
    (tmp_path / "probe.py").write_text(
        "import sys\nprint(__name__, sys.argv[1:])\n")
    proc = launch("probe", "a", "b", cwd=str(tmp_path))
    assert (proc.returncode, proc.stdout) == (0, "__main__ ['a', 'b']\n"), proc.stderr


def test_unknown_module_and_usage(launch):
    proc = launch("NoSuchModule")
    assert proc.returncode == 1 and "no module named 'NoSuchModule'" in proc.stderr
    assert launch().returncode == 2

