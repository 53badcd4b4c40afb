"""Picklable targets and events for Sarnovet's tests, and a dispatcher process.

Targets and events record into a file, one JSON line per call, so that
calls made in child processes (fork or spawn) can be checked afterwards.
"""
import json
import multiprocessing
import os
import sys
import time

import pymysql

import Sarnovet


def record(path, *items):
    line = json.dumps([str(i) if not isinstance(i, (int, float)) else i for i in items]) + "\n"
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)


def read_records(path, kind=None):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        rows = [json.loads(line) for line in f if line.strip()]
    return [r for r in rows if kind is None or r[0] == kind]


class Recorder:
    """An event: records (kind, pid, *args)."""

    def __init__(self, path, kind):
        self.path, self.kind = path, kind

    def __call__(self, *args):
        record(self.path, self.kind, os.getpid(), *args)


class Target:
    """A target function: records ("run", pid, name), then acts on the name's
    prefix: "fail-" raises ValueError, "exit-" asks the interpreter to exit,
    "intr-" raises KeyboardInterrupt, "hang-" sleeps for two minutes, "long-"
    sleeps `long_seconds`; others sleep `seconds` and return. With `record_done` it also records
    ("parent", pid, parent pid) before all that (so that a task seen
    running always has its parent known) and ("done", pid, name) at the end."""

    def __init__(self, path, seconds=0.0, record_done=False, long_seconds=10.0):
        self.path, self.seconds, self.record_done, self.long_seconds = path, seconds, record_done, long_seconds

    def __call__(self, name):
        if self.record_done:
            record(self.path, "parent", os.getpid(), os.getppid())
        record(self.path, "run", os.getpid(), name)
        if name.startswith("fail-"):
            raise ValueError(f"task {name} failed")
        if name.startswith("exit-"):
            sys.exit(3)
        if name.startswith("intr-"):
            raise KeyboardInterrupt()
        time.sleep(120 if name.startswith("hang-") else self.long_seconds if name.startswith("long-") else self.seconds)
        if self.record_done:
            record(self.path, "done", os.getpid(), name)


class StopDispatch(Exception):
    pass


class Idle:
    """Evt_OnIdle of the dispatcher below: optionally records, and ends
    CUF_Run once nothing is pending or running, after `max_idle` passes, or
    once `stop_file` exists (which needs no database)."""

    runner = None  # set in the dispatcher process only

    def __init__(self, path, record_idle=False, stop_when_empty=True, max_idle=None, stop_file=None):
        self.path, self.record_idle, self.stop_when_empty, self.max_idle = path, record_idle, stop_when_empty, max_idle
        self.stop_file = stop_file
        self.passes = 0

    def __call__(self):
        self.passes += 1
        if self.record_idle:
            record(self.path, "idle", os.getpid())
        if self.max_idle is not None and self.passes >= self.max_idle:
            raise StopDispatch()
        if self.stop_file and os.path.exists(self.stop_file):
            raise StopDispatch()
        if self.stop_when_empty and not self.active():
            raise StopDispatch()

    @staticmethod
    def active():
        # Under SERIALIZABLE the count is a locking read that can deadlock
        # with claims and removals; an event's error would end CUF_Run.
        for attempt in range(20):
            try:
                return Idle.runner.CUF_HasPendingOrRunning()
            except pymysql.err.OperationalError as e:
                if e.args[0] not in (1205, 1213) or attempt == 19:
                    raise
                time.sleep(0.01 * (attempt + 1))


def make_runner(spec, cls=Sarnovet.CLASS_MultiTaskAdv):
    path = spec["events"]
    runner = cls(
        Target(path, spec.get("seconds", 0.0), spec.get("record_done", False), spec.get("long_seconds", 10.0)),
        spec.get("max_cpu", 2), spec["config"],
        spec.get("table", "_syscpu_gate_worker"), Recorder(path, "register"), Recorder(path, "start"),
        Recorder(path, "exit"), Recorder(path, "dead"),
        Idle(path, spec.get("record_idle", False), spec.get("stop_when_empty", True), spec.get("max_idle"),
             spec.get("stop_file")))
    if spec.get("host"):
        runner.CVF_HostName = spec["host"]
    return runner


def dispatch_main(spec_json):
    """Body of a dispatcher process: CUF_Run until the idle event stops it."""
    spec = json.loads(spec_json)
    multiprocessing.set_start_method(spec.get("start_method", "fork"))
    runner = make_runner(spec)
    print("dispatcher ready", os.getpid(), flush=True)
    run_until_stopped(runner, spec.get("sleep_idle", 0.02))


def run_until_stopped(runner, sleep_idle):
    """CUF_Run until the idle event stops it, then waits for the children."""
    Idle.runner = runner
    try:
        runner.CUF_Run(sleep_idle)
    except StopDispatch:
        pass
    for child in multiprocessing.active_children():
        child.join(30)
    print("dispatcher done", flush=True)


if __name__ == "__main__":
    dispatch_main(sys.argv[1])
