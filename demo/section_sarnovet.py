"""Sarnovet: a batch of named tasks on a throwaway MariaDB, run by one dispatcher."""
import multiprocessing
import os
import signal
import sys
import time

HELPERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sarnovet")
sys.path.insert(0, HELPERS)

import Sarnovet  # noqa: E402
import mariadb_private  # noqa: E402

TITLE = "Sarnovet: a task queue in a MariaDB table, one dispatcher, one child per task"

TASKS = ["resize-photos", "send-newsletter", "rebuild-index", "parse-logs", "export-report", "corrupt-input",
         "out-of-memory"]


def work(task_name):
    time.sleep(0.2)
    if task_name == "corrupt-input":
        raise ValueError("cannot parse record 17")
    if task_name == "out-of-memory":  # as the kernel's OOM killer would: no chance to report
        os.kill(os.getpid(), signal.SIGKILL)


def on_register(worker_id, task_name):
    print(f"  [register] {task_name:16} as {worker_id}", flush=True)


def on_start(worker_id, task_name):
    print(f"  [start]    {task_name:16} in child pid {os.getpid()}", flush=True)


def on_exit(worker_id, task_name):
    print(f"  [exit]     {task_name:16} done, row removed", flush=True)


def on_dead(worker_id, error):
    # In the child for an error of the task; in the dispatcher for a child
    # that ended without a result (killed, crashed).
    print(f"  [dead]     {worker_id} failed: {error}", flush=True)


class QueueEmpty(Exception):
    pass


class Idle:
    def __init__(self):
        self.runner = None
        self.passes = 0

    def __call__(self):
        self.passes += 1
        if not self.runner.CUF_HasPendingOrRunning():
            raise QueueEmpty()


def run():
    with mariadb_private.database_server() as server:
        where = getattr(server, "folder", None) or "the server named by SARNOVET_DB_*"
        print(f"  database server: {where}")
        with mariadb_private.scratch_database(server) as db:
            idle = Idle()
            runner = Sarnovet.CLASS_MultiTaskAdv(work, 2, server.config(db), "demo_worker", on_register, on_start,
                                                 on_exit, on_dead, idle)
            idle.runner = runner
            for name in TASKS:
                runner.CUF_RegisterTask(name)
            print(f"  {runner.CUF_GetTaskCount()} tasks registered; dispatcher limit {runner.CVF_MaxCPU} "
                  f"running tasks on host {runner.CVF_HostName}", flush=True)
            started = time.monotonic()
            try:
                runner.CUF_Run(0.1)
            except QueueEmpty:
                pass
            for child in multiprocessing.active_children():
                child.join(10)
            print(f"  nothing pending or running after {time.monotonic() - started:.1f} s "
                  f"({idle.passes} idle passes); rows left: {runner.CUF_GetTaskCount()} (DEAD rows stay)")
    print("  database server stopped and its folder removed")
