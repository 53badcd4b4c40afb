"""Task functions and event callbacks for the process-mode tests.

They live at module level in an importable module so that children started
by spawning can find them by name. Events land in `events` (parent side).
"""
import os
import queue
import time

import Korvanth

events = queue.Queue()


def next_event(kind, timeout=30):
    """The next event of `kind` (others are kept in order for later)."""
    skipped = []
    deadline = time.monotonic() + timeout
    try:
        while True:
            ev = events.get(timeout=max(0.01, deadline - time.monotonic()))
            if ev[0] == kind:
                return ev
            skipped.append(ev)
    finally:
        for ev in skipped:
            events.put(ev)


def on_started(pid, task):
    events.put(("started", pid, task))


def on_finished(pid, status, error, task):
    events.put(("finished", pid, status, error, task))


def on_over(cpu_max, running, task):
    events.put(("over", cpu_max, running, task))


def on_over_other(cpu_max, running, task):
    events.put(("over-other", cpu_max, running, task))


def on_over_raising(cpu_max, running, task):
    events.put(("over", cpu_max, running, task))
    raise ValueError("over failed")


def on_started_raising(pid, task):
    events.put(("started", pid, task))
    raise LookupError("started callback failed")


def ok():
    return 42


def boom():
    raise ValueError("bad thing")


def huge():
    raise ValueError("x" * 2_000_000)


def exit3():
    raise SystemExit(3)


def die():
    os._exit(7)


def sleeper():
    time.sleep(float(os.environ.get("TASK_SLEEP", "1.0")))


async def coro():
    # Never runs: the child only creates the coroutine.
    open(os.environ["CORO_MARK"], "w").close()


class ExitCodeRunner(Korvanth.CLASS_MultiTask):
    """Reports the child's exit code once its waiter is done."""

    def _CUF_WaitProcessExit(self, proc, queue):
        super()._CUF_WaitProcessExit(proc, queue)
        events.put(("exit", proc.pid, proc.exitcode))


def sleep_then_mark():
    sleeper()
    with open(os.environ["TASK_MARK"], "w") as f:
        f.write("ran")
