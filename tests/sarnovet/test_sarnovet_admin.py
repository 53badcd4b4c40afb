"""sarnovet-admin against the private server: each command on one table of
known rows, then the rows it left; its refusals and errors."""
import io
import json
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

import Sarnovet
import mariadb_private
from concurrency_toolkit import worker_table

HERE = socket.gethostname()
OTHER = "other-host"
BUSY = "busy-host"   # keeps its heartbeat


def gone_pid():
    proc = subprocess.Popen([sys.executable, "-c", "pass"])
    proc.wait(timeout=30)
    return proc.pid


# worker id: (status, host, pid, minutes since start, minutes since end)
ROWS = {
    "pending-1": ("PENDING", None, None, None, None),
    "run-here-alive": ("RUNNING", HERE, "self", 0, None),
    "run-here-reused": ("RUNNING", HERE, "self", 120, None),   # the pid is younger than the claim
    "run-here-gone": ("RUNNING", HERE, "gone", 10, None),
    "run-other-old": ("RUNNING", OTHER, 1, 180, None),
    "run-other-new": ("RUNNING", OTHER, 1, 1, None),
    "dead-old": ("DEAD", HERE, 4242, 3000, 2880),
    "dead-new": ("DEAD", OTHER, 1, 60, 5),
    "run-busy-old": ("RUNNING", BUSY, 1, 170, None),
    "dead-busy-lost": ("DEAD", BUSY, 1, 100, 1),
}


@pytest.fixture
def table(db_config, sql):
    Sarnovet.CLASS_MultiTaskAdv(print, 1, db_config)  # the module makes the table
    pids = {"self": os.getpid(), "gone": gone_pid()}
    for n, (wid, (status, host, pid, started, ended)) in enumerate(ROWS.items()):
        sql("INSERT INTO _syscpu_gate_worker (worker_id, task_name, host_name, pid, status, create_time, "
            "start_time, end_time) VALUES (%s, %s, %s, %s, %s, NOW() - INTERVAL %s MINUTE, "
            "NOW() - INTERVAL %s MINUTE, NOW() - INTERVAL %s MINUTE)",
            (wid, f"task of {wid}", host, pids.get(pid, pid), status, (started or 0) + n + 1, started, ended))
    sql("INSERT INTO _syscpu_gate_worker_lease VALUES (%s, UTC_TIMESTAMP()), (%s, UTC_TIMESTAMP() - INTERVAL 5 MINUTE)",
        (BUSY, OTHER))
    sql("INSERT INTO _syscpu_gate_worker_reason VALUES ('dead-busy-lost', 'host lost'), ('dead-new', 'ValueError: x')")
    return db_config


environment = mariadb_private.environment_for


def admin(cfg, *argv):
    out = io.StringIO()
    code = worker_table.main(list(argv), environ=environment(cfg), out=out)
    return code, out.getvalue()


def states(sql):
    return dict(sql("SELECT worker_id, status FROM _syscpu_gate_worker"))


UNCHANGED = {wid: row[0] for wid, row in ROWS.items()}


def changed(**new):
    result = dict(UNCHANGED)
    for wid, status in new.items():
        wid = wid.replace("_", "-")
        if status is None:
            del result[wid]
        else:
            result[wid] = status
    return result


@pytest.mark.parametrize("argv, code, shown, after", [
    (["status"], 0, ["PENDING", "RUNNING  other-host", "3 DEAD", "oldest RUNNING: run-other-old",
                     "heartbeats: busy-host 0s ago, other-host 5m00s ago (lost)"], UNCHANGED),
    (["list", "--status", "dead", "--limit", "1"], 0, ["dead-new", "1 of 3 matching rows"], UNCHANGED),
    (["list", "--status", "dead"], 0, ["REASON", "ValueError: x"], UNCHANGED),
    (["list", "--host", OTHER], 0, ["run-other-new", "run-other-old", "dead-new", "3 of 3"], UNCHANGED),
    (["requeue", "--all", "--dry-run"], 0, ["dead-old", "dead-new", "would requeue 2 rows"], UNCHANGED),
    (["requeue", "dead-old"], 0, ["requeued 1 row"], changed(dead_old="PENDING")),
    (["requeue", "dead-old", "run-here-gone"], 1, [], UNCHANGED),
    (["requeue", "--all"], 0, ["dead-busy-lost: settled as lost, but host busy-host keeps a heartbeat again",
                               "requeued 2 rows"], changed(dead_old="PENDING", dead_new="PENDING")),
    (["requeue", "--all", "--force"], 0, ["requeued 3 rows"],
     changed(dead_old="PENDING", dead_new="PENDING", dead_busy_lost="PENDING")),
    (["requeue", "dead-busy-lost"], 1, [], UNCHANGED),
    (["purge", "--older-than", "1h"], 0, ["dead-old", "purged 1 row"], changed(dead_old=None)),
    (["purge", "--older-than", "1h", "--dry-run"], 0, ["would purge 1 row"], UNCHANGED),
    (["reap"], 0, ["run-here-gone", "run-here-reused", "dispatcher gone", "marked DEAD 2 rows"],
     changed(run_here_gone="DEAD", run_here_reused="DEAD")),
    (["reap", "--host", OTHER, "--older-than", "90m"], 0, ["run-other-old", "too old"],
     changed(run_other_old="DEAD")),
    (["reap", "--host", OTHER, "--older-than", "90m", "--dry-run"], 0, ["would mark DEAD 1 row"], UNCHANGED),
    (["reap", "--host", BUSY, "--older-than", "90m"], 0, ["run-busy-old: host busy-host keeps its heartbeat",
                                                          "marked DEAD 0 rows"], UNCHANGED),
    (["reap", "--host", OTHER], 2, [], UNCHANGED),
])
def test_command(table, sql, argv, code, shown, after):
    got, out = admin(table, *argv)
    assert got == code, out
    for text in shown:
        assert text in out, out
    assert states(sql) == after


def test_requeue_clears_the_claim_and_the_module_claims_it_again(table, sql):
    def fail(name):
        raise RuntimeError("boom")

    runner = Sarnovet.CLASS_MultiTaskAdv(fail, 10, table)
    sql("DELETE FROM _syscpu_gate_worker")
    runner.CUF_RegisterTask("again")
    wid, name = runner.CUF_TryFetchTask()
    child = multiprocessing.get_context("fork").Process(target=runner._ProcessWrapper, args=(wid, name))
    child.start()  # the task fails: DEAD
    child.join(30)
    assert admin(table, "requeue", wid)[0] == 0
    assert sql("SELECT status, host_name, pid, start_time, end_time FROM _syscpu_gate_worker") == \
        (("PENDING", None, None, None, None),)
    assert runner.CUF_TryFetchTask() == (wid, "again")


@pytest.fixture
def silent_server():
    """A loopback address that accepts connections and never answers."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    yield {"SARNOVET_DB_HOST": "127.0.0.1", "SARNOVET_DB_PORT": str(listener.getsockname()[1]),
           "SARNOVET_DB_SOCKET": ""}
    listener.close()


ADMIN = os.path.join(os.path.dirname(sys.executable), "sarnovet-admin")


@pytest.mark.parametrize("argv, env, config, code, message", [
    (["--table", "x; DROP TABLE y", "status"], {}, None, 2, "invalid table name"),
    (["status"], {"SARNOVET_TABLE": "a.b.c"}, None, 2, "invalid table name"),
    (["--table", "no_such_table", "status"], None, None, 1, "database error: (1146"),
    (["status"], {"SARNOVET_DB_SOCKET": "/nonexistent/sock"}, None, 1, "database error: (2003"),
    (["--db-option", "autocommit=true", "status"], {}, None, 2, "autocommit"),
    (["purge", "--older-than", "9" * 400], {}, None, 2, "too large"),
    (["list", "--limit", "9" * 400], {}, None, 2, "must be 1 to"),
    (["--db-option", "port=abc", "status"], {}, None, 2, "port='abc': expected a whole number"),
    (["status"], {}, {"port": "3306"}, 2, "port='3306': expected a whole number"),
    (["--db-option", "charset=nonsense", "status"], {}, None, 2, "charset='nonsense'"),
    (["--db-option", "read_timeout=-1", "status"], {}, None, 2, "read_timeout=-1"),
    (["--db-option", "read_timeout=1", "status"], "silent", None, 1, "database error: (2013"),  # within its time-out
])
def test_refusals_and_errors_are_one_line(db_config, silent_server, tmp_path, argv, env, config, code, message):
    full = environment(db_config)
    full.update(silent_server if env == "silent" else env or {})
    if config is not None:
        (tmp_path / "db.json").write_text(json.dumps(config))
        full["SARNOVET_DB_CONFIG"] = str(tmp_path / "db.json")
    proc = subprocess.run([ADMIN, *argv], env=dict(os.environ, **full), capture_output=True, text=True, timeout=60)
    assert proc.returncode == code, proc.stderr
    assert proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr


def test_defaults_version_and_interrupt(db_config, silent_server):
    args = worker_table.build_parser().parse_args(["status"])
    cfg = worker_table.connection_settings(args, {})
    assert (cfg["connect_timeout"], cfg["read_timeout"], cfg["write_timeout"]) == (10, 30, 30)
    version = subprocess.run([ADMIN, "--version"], capture_output=True, text=True, timeout=60)
    assert version.returncode == 0 and version.stdout.startswith("sarnovet-admin 0.")
    # Ctrl-C while the server keeps silent (under the default 30 s read time-out)
    proc = subprocess.Popen([ADMIN, "status"], env=dict(os.environ, **silent_server), stderr=subprocess.PIPE,
                            text=True)
    time.sleep(1.5)
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=30)[1]
    assert proc.returncode == 1 and err == "sarnovet-admin: interrupted\n"
