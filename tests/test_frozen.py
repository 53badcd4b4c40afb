"""A frozen program (PyInstaller, one folder) that uses all four modules runs
under spawn with nothing declared by hand: the distribution's packager hook
brings in what the modules import, and CUF_Init_For_PyInstaller() keeps the
spawned children from running the main block again."""
import json
import os
import subprocess
import sys

import pytest

pytest.importorskip("PyInstaller", reason="PyInstaller is installed in the first environment only "
                                          "(one frozen build per run)")

PROGRAM = '''\
import json
import multiprocessing
import sys
import threading

import Delmique
import Pravenor
import Sarnovet
from Korvanth import CLASS_MultiTask, ENUM_TASK_MODE

reported = threading.Event()
dispatcher = None


class QueueEmpty(Exception):
    pass


def crunch():
    print("korvanth task ran", flush=True)


def finished(pid, status, error, task):
    print("korvanth finished", status, error or "", flush=True)
    reported.set()


def job(task_name):
    print("sarnovet ran", task_name, flush=True)


def idle():
    if not dispatcher.CUF_HasPendingOrRunning():
        raise QueueEmpty()


def tick():
    print("pravenor tick", flush=True)


if __name__ == "__main__":
    CLASS_MultiTask.CUF_Init_For_PyInstaller()
    multiprocessing.set_start_method("spawn")
    print("main block", flush=True)
    runner = CLASS_MultiTask(ENUM_TASK_MODE.cE_TaskM_TProcess, crunch, Pmb_EnableWatchDog=False,
                             PmF_Event_OnProcessFinished=finished)
    runner.CUF_Start()
    reported.wait(timeout=60)
    dispatcher = Sarnovet.CLASS_MultiTaskAdv(job, 2, json.loads(sys.argv[1]), PmF_Event_OnIdle=idle)
    dispatcher.CUF_RegisterTask("frozen-task")
    try:
        dispatcher.CUF_Run(0.1)
    except QueueEmpty:
        pass
    print("delmique", Delmique.CLASS_Delmique().CUF_GetDate("-"), flush=True)
    timer = Pravenor.CLASS_ThreadTimer(0.1, tick)
    timer.CUF_Start()
    timer.join(0.35)
    timer.CUF_Stop()
    timer.join(5)
    print("done", flush=True)
'''


def test_frozen_program_under_spawn(tmp_path, db_config, sql):
    (tmp_path / "app.py").write_text(PROGRAM)
    build = subprocess.run(
        [sys.executable, "-m", "PyInstaller", "--onedir", "--noconfirm", "--log-level=WARN",
         "--distpath", str(tmp_path / "dist"), "--workpath", str(tmp_path / "work"),
         str(tmp_path / "app.py")],
        cwd=str(tmp_path), capture_output=True, text=True, timeout=900)
    assert build.returncode == 0, build.stdout + build.stderr
    exe = tmp_path / "dist" / "app" / "app"
    # No source tree, no environment: the program has only what the bundle holds.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    run = subprocess.run([str(exe), json.dumps(db_config)], cwd=str(tmp_path), env=env, capture_output=True, text=True,
                         timeout=120)
    out = run.stdout
    assert run.returncode == 0, out + run.stderr
    assert out.count("main block") == 1, out  # the spawned children did not run it again
    for line in ["korvanth task ran", "korvanth finished OK", "sarnovet ran frozen-task", "pravenor tick", "done"]:
        assert line in out, out + run.stderr
    assert "delmique 20" in out, out
    assert sql("SELECT COUNT(*) FROM _syscpu_gate_worker") == ((0,),)
    assert "Traceback" not in run.stderr, run.stderr
