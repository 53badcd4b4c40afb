"""sarnovet-admin: look after Sarnovet's worker table.

    sarnovet-admin [CONNECTION] [--table NAME] COMMAND [OPTIONS]

Commands:
  status    rows by status and host name, and the oldest RUNNING row
  list      rows, newest first (--status, --host, --limit)
  requeue   DEAD rows back to PENDING (WORKER_ID ... or --all; --dry-run)
  purge     delete DEAD rows that ended longer ago than --older-than AGE
  reap      mark DEAD the RUNNING rows of a host whose dispatcher is gone
            (--host, default this machine) or that started longer ago than
            --older-than AGE (--dry-run)

Connection settings are the keyword arguments of pymysql.connect that the
programs give CLASS_MultiTaskAdv. They are read, each later source
overriding the earlier ones, from a JSON file (--config, or the variable
SARNOVET_DB_CONFIG), from the variables SARNOVET_DB_HOST, SARNOVET_DB_PORT,
SARNOVET_DB_SOCKET, SARNOVET_DB_USER, SARNOVET_DB_PASSWORD, SARNOVET_DB_NAME
and SARNOVET_DB_SSL_DISABLED, and from the --db-* options. The table name comes
from --table or SARNOVET_TABLE (default _syscpu_gate_worker).

Every command runs in one transaction; a command that changes rows locks
them first and changes exactly the rows it prints, and says why it leaves
a row alone. AGE is a number of seconds or a duration such as 90s, 15m,
2h, 7d or 1h30m. Unless the settings name them, the connection gets
time-outs of 10 s (connect) and 30 s (read, write): a server that never
answers ends the command with a message. Exit status: 0 on success, 1 on
a database error, a refused request or an interrupt (Ctrl-C), 2 on a
usage error.
"""
import argparse
import json
import os
import re
import socket
import sys

DEFAULT_TABLE = "_syscpu_gate_worker"
STATUSES = ("PENDING", "RUNNING", "DEAD")
PROG = "sarnovet-admin"

_NAME_PART = r"[A-Za-z0-9_$]{1,64}"
_TABLE_NAME = re.compile(rf"{_NAME_PART}(?:\.{_NAME_PART})?")
_AGE_PART = re.compile(r"(\d+(?:\.\d*)?)([smhdw]?)")
_UNIT = {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800}
MAX_AGE = 100 * 365 * 86400  # ages beyond a century are refused, not overflowed
DEFAULT_TIMEOUTS = {"connect_timeout": 10, "read_timeout": 30, "write_timeout": 30}
# CLASS_MultiTaskAdv.CVI_LeaseSeconds by default: a host whose heartbeat is
# older is lost, one with a newer heartbeat still looks after its rows.
DEFAULT_LEASE = 90


class Refused(Exception):
    """A request the command does not carry out (exit status 1)."""


class UsageError(Exception):
    """Bad settings or arguments (exit status 2)."""


# ------------------------------------------------------------------ input

def check_table_name(name):
    """The module's rule: one identifier or db.table, each part 1 to 64
    ASCII letters, digits, '_' or '$' (the name goes into the SQL text)."""
    if not isinstance(name, str) or not _TABLE_NAME.fullmatch(name):
        raise UsageError(f"invalid table name {name!r}: expected a name or db.table, "
                         "each part 1 to 64 ASCII letters, digits, '_' or '$'")
    return name


def parse_age(text):
    """Seconds in `text`: '90', '90s', '15m', '2h', '7d', '1w', '1h30m'."""
    pos, total = 0, 0.0
    text = text.strip().lower()
    while pos < len(text):
        m = _AGE_PART.match(text, pos)
        if not m:
            raise argparse.ArgumentTypeError(f"invalid age {text!r}: use seconds or e.g. 90s, 15m, 2h, 7d, 1h30m")
        total += float(m.group(1)) * _UNIT[m.group(2)]
        pos = m.end()
    if not text:
        raise argparse.ArgumentTypeError("empty age")
    if not total <= MAX_AGE:  # also inf and nan from a number of 400 digits
        raise argparse.ArgumentTypeError(f"age {text[:20]!r}{'...' if len(text) > 20 else ''} is too large "
                                         f"(at most {MAX_AGE // 86400}d)")
    return int(total)


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text[:20]!r}")
    if not 1 <= value <= 10 ** 9:
        raise argparse.ArgumentTypeError("must be 1 to 1000000000")
    return value


def check_settings(cfg):
    """Refuses values pymysql.connect would trip over with a traceback."""
    def number(key, low, high, kinds=(int, float)):
        v = cfg.get(key)
        if v is None:
            return
        if isinstance(v, bool) or not isinstance(v, kinds) or not (low < v <= high):
            want = "a whole number" if kinds == (int,) else "a number of seconds"
            raise UsageError(f"connection setting {key}={v!r}: expected {want} above {low} up to {high}")
    number("port", 0, 65535, (int,))
    for key in DEFAULT_TIMEOUTS:
        number(key, 0, 31536000)
    charset = cfg.get("charset")
    if charset is not None:
        from pymysql import charset as charsets
        if not isinstance(charset, str) or charsets.charset_by_name(charset) is None:
            raise UsageError(f"connection setting charset={charset!r}: not a character set the driver knows")
    for key in ("host", "unix_socket", "user", "database"):
        if key in cfg and cfg[key] is not None and not isinstance(cfg[key], str):
            raise UsageError(f"connection setting {key}={cfg[key]!r}: expected text")


def _option_value(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def connection_settings(args, environ):
    """The keyword arguments for pymysql.connect (without autocommit)."""
    cfg = {}
    path = getattr(args, "config", None) or environ.get("SARNOVET_DB_CONFIG")
    if path:
        try:
            with open(path, encoding="utf-8") as f:
                loaded = json.load(f)
        except (OSError, ValueError) as exc:
            raise UsageError(f"cannot read connection settings from {path}: {exc}")
        if not isinstance(loaded, dict):
            raise UsageError(f"{path}: expected a JSON object of pymysql.connect settings")
        cfg.update(loaded)
    for var, key in (("SARNOVET_DB_HOST", "host"), ("SARNOVET_DB_SOCKET", "unix_socket"),
                     ("SARNOVET_DB_USER", "user"), ("SARNOVET_DB_PASSWORD", "password"),
                     ("SARNOVET_DB_NAME", "database")):
        if environ.get(var):
            cfg[key] = environ[var]
    if environ.get("SARNOVET_DB_PORT"):
        try:
            cfg["port"] = int(environ["SARNOVET_DB_PORT"])
        except ValueError:
            raise UsageError(f"SARNOVET_DB_PORT is not a number: {environ['SARNOVET_DB_PORT']!r}")
    for opt, key in (("db_host", "host"), ("db_port", "port"), ("db_socket", "unix_socket"), ("db_user", "user"),
                     ("db_password", "password"), ("db_name", "database")):
        value = getattr(args, opt, None)
        if value is not None:
            cfg[key] = value
    for item in getattr(args, "db_option", None) or ():
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise UsageError(f"--db-option wants KEY=VALUE, got {item!r}")
        cfg[key] = _option_value(value)
    # TLS: off on a unix socket unless asked for, as the test helper does.
    ssl_env = environ.get("SARNOVET_DB_SSL_DISABLED")
    if getattr(args, "db_ssl_disabled", False) or ssl_env == "1" or (ssl_env is None and "unix_socket" in cfg
                                                                  and "ssl_disabled" not in cfg):
        cfg["ssl_disabled"] = True
    if "autocommit" in cfg:
        raise UsageError("connection settings must not contain 'autocommit' (the command runs one transaction)")
    for key, value in DEFAULT_TIMEOUTS.items():
        cfg.setdefault(key, value)
    check_settings(cfg)
    return cfg


def table_of(args, environ):
    name = getattr(args, "table", None) or environ.get("SARNOVET_TABLE") or DEFAULT_TABLE
    return check_table_name(name)


# ------------------------------------------------------------------ output

def _cell(value):
    if value is None:
        return "-"
    if hasattr(value, "strftime"):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)


def format_age(seconds):
    if seconds is None:
        return "-"
    seconds = int(seconds)
    if seconds < 0:
        return f"{seconds}s"
    days, rest = divmod(seconds, 86400)
    hours, rest = divmod(rest, 3600)
    minutes, secs = divmod(rest, 60)
    if days:
        return f"{days}d{hours:02d}h"
    if hours:
        return f"{hours}h{minutes:02d}m"
    if minutes:
        return f"{minutes}m{secs:02d}s"
    return f"{secs}s"


def render(headers, rows, out):
    """Prints a table: a header line, a rule, one line per row; numbers to
    the right, everything else to the left, NULL as '-'."""
    cells = [[_cell(v) for v in row] for row in rows]
    right = [bool(rows) and all(isinstance(row[i], int) or row[i] is None for row in rows)
             for i in range(len(headers))]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]

    def line(values):
        parts = [v.rjust(w) if r else v.ljust(w) for v, w, r in zip(values, widths, right)]
        return "  ".join(parts).rstrip()

    print(line(headers), file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for r in cells:
        print(line(r), file=out)


def _plural(n, word):
    return f"{n} {word}" + ("" if n == 1 else "s")


# ------------------------------------------------------ companion tables

def companion(table, suffix):
    """The name of a companion table, as the module makes it: the worker
    table's last part plus `suffix`, cut and told apart by a hash when it
    would pass 64 characters."""
    db, dot, part = table.rpartition(".")
    room = 64 - len(suffix)
    if len(part) > room:
        h = 2166136261
        for b in part.encode():
            h = ((h ^ b) * 16777619) & 0xFFFFFFFF
        tag = f"_{h:08x}"
        part = part[:room - len(tag)] + tag
    return f"{db}{dot}{part}{suffix}"


class Tables:
    """The worker table and, where the module has made them, the reasons of
    its DEAD rows (`_reason`) and its hosts' heartbeats (`_lease`)."""

    def __init__(self, cur, table):
        self.table = table
        self.reason = companion(table, "_reason")
        self.lease = companion(table, "_lease")
        self.has_reason = _exists(cur, self.reason)
        self.has_lease = _exists(cur, self.lease)

    def reason_join(self):
        return f" LEFT JOIN {self.reason} r ON r.worker_id=w.worker_id" if self.has_reason else ""

    def reason_col(self):
        return "CASE WHEN w.status='DEAD' THEN r.reason END" if self.has_reason else "NULL"

    def note(self, cur, rows):
        """Keeps the reasons of rows just marked DEAD: (worker id, reason)."""
        if self.has_reason:
            for wid, reason in rows:
                cur.execute(f"INSERT INTO {self.reason} (worker_id, reason) VALUES (%s, %s) "
                            "ON DUPLICATE KEY UPDATE reason=VALUES(reason)", (wid, reason))

    def forget(self, cur, ids):
        if self.has_reason and ids:
            cur.execute(f"DELETE FROM {self.reason} WHERE worker_id IN {_in_list(ids)}", ids)

    def lease_ages(self, cur):
        """host name -> seconds since its last heartbeat (server clock)."""
        if not self.has_lease:
            return {}
        cur.execute(f"SELECT host_name, TIMESTAMPDIFF(SECOND, beat, UTC_TIMESTAMP()) FROM {self.lease}")
        return dict(cur.fetchall())


def _exists(cur, name):
    import pymysql
    try:
        cur.execute(f"SELECT 1 FROM {name} LIMIT 0")
        return True
    except pymysql.err.ProgrammingError as exc:
        if exc.args and exc.args[0] == 1146:
            return False
        raise


# ------------------------------------------------------ process identity

def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def _stat(pid):
    data = _read(f"/proc/{pid}/stat")
    if not data or ")" not in data:
        return None, None
    head, rest = data.rsplit(")", 1)
    return head.split("(", 1)[-1], rest.split()


def task_processes():
    """name -> pid of the processes on this machine that run a task: a child
    names itself "sv-" and the first 12 hexadecimal digits of its worker id
    while it runs."""
    found = {}
    try:
        entries = os.listdir("/proc")
    except OSError:
        return found
    for entry in entries:
        if entry.isdigit():
            name, fields = _stat(entry)
            if name and name.startswith("sv-") and fields and fields[0] not in ("Z", "X"):
                found[name] = int(entry)
    return found


def task_name_of(worker_id):
    return "sv-" + "".join(c for c in str(worker_id).lower() if c in "0123456789abcdef")[:12]


def process_age(pid):
    """Seconds since the process started; None when unknown."""
    _name, fields = _stat(pid)
    uptime = _read("/proc/uptime")
    if not fields or not uptime:
        return None
    return float(uptime.split()[0]) - int(fields[19]) / os.sysconf("SC_CLK_TCK")


def claimer_alive(pid, claim_age):
    """Whether the process now under a claim's pid may be the one that
    claimed: it exists and is not younger than the claim."""
    if not isinstance(pid, int) or pid <= 0 or not pid_alive(pid):
        return False
    _name, fields = _stat(pid)
    if fields and fields[0] in ("Z", "X"):
        return False
    age = process_age(pid)
    return age is None or claim_age is None or age + 2 >= claim_age


# ---------------------------------------------------------------- commands

def _in_list(ids):
    return "(" + ", ".join(["%s"] * len(ids)) + ")"


def cmd_status(cur, table, args, out):
    cur.execute(f"SELECT status, host_name, COUNT(*), MIN(start_time) FROM {table} "
                "GROUP BY status, host_name ORDER BY status, host_name")
    groups = cur.fetchall()
    if not groups:
        print(f"{table}: no rows", file=out)
        return 0
    render(["STATUS", "HOST", "ROWS", "OLDEST START"],
           [(s, h, n, start) for s, h, n, start in groups], out)
    totals = {s: 0 for s in STATUSES}
    for s, _h, n, _start in groups:
        totals[s] = totals.get(s, 0) + n
    print(f"\n{_plural(sum(totals.values()), 'row')}: " + ", ".join(f"{totals[s]} {s}" for s in STATUSES), file=out)
    cur.execute(f"SELECT worker_id, task_name, host_name, pid, start_time, TIMESTAMPDIFF(SECOND, start_time, NOW()) "
                f"FROM {table} WHERE status='RUNNING' ORDER BY start_time IS NULL, start_time, worker_id LIMIT 1")
    oldest = cur.fetchone()
    if oldest:
        wid, task, host, pid, start, age = oldest
        print(f"oldest RUNNING: {wid} ({task!r}) on {_cell(host)}, pid {_cell(pid)}, "
              f"started {_cell(start)} ({format_age(age)} ago)", file=out)
    ages = Tables(cur, table).lease_ages(cur)
    if ages:
        print("heartbeats: " + ", ".join(f"{h} {format_age(a)} ago" + (" (lost)" if a > args.lease else "")
                                         for h, a in sorted(ages.items())), file=out)
    return 0


def cmd_list(cur, table, args, out):
    t = Tables(cur, table)
    where, values = [], []
    if args.status:
        statuses = sorted(set(args.status), key=STATUSES.index)
        where.append("w.status IN (" + ", ".join(f"'{s}'" for s in statuses) + ")")
    if args.host is not None:
        where.append("w.host_name=%s")
        values.append(args.host)
    clause = (" WHERE " + " AND ".join(where)) if where else ""
    cur.execute(f"SELECT COUNT(*) FROM {table} w{clause}", values or None)
    total = cur.fetchone()[0]
    cur.execute(f"SELECT w.worker_id, w.task_name, w.status, w.host_name, w.pid, NULL, "
                f"w.create_time, w.start_time, w.end_time, {t.reason_col()} "
                f"FROM {table} w{t.reason_join()}{clause} ORDER BY w.create_time DESC, w.worker_id LIMIT %s",
                values + [args.limit])
    here, children = socket.gethostname(), task_processes()
    rows = [r[:5] + ((children.get(task_name_of(r[0])) if r[3] == here else None),) + r[6:] for r in cur.fetchall()]
    if not rows:
        print(f"{table}: no matching rows", file=out)
        return 0
    render(["WORKER ID", "TASK", "STATUS", "HOST", "PID", "CHILD", "CREATED", "STARTED", "ENDED", "REASON"], rows,
           out)
    print(f"\n{len(rows)} of {_plural(total, 'matching row')}, newest first", file=out)
    return 0


def _report_change(rows, headers, verb, done, args, out):
    if rows:
        render(headers, rows, out)
        print(file=out)
    n = _plural(len(rows), "row")
    print(f"would {verb} {n} (dry run: nothing changed)" if args.dry_run else f"{done} {n}", file=out)


def _left_alone(rows, out):
    """Prints the rows a command leaves alone, each with the reason."""
    if rows:
        print("left alone:", file=out)
        for wid, why in rows:
            print(f"  {wid}: {why}", file=out)
        print(file=out)


def cmd_requeue(cur, table, args, out):
    t = Tables(cur, table)
    select = (f"SELECT w.worker_id, w.task_name, w.status, w.host_name, w.pid, w.end_time, {t.reason_col()} "
              f"FROM {table} w{t.reason_join()} ")
    if args.all:
        cur.execute(select + "WHERE w.status='DEAD' ORDER BY w.worker_id FOR UPDATE")
        rows = cur.fetchall()
    else:
        ids = list(dict.fromkeys(args.worker_ids))
        cur.execute(select + f"WHERE w.worker_id IN {_in_list(ids)} ORDER BY w.worker_id FOR UPDATE", ids)
        rows = cur.fetchall()
        found = {r[0]: r[2] for r in rows}
        bad = [f"{w} ({found[w]})" if w in found else f"{w} (no such row)" for w in ids if found.get(w) != "DEAD"]
        if bad:
            raise Refused("only DEAD rows are requeued; nothing changed: " + ", ".join(bad))
    # A task that may still run is not put back: its child lives here, or
    # its row was settled as lost while its host (heartbeating again) may
    # still run it.
    here, ages, children = socket.gethostname(), t.lease_ages(cur), task_processes()
    lease = args.lease
    keep = []
    for wid, _task, _status, host, _pid, _end, reason in rows:
        child = children.get(task_name_of(wid))
        if host == here and child:
            keep.append((wid, f"its child (pid {child}) still runs on this host"))
        elif not args.force and reason == "host lost" and ages.get(host) is not None and ages[host] <= lease:
            keep.append((wid, f"settled as lost, but host {host} keeps a heartbeat again ({ages[host]} s ago): "
                              f"its child may still run (check there, then requeue with --force)"))
    if keep and not args.all:
        raise Refused("a task may still run; nothing changed: " + "; ".join(f"{w}: {why}" for w, why in keep))
    skipped = {w for w, _ in keep}
    rows = [r for r in rows if r[0] not in skipped]
    ids = [r[0] for r in rows]
    if ids and not args.dry_run:
        cur.execute(f"UPDATE {table} SET status='PENDING', host_name=NULL, pid=NULL, start_time=NULL, end_time=NULL "
                    f"WHERE status='DEAD' AND worker_id IN {_in_list(ids)}", ids)
        t.forget(cur, ids)
    _left_alone(keep, out)
    _report_change([(r[0], r[1], r[3], r[4], r[5], r[6]) for r in rows],
                   ["WORKER ID", "TASK", "HOST", "PID", "ENDED", "REASON"], "requeue", "requeued", args, out)
    return 0


def cmd_purge(cur, table, args, out):
    cur.execute(f"SELECT worker_id, task_name, host_name, end_time, "
                f"TIMESTAMPDIFF(SECOND, COALESCE(end_time, start_time, create_time), NOW()) FROM {table} "
                "WHERE status='DEAD' AND COALESCE(end_time, start_time, create_time) < NOW() - INTERVAL %s SECOND "
                "ORDER BY worker_id FOR UPDATE", (args.older_than,))
    rows = cur.fetchall()
    ids = [r[0] for r in rows]
    if ids and not args.dry_run:
        cur.execute(f"DELETE FROM {table} WHERE status='DEAD' AND worker_id IN {_in_list(ids)}", ids)
        Tables(cur, table).forget(cur, ids)
    _report_change([r[:4] + (format_age(r[4]),) for r in rows], ["WORKER ID", "TASK", "HOST", "ENDED", "AGE"],
                   "purge", "purged", args, out)
    return 0


def pid_alive(pid):
    """Whether a process with this id exists on this machine."""
    if not isinstance(pid, int) or pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def cmd_reap(cur, table, args, out):
    here = socket.gethostname()
    host = args.host if args.host is not None else here
    test_pids = host == here
    if not test_pids and args.older_than is None:
        raise UsageError(f"the pids of host {host!r} cannot be tested here (this is {here!r}): "
                         "run reap on that host, or give --older-than")
    t = Tables(cur, table)
    age = t.lease_ages(cur).get(host)
    cur.execute(f"SELECT worker_id, task_name, pid, start_time, TIMESTAMPDIFF(SECOND, start_time, NOW()) "
                f"FROM {table} WHERE status='RUNNING' AND host_name=%s ORDER BY worker_id FOR UPDATE", (host,))
    children = task_processes() if test_pids else {}
    chosen, keep = [], []
    for wid, task, pid, start, row_age in cur.fetchall():
        child = children.get(task_name_of(wid))
        if child:
            keep.append((wid, f"its child (pid {child}) still runs on this host"))
            continue
        if test_pids and not claimer_alive(pid, row_age):
            reason = "dispatcher gone" if pid else "no pid"
        elif args.older_than is not None and (row_age is None or row_age > args.older_than):
            if not test_pids and age is not None and age <= args.lease:
                keep.append((wid, f"host {host} keeps its heartbeat ({age} s ago): its dispatchers look after "
                                  "their rows (reap there, or wait until its lease runs out)"))
                continue
            reason = "too old"
        else:
            continue
        chosen.append((wid, task, pid, start, format_age(row_age), reason))
    ids = [r[0] for r in chosen]
    if ids and not args.dry_run:
        cur.execute(f"UPDATE {table} SET status='DEAD', end_time=NOW() "
                    f"WHERE status='RUNNING' AND worker_id IN {_in_list(ids)}", ids)
        t.note(cur, [(r[0], f"reaped: {r[5]}") for r in chosen])
    _left_alone(keep, out)
    _report_change(chosen, ["WORKER ID", "TASK", "PID", "STARTED", "AGE", "REASON"], "mark DEAD", "marked DEAD", args, out)
    return 0


COMMANDS = {"status": cmd_status, "list": cmd_list, "requeue": cmd_requeue, "purge": cmd_purge, "reap": cmd_reap}
CHANGES = {"requeue", "purge", "reap"}


# ------------------------------------------------------------------ parser

def _connection_options(parser, default):
    g = parser.add_argument_group("connection (overrides --config and the SARNOVET_DB_* variables)")
    g.add_argument("--config", metavar="FILE", default=default, help="JSON object of pymysql.connect settings")
    g.add_argument("--db-host", metavar="HOST", default=default, help="server address")
    g.add_argument("--db-port", metavar="PORT", type=int, default=default)
    g.add_argument("--db-socket", metavar="PATH", default=default, help="unix socket of the server")
    g.add_argument("--db-user", metavar="USER", default=default)
    g.add_argument("--db-password", metavar="PASSWORD", default=default, help="better given as SARNOVET_DB_PASSWORD")
    g.add_argument("--db-name", metavar="DATABASE", default=default)
    g.add_argument("--db-ssl-disabled", action="store_true", default=default, help="connect without TLS")
    g.add_argument("--db-option", metavar="KEY=VALUE", action="append", default=default,
                   help="any other pymysql.connect setting (VALUE read as JSON when it parses)")
    g.add_argument("--table", default=default, help=f"worker table, NAME or DB.NAME (default {DEFAULT_TABLE})")


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line (the usage is one --help away)."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {' '.join(message.split())} (see --help)\n")


def build_parser():
    parser = _Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
                                     description="Looks after Sarnovet's worker table.\n\n" + __doc__.split("\n\n", 2)[2],
                                     epilog="Run '%(prog)s COMMAND --help' for a command's options.")
    _connection_options(parser, None)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common = _Parser(add_help=False)
    _connection_options(common, argparse.SUPPRESS)

    lease = _Parser(add_help=False)
    lease.add_argument("--lease", type=parse_age, default=DEFAULT_LEASE, metavar="AGE",
                       help=f"the dispatchers' CVI_LeaseSeconds: a host whose heartbeat is older is lost "
                            f"(default {DEFAULT_LEASE}s)")
    sub.add_parser("status", parents=[common, lease], help="rows by status and host, oldest RUNNING row")

    p = sub.add_parser("list", parents=[common], help="rows, newest first")
    p.add_argument("--status", action="append", type=str.upper, choices=STATUSES,
                   help="only rows in this state (may be repeated)")
    p.add_argument("--host", help="only rows claimed under this host name")
    p.add_argument("--limit", type=positive_int, default=20, help="at most this many rows (default 20)")

    p = sub.add_parser("requeue", parents=[common, lease], help="DEAD rows back to PENDING")
    p.add_argument("worker_ids", nargs="*", metavar="WORKER_ID", help="the rows to requeue")
    p.add_argument("--all", action="store_true", help="every DEAD row (that may not still run)")
    p.add_argument("--force", action="store_true",
                   help="also rows settled as lost whose host keeps a heartbeat again")
    p.add_argument("--dry-run", action="store_true", help="show the rows, change nothing")

    p = sub.add_parser("purge", parents=[common], help="delete old DEAD rows")
    p.add_argument("--older-than", type=parse_age, required=True, metavar="AGE",
                   help="rows that ended longer ago than this")
    p.add_argument("--dry-run", action="store_true", help="show the rows, change nothing")

    p = sub.add_parser("reap", parents=[common, lease], help="mark stranded RUNNING rows DEAD")
    p.add_argument("--host",
                   help="host name of the rows (default this machine's, whose pids can be tested)")
    p.add_argument("--older-than", type=parse_age, metavar="AGE", help="also rows that started longer ago than this")
    p.add_argument("--dry-run", action="store_true", help="show the rows, change nothing")
    return parser


def _version():
    try:
        from importlib.metadata import version
        return version("concurrency-toolkit")
    except Exception:
        return "(version unknown)"


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def main(argv=None, environ=None, out=None):
    try:
        return _main(argv, environ, out)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 1


def _main(argv, environ, out):
    environ = os.environ if environ is None else environ
    out = sys.stdout if out is None else out
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "requeue" and bool(args.all) == bool(args.worker_ids):
        parser.exit(2, f"{PROG}: error: requeue wants either WORKER_ID ... or --all\n")
    try:
        cfg = connection_settings(args, environ)
        table = table_of(args, environ)
    except UsageError as exc:
        parser.exit(2, f"{PROG}: error: {_one_line(exc)}\n")
    try:
        import pymysql
    except ImportError as exc:  # the distribution depends on it
        parser.exit(1, f"{PROG}: error: {_one_line(exc)}\n")
    conn = None
    try:
        try:
            conn = pymysql.connect(**cfg, autocommit=False)
        except (TypeError, ValueError, AttributeError, LookupError) as exc:  # a setting the driver refuses
            raise UsageError(f"connection settings: {_one_line(exc)}")
        cur = conn.cursor(pymysql.cursors.Cursor)
        code = COMMANDS[args.command](cur, table, args, out)
        if args.command in CHANGES and not args.dry_run:
            conn.commit()
        else:
            conn.rollback()
        return code
    except (Refused, UsageError) as exc:
        _abandon(conn)
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 2 if isinstance(exc, UsageError) else 1
    except (pymysql.MySQLError, OSError) as exc:
        _abandon(conn)
        print(f"{PROG}: database error: {_one_line(exc)}", file=sys.stderr)
        return 1
    finally:
        if conn is not None:
            try:
                conn.close()
            except Exception:
                pass


def _abandon(conn):
    if conn is None:
        return
    try:
        conn.rollback()
    except Exception:
        pass


if __name__ == "__main__":
    sys.exit(main())
