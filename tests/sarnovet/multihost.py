"""Several hosts on one machine, for Sarnovet's multi-host fault test.

A Lab is a network namespace holding a bridge and a private MariaDB server
that listens on the bridge, plus one network namespace per host, linked
into the bridge by a veth pair. A host runs as `unshare --uts --pid --mount
--fork --mount-proc` in its namespace: a shell is its pid 1 (killing it ends
every process of the host), names the host and starts the dispatcher, which
so gets pid 2 in every life of the host, as in a container. The hosts share
the file system (only /proc is their own): targets and events record there.
Namespace names carry the test process's pid, so parallel runs never meet.

Run as a program, this module is the dispatcher of one life of a host.
"""
import json
import multiprocessing
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import Sarnovet
import mariadb_private
from sarnovet_helpers import make_runner, record, run_until_stopped

SUBNET = "10.77.0"
SERVER_ADDRESS = SUBNET + ".1"

# Short enough to keep the run short; the dispatchers read these.
LEASE_SECONDS = 20
HEARTBEAT_SECONDS = 2

# pid 1 of a host: names it, starts the dispatcher (pid 2) and ends with its
# exit status. (A `&&` list sent to the background would fork a subshell.)
INIT = 'echo "$0" > /proc/sys/kernel/hostname || exit 1; "$@" & wait $!'


def unavailable():
    """Why the lab cannot be built here, or None."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        return "needs root for network and pid namespaces"
    for tool, package in (("ip", "iproute2"), ("unshare", "util-linux"), ("nft", "nftables")):
        if not shutil.which(tool):
            return f"`{tool}` not found (install {package})"
    try:
        mariadb_private._binary("SARNOVET_MARIADBD", "mariadbd", "mysqld")
    except RuntimeError as e:
        return str(e)
    return None


def run(*argv, check=True):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    if check and done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({done.returncode}): {done.stderr.strip()}")
    return done


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


class Life:
    """One boot of a host: its shell (pid 1), log and events file."""

    def __init__(self, host, number, proc, log, events):
        self.host, self.number, self.proc, self.log, self.events = host, number, proc, log, events
        self.killed = False  # ended by the test, not by itself

    def init_pid(self, timeout=10):
        """The host's pid 1, as this machine's pid namespace numbers it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = children(self.proc.pid)
            if found or self.proc.poll() is not None:
                return found[0] if found else None
            time.sleep(0.02)
        return None

    def dispatcher_pid(self):
        init = self.init_pid()
        found = children(init) if init else []
        return found[0] if found else None

    def log_tail(self, chars=3000):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()[-chars:]
        except OSError:
            return ""


class Host:
    def __init__(self, lab, index):
        self.lab, self.index = lab, index
        self.name = f"host{index}"
        self.ns = f"{lab.tag}-h{index}"
        self.link = f"vh{index}"  # the bridge's end, in the server's namespace
        self.address = f"{SUBNET}.{10 + index}"
        self.lives = []

    @property
    def life(self):
        return self.lives[-1] if self.lives else None

    def boot(self, spec, folder):
        """Starts a new life running the dispatcher of `spec` (its events file
        and log are per life)."""
        n = len(self.lives)
        events = os.path.join(folder, f"events-{self.name}-{n}.jsonl")
        log = os.path.join(folder, f"log-{self.name}-{n}.txt")
        argv = [sys.executable, os.path.abspath(__file__), json.dumps(dict(spec, events=events))]
        env = dict(os.environ, PYTHONUNBUFFERED="1",
                   PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.abspath(__file__)),
                                               os.environ.get("PYTHONPATH", "")]))
        with open(log, "w") as out:
            proc = subprocess.Popen(["ip", "netns", "exec", self.ns, "unshare", "--uts", "--pid", "--mount", "--fork",
                                     "--mount-proc", "sh", "-c", INIT, self.name, *argv],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=env)
        self.lives.append(Life(self, n, proc, log, events))
        return self.lives[-1]

    def power_off(self):
        """Kills the host's pid 1, which ends every process of the host."""
        life = self.life
        if life is None or life.proc.poll() is not None:
            return
        life.killed = True
        init = life.init_pid()
        os.kill(init or life.proc.pid, signal.SIGKILL)
        try:
            life.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            life.proc.kill()
            life.proc.wait(timeout=15)

    def cut(self, how):
        """Packets between the host and the server: "drop" both ways (a black
        hole) or "reject" them (tcp reset), until heal(). One nft transaction:
        a cut that replaces another lets nothing through in between."""
        verdict = "drop" if how == "drop" else "meta l4proto tcp reject with tcp reset"
        rules = ("table inet fault\ndelete table inet fault\n"
                 f"table inet fault {{\n"
                 f"  chain out {{ type filter hook output priority 0; ip daddr {SERVER_ADDRESS} {verdict}; }}\n"
                 f"  chain in {{ type filter hook input priority 0; ip saddr {SERVER_ADDRESS} {verdict}; }}\n"
                 f"}}\n")
        done = subprocess.run(["ip", "netns", "exec", self.ns, "nft", "-f", "-"], input=rules, capture_output=True,
                              text=True, timeout=30)
        if done.returncode != 0:
            raise RuntimeError(f"nft failed: {done.stderr.strip()}")

    def set_link(self, up):
        run("ip", "-n", self.lab.server_ns, "link", "set", self.link, "up" if up else "down")

    def uncut(self):
        run("ip", "netns", "exec", self.ns, "nft", "delete", "table", "inet", "fault", check=False)

    def heal(self):
        self.uncut()
        self.set_link(True)


class Lab:
    """The server's namespace with its bridge and server, and the hosts."""

    def __init__(self, hosts=3):
        self.tag = f"snv{os.getpid()}"
        self.server_ns = f"{self.tag}-db"
        self.hosts = [Host(self, i) for i in range(1, hosts + 1)]
        self.server = None
        self.made = []

    def _netns(self, name):
        run("ip", "netns", "add", name)
        self.made.append(name)
        run("ip", "-n", name, "link", "set", "lo", "up")

    @staticmethod
    def remove_stale():
        """Namespaces left by runs whose process is gone (killed outright)."""
        for line in run("ip", "netns", "list", check=False).stdout.splitlines():
            found = re.match(r"snv(\d+)-\S+", line)
            if found and not os.path.exists(f"/proc/{found.group(1)}"):
                run("ip", "netns", "del", found.group(0), check=False)

    def __enter__(self):
        self.remove_stale()
        try:
            db = self.server_ns
            self._netns(db)
            run("ip", "-n", db, "link", "add", "br0", "type", "bridge")
            run("ip", "-n", db, "addr", "add", SERVER_ADDRESS + "/24", "dev", "br0")
            run("ip", "-n", db, "link", "set", "br0", "up")
            for host in self.hosts:
                self._netns(host.ns)
                run("ip", "-n", db, "link", "add", host.link, "type", "veth", "peer", "name", "eth0", "netns", host.ns)
                run("ip", "-n", db, "link", "set", host.link, "master", "br0", "up")
                run("ip", "-n", host.ns, "addr", "add", host.address + "/24", "dev", "eth0")
                run("ip", "-n", host.ns, "link", "set", "eth0", "up")
            self.server = mariadb_private.PrivateServer(bind_address=SERVER_ADDRESS, netns=db).start()
        except BaseException:
            self.close()
            raise
        return self

    def reset_hosts(self):
        """Every host off and connected again, ready for a new scenario."""
        for host in self.hosts:
            host.power_off()
            host.heal()
            host.lives = []

    def close(self):
        for host in self.hosts:
            try:
                host.power_off()
            except Exception:
                pass
        if self.server is not None:
            self.server.stop()
        for name in reversed(self.made):
            run("ip", "netns", "del", name, check=False)
        self.made = []

    def __exit__(self, *exc):
        self.close()
        return False


class _Cursor:
    def __init__(self, cursor, runner):
        self._cursor, self._runner, self._pick = cursor, runner, False

    def execute(self, text, *values):
        self._pick = "PENDING" in text and "FOR UPDATE" in text.upper()
        return self._cursor.execute(text, *values)

    def fetchone(self):
        row = self._cursor.fetchone()
        trigger = self._runner.freeze_trigger
        if row and self._pick and trigger and os.getpid() == self._runner.dispatcher_pid:
            try:
                os.rename(trigger, trigger + ".taken")  # once, by one process
            except OSError:
                return row
            record(self._runner.events, "frozen", os.getpid(), row[1], time.time())
            os.kill(os.getpid(), signal.SIGSTOP)  # as a host that freezes here, its transaction open
        return row

    def __getattr__(self, name):
        return getattr(self._cursor, name)


class _Connection:
    def __init__(self, conn, runner):
        self._conn, self._runner = conn, runner

    def cursor(self, *args):
        return _Cursor(self._conn.cursor(*args), self._runner)

    def __getattr__(self, name):
        return getattr(self._conn, name)


class HostRunner(Sarnovet.CLASS_MultiTaskAdv):
    """The dispatchers' runner: a short lease, and a dispatcher that stops
    itself right after a pending pick returned a row once `freeze_trigger`
    exists."""

    CVI_LeaseSeconds = LEASE_SECONDS
    CVI_HeartbeatSeconds = HEARTBEAT_SECONDS
    freeze_trigger = None
    dispatcher_pid = None
    events = None

    def CVF_GetDBConn(self):
        conn = super().CVF_GetDBConn()
        return _Connection(conn, self) if self.freeze_trigger else conn


def host_main(spec_json):
    """Body of a host's dispatcher: CUF_Run until the stop file exists."""
    spec = json.loads(spec_json)
    multiprocessing.set_start_method("fork")
    runner = make_runner(dict(spec, stop_when_empty=False), HostRunner)
    runner.freeze_trigger, runner.dispatcher_pid, runner.events = spec.get("freeze_trigger"), os.getpid(), spec["events"]
    record(spec["events"], "ready", os.getpid(), socket.gethostname(), time.time())
    print("dispatcher ready", os.getpid(), socket.gethostname(), flush=True)
    run_until_stopped(runner, spec.get("sleep_idle", 0.05))


if __name__ == "__main__":
    host_main(sys.argv[1])
