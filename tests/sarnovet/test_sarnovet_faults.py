"""Faults injected into a running queue on a real server: three dispatchers
(two sharing a host name) on one table while children are killed, a busy
dispatcher is killed or interrupted and restarted, or the server restarts;
or three dispatchers on one host name with every session SERIALIZABLE. After the faults one more dispatcher
starts, and the queue must drain: no task ran twice, every task that
finished is gone from the table, every task whose child was killed or
interrupted (or never started) is DEAD, nothing is left PENDING or RUNNING.
"""
import collections
import contextlib
import os
import random
import signal
import time

import pymysql
import pytest

import Sarnovet
import mariadb_private
from conftest import wait_until
from sarnovet_helpers import read_records

T = "_syscpu_gate_worker"
TASKS = 120
SERIALIZABLE = "SET SESSION tx_isolation='SERIALIZABLE', SESSION innodb_lock_wait_timeout=1"


def alive(pid):
    try:
        os.kill(pid, 0)
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (ProcessLookupError, FileNotFoundError):
        return False
    except (PermissionError, OSError):
        return True


class Run:
    """The dispatchers of one scenario and what was done to them."""

    def __init__(self, dispatchers, common):
        self.dispatchers, self.common = dispatchers, common
        self.live = {}            # proc -> spec
        self.killed = set()       # child pids killed
        self.interrupted = set()  # dispatchers interrupted with their children (their exit ends all of them)
        self.faults = 0

    def start(self, **spec):
        proc = self.dispatchers.start(**self.common, **spec)
        self.live[proc] = spec
        return proc

    def running_children(self, events):
        """Children in their target (not yet finished)."""
        done = {r[1] for r in read_records(events, "done")}
        return [p for p in {r[1] for r in read_records(events, "run")} - done if alive(p)]

    def end_dispatcher(self, sig, events, cfg):
        proc = random.choice([p for p in self.live if p.poll() is None])
        spec = self.live.pop(proc)
        if sig == signal.SIGINT:  # as Ctrl-C does: the dispatcher and its children
            self.interrupted.add(proc.pid)
            os.killpg(proc.pid, signal.SIGINT)
        else:
            # Caught between a claim and its child's start where possible:
            # stopped now and then, killed when it holds a claimed row with
            # no child process, else let go on (for up to a second).
            conn = pymysql.connect(**cfg, autocommit=True)
            try:
                cur = conn.cursor()
                deadline = time.monotonic() + 1.0
                while time.monotonic() < deadline:
                    os.kill(proc.pid, signal.SIGSTOP)
                    cur.execute(f"SELECT COUNT(*) FROM {T} WHERE status='RUNNING' AND pid=%s", (proc.pid,))
                    if cur.fetchone()[0] > len(children_of(proc.pid)):
                        break
                    os.kill(proc.pid, signal.SIGCONT)
                    time.sleep(random.uniform(0, 0.004))
            finally:
                os.kill(proc.pid, sig)
                conn.close()
        self.dispatchers.wait(proc, timeout=30)
        self.faults += 1
        self.start(**spec)


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return f.read().split()
    except OSError:
        return []


def query(cfg, text):
    conn = pymysql.connect(**cfg, autocommit=True)
    try:
        cur = conn.cursor()
        cur.execute(text)
        return cur.fetchall()
    finally:
        conn.close()


def inject(scenario, run, events, server, cfg, until):
    """Faults until `until` tasks have finished (or the time is up)."""
    finished = lambda: len(read_records(events, "done"))  # noqa: E731
    deadline = time.monotonic() + 20
    if scenario == "serializable":
        return
    while finished() < until and time.monotonic() < deadline:
        if scenario == "kill_children":
            victims = run.running_children(events)
            if victims:
                pid = random.choice(victims)
                os.kill(pid, signal.SIGKILL)
                run.killed.add(pid)
                run.faults += 1
            time.sleep(0.12)
        elif scenario in ("kill_dispatcher", "sigint_dispatcher"):
            time.sleep(0.4)
            run.end_dispatcher(signal.SIGKILL if scenario == "kill_dispatcher" else signal.SIGINT, events, cfg)
        elif scenario == "server_restart":
            time.sleep(0.5)
            server.halt()
            time.sleep(2)
            server.resume()
            run.faults += 1
            return


@pytest.mark.parametrize("scenario", ["kill_children", "kill_dispatcher", "sigint_dispatcher", "server_restart",
                                      "serializable"])
def test_queue_drains_after_faults(scenario, db_server, dispatchers, tmp_path):
    with contextlib.ExitStack() as stack:
        server = db_server
        if scenario == "server_restart":
            if mariadb_private.existing_server_config():
                pytest.skip("needs a private server of its own")
            server = stack.enter_context(mariadb_private.PrivateServer())
        cfg = server.config(stack.enter_context(mariadb_private.scratch_database(server)))
        if scenario == "serializable":
            cfg["init_command"] = SERIALIZABLE
        events = str(tmp_path / "events.jsonl")
        tasks = TASKS * 2 if scenario == "serializable" else TASKS
        names = [f"task{i:03d}" for i in range(tasks)]
        registrar = Sarnovet.CLASS_MultiTaskAdv(None, 0, cfg)
        for name in names:
            registrar.CUF_RegisterTask(name)
        # Under SERIALIZABLE short tasks on one host name: claims (whose
        # running count then takes shared locks) and removals collide most.
        seconds, hosts = (0.0, ("alpha",) * 3) if scenario == "serializable" else (0.15, ("alpha", "alpha", "beta"))
        run = Run(dispatchers, dict(config=cfg, events=events, seconds=seconds, sleep_idle=0.02, record_done=True))
        for host in hosts:
            run.start(host=host, max_cpu=3)
        started = time.monotonic()
        inject(scenario, run, events, server, cfg, until=tasks * 2 // 3)
        run.start(host="alpha", max_cpu=3)   # one dispatcher more after the faults

        active = f"SELECT COUNT(*) FROM {T} WHERE status IN ('PENDING','RUNNING')"
        wait_until(lambda: query(cfg, active)[0][0] == 0, timeout=60, interval=0.1)
        drained = time.monotonic() - started
        child_pids = {r[1] for r in read_records(events, "run")}
        wait_until(lambda: not any(alive(p) for p in child_pids), timeout=30)  # orphans finish too
        results = {proc: dispatchers.wait(proc, timeout=60) for proc in list(run.live)}
        rows = dict(query(cfg, f"SELECT task_name, status FROM {T}"))

    bad_exits = [(code, err[-2000:]) for code, out, err in results.values() if code != 0]
    assert not bad_exits, bad_exits
    runs = collections.Counter(r[2] for r in read_records(events, "run"))
    run_pid = {r[2]: r[1] for r in read_records(events, "run")}
    parent = {r[1]: r[2] for r in read_records(events, "parent")}
    hit_pids = run.killed | {pid for pid, ppid in parent.items() if ppid in run.interrupted}
    done = {r[2] for r in read_records(events, "done")}
    assert max(runs.values()) == 1, [n for n, k in runs.items() if k > 1]      # no task ran twice
    assert set(rows.values()) <= {"DEAD"}                                        # nothing PENDING or RUNNING
    counts = collections.Counter()
    for name in names:
        status = rows.get(name, "removed")
        hit = run_pid.get(name) in hit_pids
        if name in done:
            kind = "succeeded" if status == "removed" else "finished, then killed"
            assert status == "removed" or hit, (name, status)        # a finished task is never DEAD unless hit
        elif name in runs:
            kind = "killed or interrupted"
            assert hit and status == "DEAD", (name, status)
        else:
            kind = "claimed, never started"
            assert status == "DEAD" and scenario in ("kill_dispatcher", "sigint_dispatcher", "server_restart"), \
                (name, status)
        counts[kind] += 1
    line = (f"{scenario}: {tasks} tasks, {run.faults} faults, drained in {drained:.1f} s: "
            + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print(line)
