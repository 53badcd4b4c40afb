"""Three hosts (network, host name and process ids of their own, one file
system) share a queue on a server they reach over TCP. host1 is the only
host while the two long tasks are claimed, so they run there; then host2
and host3 join, a feeder keeps the queue filled, and one fault hits host1
or the server. After it the queue must drain with:

- no task run twice, none lost (a task that ran to its end is removed,
  every other one is DEAD), nothing stranded (no PENDING or RUNNING row; every
  DEAD row shows its reason in `sarnovet-admin list`);
- host1's rows settled within the lease plus a margin when it is lost or cut
  off (at its dispatcher's first pass when it reboots);
- the other hosts starting tasks all through the fault (a host frozen in a
  claim or cut off in one may hold them for about a minute), all hosts
  again soon after a server restart, host1 again soon after it thaws or
  is reconnected;
- no dispatcher ending before it is told to, and no task whose target
  returned ending DEAD unless its host was killed.

Selected with `-k multihost`; skipped where namespaces cannot be made, and
with SARNOVET_MULTIHOST=0 (the runs of `make test` after the first one and
`make sanitize` set it: the test takes minutes).
"""
import collections
import contextlib
import io
import os
import re
import signal
import threading
import time

import pymysql
import pytest

import Sarnovet
import mariadb_private
import multihost
from concurrency_toolkit import worker_table
from sarnovet_helpers import read_records

T = "_syscpu_gate_worker"
LEASE = multihost.LEASE_SECONDS
SETTLE_MARGIN = 15     # seconds beyond the lease for a lost host's rows
REBOOT_SETTLE = 10     # seconds from a reboot to its old rows settled
RESTART_RESUME = 20    # seconds from a server restart to every host starting tasks
RESUME = 30            # seconds from a frozen or cut off host's return to its next task
ABOUT_A_MINUTE = 65    # longest a host caught inside a transaction may hold the others
SHORT, LONG = 1.0, 12.0

# scenario: (fault, seconds it lasts, longest the other hosts may go
# without starting a task during it)
SCENARIOS = {
    "host_lost": ("power off host1 for good", None, 15),
    "host_rebooted": ("power off host1 and boot it again at once", None, 15),
    "host_frozen_in_claim": ("host1's dispatcher stops after its pending pick returned a row", 70, ABOUT_A_MINUTE),
    "partition": ("host1 cut off for 80 s: black-holed, its link down, then refused (tcp reset)", 80, ABOUT_A_MINUTE),
    "server_restart": ("the server stopped for 8 s, then started again", 8, None),
}


@pytest.fixture(scope="module")
def lab():
    if os.environ.get("SARNOVET_MULTIHOST") == "0":
        pytest.skip("SARNOVET_MULTIHOST=0")
    reason = multihost.unavailable()
    if reason:
        pytest.skip(reason)
    try:
        multihost.run("ip", "netns", "add", f"snv{os.getpid()}-probe")
        multihost.run("ip", "netns", "del", f"snv{os.getpid()}-probe")
    except RuntimeError as e:
        pytest.skip(f"cannot make network namespaces here: {e}")
    with multihost.Lab() as built:
        yield built


class Watch:
    """Samples, while the scenario waits, how many tasks each host started
    and which rows are RUNNING; a feeder thread keeps the queue filled."""

    def __init__(self, lab, cfg):
        self.lab, self.cfg = lab, dict(cfg, connect_timeout=3, read_timeout=10, write_timeout=10)
        self.samples = []          # (time, {host: tasks started}, {host: RUNNING worker ids} or None)
        self.registered, self.attempted = [], []
        self.registrar = None
        self.feeding = threading.Event()
        self.feeding.set()
        self._stop = threading.Event()
        self._feeder = threading.Thread(target=self._feed, daemon=True)

    def query(self, text, values=None):
        conn = pymysql.connect(**self.cfg, autocommit=True)
        try:
            cur = conn.cursor()
            cur.execute(text, values)
            return cur.fetchall()
        finally:
            conn.close()

    def register(self, names):
        if self.registrar is None:
            self.registrar = Sarnovet.CLASS_MultiTaskAdv(None, 0, self.cfg)
        registrar = self.registrar
        for name in names:
            self.attempted.append(name)
            registrar.CUF_RegisterTask(name)
            self.registered.append(name)

    def _feed(self):
        n = 0
        while not self._stop.is_set():
            if self.feeding.is_set():
                try:
                    pending = self.query(f"SELECT COUNT(*) FROM {T} WHERE status='PENDING'")[0][0]
                    if pending < 8:
                        self.register([f"s-{n + i:04d}" for i in range(8)])
                        n += 8
                except Exception:  # the server is away or the rows are locked: try again
                    n += 8
            self._stop.wait(0.3)

    def __enter__(self):
        self._feeder.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._feeder.join(30)
        return False

    def runs(self, host):
        return [r for life in host.lives for r in read_records(life.events, "run")]

    def sample(self):
        started = {h.name: len(self.runs(h)) for h in self.lab.hosts}
        try:
            running = collections.defaultdict(set)
            for wid, host in self.query(f"SELECT worker_id, host_name FROM {T} WHERE status='RUNNING'"):
                running[host].add(wid)
        except pymysql.MySQLError:
            running = None
        self.samples.append((time.monotonic(), started, running))
        return self.samples[-1]

    def until(self, predicate, timeout):
        """Samples until predicate(sample) holds; the time it took, or None."""
        start = time.monotonic()
        while True:
            sample = self.sample()
            if predicate(sample):
                return sample[0] - start
            if sample[0] - start > timeout:
                return None
            time.sleep(0.25)

    def active(self):
        """Rows PENDING or RUNNING (None while the server cannot say)."""
        try:
            return self.query(f"SELECT COUNT(*) FROM {T} WHERE status IN ('PENDING','RUNNING')")[0][0]
        except pymysql.MySQLError:
            return None

    def sleep(self, seconds):
        self.until(lambda s: False, seconds)

    def longest_stall(self, hosts, t0, t1):
        """The longest time within [t0, t1] in which none of `hosts` started a task."""
        marks, last = [t0], None
        for t, started, _ in self.samples:
            total = sum(started[h.name] for h in hosts)
            if last is not None and total > last and t0 <= t <= t1:
                marks.append(t)
            last = total
        marks.append(t1)
        return max(b - a for a, b in zip(marks, marks[1:]))


def running_on(sample, host):
    return (sample[2] or {}).get(host.name, set())


def admin_dead_reasons(cfg):
    """worker id -> the REASON column of `sarnovet-admin list --status DEAD`,
    or None when it shows no such column."""
    out = io.StringIO()
    code = worker_table.main(["list", "--status", "DEAD", "--limit", "100000"],
                             environ=mariadb_private.environment_for(cfg), out=out)
    lines = out.getvalue().splitlines()
    if code != 0 or not lines:
        return None
    columns = [m.span() for m in re.finditer(r"\S+(?: \S+)*", lines[0])]  # columns are 2+ spaces apart
    names = [lines[0][a:b].upper() for a, b in columns]
    if "REASON" not in names:
        return None
    i = names.index("REASON")
    start, end = columns[i][0], columns[i + 1][0] if i + 1 < len(columns) else None
    return {line.split()[0]: line[start:end].strip() for line in lines[2:]
            if line.strip() and len(line.split()[0]) == 36}


def starts_again(watch, host, how, problems, figures):
    before = len(watch.runs(host))
    took = figures[f"{host.name} again"] = watch.until(lambda s: s[1][host.name] > before, RESUME)
    if took is None:
        problems.append(f"{host.name} {how}: started no task within {RESUME} s")


def inject(scenario, lab, watch, folder, spec, problems, figures):
    """The fault; returns (start, end) of its window. Adds what it measured
    to `figures`."""
    host1 = lab.hosts[0]
    hold = SCENARIOS[scenario][1]
    if scenario in ("host_lost", "host_rebooted"):
        old = host1.life
        host1.power_off()
        t0 = time.monotonic()
        rows = running_on(watch.sample(), host1)
        figures["rows"] = len(rows)
        if scenario == "host_lost":
            took = figures["settled"] = watch.until(lambda s: s[2] is not None and not rows & running_on(s, host1),
                                                    LEASE + SETTLE_MARGIN)
            if took is None:
                problems.append(f"host1 lost: its {len(rows)} RUNNING row(s) not settled within "
                                f"{LEASE + SETTLE_MARGIN} s")
            watch.sleep(3)
            return t0, time.monotonic()
        new = host1.boot(spec, folder)
        took = figures["settled"] = watch.until(lambda s: s[2] is not None and not rows & running_on(s, host1),
                                                REBOOT_SETTLE)
        if took is None:
            problems.append(f"host1 rebooted: its {len(rows)} old RUNNING row(s) not settled within "
                            f"{REBOOT_SETTLE} s of its boot")
        figures["first task"] = watch.until(lambda s: read_records(new.events, "run"), 15)
        if figures["first task"] is None:
            problems.append("host1 rebooted: started no task within 15 s")
        pids = [read_records(life.events, "ready")[0][1] for life in (old, new) if read_records(life.events, "ready")]
        assert len(pids) == 2 and pids[0] == pids[1], f"the dispatcher's pid differs between boots: {pids}"
        return t0, time.monotonic()
    if scenario == "host_frozen_in_claim":
        trigger = spec["freeze_trigger"]
        open(trigger, "w").close()
        if watch.until(lambda s: read_records(host1.life.events, "frozen"), 20) is None:
            raise AssertionError("host1's dispatcher made no pending pick within 20 s")
        t0 = time.monotonic()
        watch.sleep(hold)
        os.kill(host1.life.dispatcher_pid(), signal.SIGCONT)
        starts_again(watch, host1, "resumed", problems, figures)
        return t0, time.monotonic()
    if scenario == "partition":
        host1.cut("drop")
        t0 = time.monotonic()
        rows = running_on(watch.sample(), host1)
        figures["rows"] = len(rows)
        took = figures["settled"] = watch.until(lambda s: s[2] is not None and not rows & running_on(s, host1),
                                                LEASE + SETTLE_MARGIN)
        if took is None:
            problems.append(f"host1 cut off: its {len(rows)} RUNNING row(s) not settled within "
                            f"{LEASE + SETTLE_MARGIN} s")
        watch.sleep(30 - (time.monotonic() - t0))
        host1.set_link(False)
        host1.uncut()
        watch.sleep(55 - (time.monotonic() - t0))
        host1.cut("reject")
        host1.set_link(True)
        watch.sleep(hold - (time.monotonic() - t0))
        host1.heal()
        starts_again(watch, host1, "reconnected", problems, figures)
        return t0, time.monotonic()
    if scenario == "server_restart":
        lab.server.halt()
        t0 = time.monotonic()
        time.sleep(hold)
        lab.server.resume()
        back = time.monotonic()
        before = watch.sample()[1]
        figures["all hosts again"] = watch.until(lambda s: all(s[1][h.name] > before[h.name] for h in lab.hosts),
                                                 RESTART_RESUME)
        if figures["all hosts again"] is None:
            problems.append(f"not every host started a task within {RESTART_RESUME} s of the server's restart")
        return t0, back
    raise ValueError(scenario)


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_multihost_faults(scenario, lab, tmp_path):
    lab.reset_hosts()
    folder = str(tmp_path)
    host1, others = lab.hosts[0], lab.hosts[1:]
    problems = []
    with contextlib.ExitStack() as stack:
        name = stack.enter_context(mariadb_private.scratch_database(lab.server))
        stack.callback(lab.reset_hosts)  # before the database goes
        cfg = lab.server.config(name)
        spec = dict(config=lab.server.tcp_config(name, connect_timeout=5, read_timeout=30, write_timeout=30),
                    seconds=SHORT, long_seconds=LONG, record_done=True, max_cpu=3, sleep_idle=0.05,
                    stop_file=os.path.join(folder, "stop"))
        spec1 = dict(spec, freeze_trigger=os.path.join(folder, "freeze")) if scenario == "host_frozen_in_claim" else spec
        watch = stack.enter_context(Watch(lab, cfg))
        watch.feeding.clear()
        watch.register(["long-1", "long-2"])
        host1.boot(spec1, folder)
        if watch.until(lambda s: len(running_on(s, host1)) >= 2, 30) is None:
            raise AssertionError(f"host1 claimed no long task within 30 s:\n{host1.life.log_tail()}")
        watch.register(["fail-1", "fail-2"])
        watch.feeding.set()
        for host in others:
            host.boot(spec, folder)
        watch.sleep(4)

        figures = {}
        t0, t1 = inject(scenario, lab, watch, folder, spec1, problems, figures)
        stall_bound = SCENARIOS[scenario][2]
        if stall_bound is not None:
            stall = figures["others' longest stall"] = watch.longest_stall(others, t0, t1)
            if stall > stall_bound:
                problems.append(f"host2 and host3 started no task for {stall:.0f} s during the fault "
                                f"(bound {stall_bound} s)")
        watch.feeding.clear()

        figures["drained"] = watch.until(lambda s: watch.active() == 0, 90)
        if figures["drained"] is None:
            problems.append(f"queue not drained 90 s after the fault: "
                            f"{dict(watch.query(f'SELECT status, COUNT(*) FROM {T} GROUP BY status'))}")
        died = [life for h in lab.hosts for life in h.lives if not life.killed and life.proc.poll() is not None]
        open(spec["stop_file"], "w").close()
        for host in lab.hosts:
            life = host.life
            if life and not life.killed:
                try:
                    life.proc.wait(timeout=45)
                except Exception:
                    problems.append(f"{host.name}'s dispatcher did not stop within 45 s")
        rows = {task: (wid, status, host) for wid, task, status, host in
                watch.query(f"SELECT worker_id, task_name, status, host_name FROM {T}")}
        left = watch.query(f"SELECT task_name, status, host_name, pid, TIMESTAMPDIFF(SECOND, start_time, NOW()) "
                           f"FROM {T} WHERE status<>'DEAD'")
        if left:
            problems.append(f"{len(left)} row(s) left PENDING or RUNNING (task, status, host, pid, claimed s ago; "
                            f"the fault began {time.monotonic() - t0:.0f} s ago): {left[:10]}")
        reasons = admin_dead_reasons(cfg)
        lives = [life for h in lab.hosts for life in h.lives]

    for life in lives:
        if life.killed:
            continue
        if life in died or life.proc.returncode != 0:
            problems.append(f"{life.host.name}'s dispatcher (life {life.number}) ended with {life.proc.returncode}"
                            f"{' during the run' if life in died else ''}:\n{life.log_tail()}")
        elif "Traceback" in life.log_tail(10 ** 7):
            problems.append(f"a traceback on {life.host.name} (life {life.number}):\n{life.log_tail()}")
    ran = collections.defaultdict(list)   # task -> lives it ran in
    for life in lives:
        for r in read_records(life.events, "run"):
            ran[r[2]].append(life)
    done = {r[2] for life in lives for r in read_records(life.events, "done")}
    twice = sorted(n for n, where in ran.items() if len(where) > 1)
    if twice:
        problems.append(f"{len(twice)} task(s) ran twice: {twice[:10]}")
    tasks = set(watch.registered) | {n for n in watch.attempted if n in rows or n in ran}
    if reasons is None:
        problems.append("`sarnovet-admin list` shows no REASON column")
    counts = collections.Counter()
    for name in sorted(tasks):
        wid, status, host = rows.get(name, (None, "removed", None))
        hit = any(life.killed for life in ran.get(name, []))
        reason = (reasons or {}).get(wid, "") if wid else ""
        if name in done:
            kind = "ran to its end" if status == "removed" else "ran to its end, DEAD"
            if status != "removed" and not hit:
                problems.append(f"{name}: its target returned, yet its row is {status} ({reason!r})")
        elif status == "removed":
            kind = "lost"
            problems.append(f"{name}: its row is gone but it never ran to its end")
        elif name.startswith("fail-"):
            kind = "failed"
            if reasons is not None and "ValueError" not in reason:
                problems.append(f"{name}: failed with ValueError, reason shown {reason!r}")
        elif name in ran:
            kind = "killed with its host"
            if not hit:
                problems.append(f"{name}: ran without ending on a host that was not killed, row {status}")
        else:
            kind = "claimed, never started"
            if host != host1.name and scenario != "server_restart":
                problems.append(f"{name}: claimed by {host}, never started, row {status}")
        if status == "DEAD" and reasons is not None and not reason:
            problems.append(f"{name}: DEAD without a reason")
        if status == "DEAD" and scenario == "host_lost" and host == host1.name and not name.startswith("fail-") \
                and reasons is not None and "host lost" not in reason:
            problems.append(f"{name}: settled after host1 was lost, reason {reason!r}")
        counts[kind] += 1
    print(f"{scenario}: {len(tasks)} tasks, fault {t1 - t0:.0f} s, "
          + ", ".join(f"{k} {'-' if v is None else round(v, 1)}" for k, v in figures.items()) + "; "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    assert not problems, f"{scenario} ({SCENARIOS[scenario][0]}):\n" + "\n".join(problems[:40])
