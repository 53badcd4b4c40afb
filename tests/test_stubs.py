"""The shipped type stubs: type checkers find them in site-packages, they
agree with the built modules, and they check programs as the modules call
them (the README's examples, and the mistakes below)."""
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from readme_blocks import blocks

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ["Korvanth", "Sarnovet", "Delmique", "Pravenor"]
# Mismatches that only the runtime's change to real host functions removes.
TEMPORARY_ALLOWLIST = os.path.join(HERE, "stubtest_allowlist_until_host_functions.txt")
PYRIGHT = os.path.join(sys.prefix, "node", "node_modules", ".bin", "pyright")

# A program with one mistake on each line marked `# wrong`; everything else
# must pass. Both checkers must flag exactly the marked lines.
MISTAKES = '''\
import Delmique
import Pravenor
import Sarnovet
from Korvanth import CLASS_MultiTask, CLASS_ProcessGate, ENUM_TASK_MODE


def task() -> None: ...
def started(pid: int, task: CLASS_MultiTask) -> None: ...
def finished_as_called(pid: int, status: str, error: str | None, task: CLASS_MultiTask) -> None: ...
def finished_misnamed(pid: int, state: str, error: str | None, task: CLASS_MultiTask) -> None: ...
def over_limit(**kw: object) -> None: ...
def started_positional_only(pid: int, task: CLASS_MultiTask, /) -> None: ...
def dead(worker_id: str, error: str) -> None: ...
def dead_by_keyword(*, worker_id: str, error: str) -> None: ...


CLASS_MultiTask(ENUM_TASK_MODE.cE_TaskM_TProcess, task, PmF_Event_OnProcessStarted=started,
                PmF_Event_OnProcessFinished=finished_as_called, PmF_Event_OnProcessOverLimit=over_limit)
CLASS_MultiTask(ENUM_TASK_MODE.cE_TaskM_TProcess, task, PmF_Event_OnProcessFinished=finished_misnamed)  # wrong
CLASS_MultiTask(ENUM_TASK_MODE.cE_TaskM_TProcess, task, PmF_Event_OnProcessStarted=started_positional_only)  # wrong
runner = CLASS_MultiTask(ENUM_TASK_MODE.cE_TaskM_TThread, task)
runner.CV_WatchDog.CUF_Beat()  # wrong
best: ENUM_TASK_MODE = runner.CUF_GetBestMode()
score: float = runner.CUF_EvaluateTask()[ENUM_TASK_MODE.cE_TaskM_TThread]["score"]
info: dict[str, int | None] = CLASS_ProcessGate.CUF_GetCPUInfo()
gate: CLASS_ProcessGate = CLASS_ProcessGate.CUF_Instance()
CLASS_MultiTask.CUF_Init_For_PyInstaller()

adv = Sarnovet.CLASS_MultiTaskAdv(print, 2, {"unix_socket": "/tmp/x"}, PmF_Event_OnProcessDead=dead)
adv.Evt_OnProcDead = dead_by_keyword  # wrong
claimed: tuple[str, str] | None = adv.CUF_TryFetchTask()

print(Delmique.Gobj_Delmiq)  # wrong
print(Pravenor.obj_Timer)  # wrong
Delmique.CLASS_Delmique().CUF_Sleep("1")  # wrong
Pravenor.CLASS_ThreadTimer(1.0, print).CUF_Start()
'''


def wrong_lines():
    return {i for i, line in enumerate(MISTAKES.splitlines(), 1) if line.endswith("# wrong")}


def write_programs(folder):
    """README examples as readme_NN.py and the mistakes as mistakes.py."""
    paths = []
    for n, block in enumerate(blocks("python")):
        path = os.path.join(folder, f"readme_{n:02d}.py")
        with open(path, "w") as f:
            f.write(block.text)
        paths.append(path)
    with open(os.path.join(folder, "mistakes.py"), "w") as f:
        f.write(MISTAKES)
    return paths + [os.path.join(folder, "mistakes.py")]


def run(cmd, cwd, timeout=600):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)


def test_stubtest_against_the_built_modules(tmp_path):
    cmd = [sys.executable, "-m", "mypy.stubtest", *MODULES]
    if os.path.exists(TEMPORARY_ALLOWLIST):
        cmd += ["--allowlist", TEMPORARY_ALLOWLIST]
    done = run(cmd, cwd=str(tmp_path))  # outside the source tree: the installed stubs only
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_strict_sees_the_installed_stubs(tmp_path):
    files = write_programs(str(tmp_path))
    done = run([sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--hide-error-context",
                "--cache-dir", os.path.join(sys.prefix, ".mypy_cache"), *[os.path.basename(f) for f in files]],
               cwd=str(tmp_path))
    errors = re.findall(r"^([\w.]+):(\d+): error: (.*)$", done.stdout, re.M)
    assert not [e for e in errors if e[0] != "mistakes.py"], done.stdout
    assert {int(e[1]) for e in errors} == wrong_lines(), done.stdout
    assert "Cannot find implementation or library stub" not in done.stdout


@pytest.mark.skipif(not os.path.exists(PYRIGHT),
                    reason="pyright is installed in the first environment only (by make test, when npm is there)")
@pytest.mark.parametrize("version", ["3.10", "3.13"])  # the stubs differ from 3.12 on
def test_pyright_strict_sees_the_installed_stubs(tmp_path, version):
    files = write_programs(str(tmp_path))
    site = next(p for p in sys.path if p.endswith("site-packages") and os.path.isdir(os.path.join(p, "Korvanth-stubs")))
    stubs = [os.path.join(site, f"{m}-stubs", "__init__.pyi") for m in MODULES]
    with open(tmp_path / "pyrightconfig.json", "w") as f:
        json.dump({"typeCheckingMode": "strict", "reportMissingModuleSource": "error"}, f)
    env = dict(os.environ, PATH=os.path.dirname(shutil.which("node") or "/usr/bin/node") + os.pathsep + os.environ["PATH"])
    done = run([PYRIGHT, "--outputjson", "--pythonpath", sys.executable, "--pythonversion", version, *files, *stubs],
               cwd=str(tmp_path))
    report = json.loads(done.stdout)
    errors = [(os.path.basename(d["file"]), d["range"]["start"]["line"] + 1, d["message"])
              for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert not [e for e in errors if e[0] != "mistakes.py"], errors
    assert {e[1] for e in errors} == wrong_lines(), errors
