"""A throwaway MariaDB server for Sarnovet's tests, benchmarks and demo.

`database_server()` gives a server to work on, as a context manager:

* by default a private server: a data directory made by
  `mariadb-install-db` in a new temporary folder, which is also the
  server's tmpdir (servers started at the same time share no temporary
  files), `mariadbd` listening on a unix socket in that folder (no TCP
  unless `bind_address` is given; then also on that address, run inside
  the network namespace `netns` when one is named, with root allowed from
  any address), with utf8mb4 as the server character set and a strict
  sql_mode (a too long value is an error, not cut). It is stopped and the
  folder removed when the context ends, also when the code inside fails,
  at interpreter exit and when the process gets SIGTERM;
* an existing server when the environment names one (SARNOVET_DB_SOCKET or
  SARNOVET_DB_HOST, with SARNOVET_DB_PORT, SARNOVET_DB_USER and
  SARNOVET_DB_PASSWORD; SARNOVET_DB_SSL_DISABLED=1 turns TLS off, the
  default on a socket); nothing is started or stopped then.

`server.config(database)` gives the keyword arguments for pymysql.connect;
`scratch_database(server)` creates a database with a fresh name and drops
it afterwards.
"""
import atexit
import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import uuid

import pymysql

_SEARCH = ["/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"]


def _binary(env_name, *names):
    configured = os.environ.get(env_name)
    if configured:
        return configured
    for name in names:
        found = shutil.which(name, path=os.pathsep.join([os.environ.get("PATH", "")] + _SEARCH))
        if found:
            return found
    raise RuntimeError(f"none of {names} found; install mariadb-server or set {env_name}")


class ExistingServer:
    """A server named by the environment; used as it is."""

    def __init__(self, base):
        self._base = base

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def config(self, database=None, **extra):
        cfg = dict(self._base)
        if database:
            cfg["database"] = database
        cfg.update(extra)
        return cfg


SERVER_SETTINGS = ["--character-set-server=utf8mb4", "--collation-server=utf8mb4_unicode_ci",
                   "--sql-mode=STRICT_ALL_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_ZERO_DATE,NO_ZERO_IN_DATE,"
                   "NO_ENGINE_SUBSTITUTION"]

# Private servers of this process, stopped and removed on SIGTERM.
_live = []
_previous_sigterm = None


def _on_sigterm(signum, frame):
    """Stops this process's private servers, then ends the process by
    SIGTERM as it would have ended without this handler (or hands the
    signal to the handler that was there before). A process forked from
    the owner inherits the handler but owns no server: it only ends."""
    for server in list(_live):
        server.stop()
    previous = _previous_sigterm
    if callable(previous):
        previous(signum, frame)
        return
    signal.signal(signal.SIGTERM, previous if previous is not None else signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)


def _restore_sigterm():
    """In a forked copy: SIGTERM acts as it did before the handler."""
    if signal.getsignal(signal.SIGTERM) is _on_sigterm:
        try:
            signal.signal(signal.SIGTERM, _previous_sigterm if _previous_sigterm is not None else signal.SIG_DFL)
        except ValueError:
            pass


def _watch_sigterm():
    global _previous_sigterm
    if threading.current_thread() is not threading.main_thread():
        return  # only the main thread can set handlers; atexit still cleans up
    current = signal.getsignal(signal.SIGTERM)
    if current is _on_sigterm or current == signal.SIG_IGN:
        return
    if _previous_sigterm is None and hasattr(os, "register_at_fork"):
        os.register_at_fork(after_in_child=_restore_sigterm)
    _previous_sigterm = current
    signal.signal(signal.SIGTERM, _on_sigterm)


class PrivateServer:
    """mariadbd on a unix socket in a temporary folder, owned by this process."""

    def __init__(self, start_timeout=60.0, bind_address=None, port=3306, netns=None):
        self.start_timeout = start_timeout
        self.bind_address, self.port, self.netns = bind_address, port, netns
        self.folder = None
        self.process = None
        self.owner = None

    @property
    def socket(self):
        return os.path.join(self.folder, "sock")

    def config(self, database=None, **extra):
        # A unix socket needs no TLS; the driver would otherwise build a TLS
        # context for every connection (most of the set-up time).
        cfg = {"unix_socket": self.socket, "user": "root", "password": "", "ssl_disabled": True}
        if database:
            cfg["database"] = database
        cfg.update(extra)
        return cfg

    def tcp_config(self, database=None, **extra):
        """Settings that reach the server over TCP at its bind address."""
        cfg = {"host": self.bind_address, "port": self.port, "user": "root", "password": "", "ssl_disabled": True}
        if database:
            cfg["database"] = database
        cfg.update(extra)
        return cfg

    def start(self):
        self.owner = os.getpid()
        self.folder = tempfile.mkdtemp(prefix="sarnovet-db-")
        atexit.register(self.stop)
        _live.append(self)
        _watch_sigterm()
        try:
            self._install()
            self._launch()
            self._wait_ready()
            if self.bind_address:
                conn = pymysql.connect(**self.config())
                try:
                    conn.cursor().execute("CREATE USER IF NOT EXISTS 'root'@'%' IDENTIFIED BY ''")
                    conn.cursor().execute("GRANT ALL ON *.* TO 'root'@'%' WITH GRANT OPTION")
                finally:
                    conn.close()
        except BaseException:
            self.stop()
            raise
        return self

    def _as_root(self):
        return ["--user=root"] if hasattr(os, "geteuid") and os.geteuid() == 0 else []

    def _install(self):
        cmd = [_binary("SARNOVET_MARIADB_INSTALL_DB", "mariadb-install-db", "mysql_install_db"),
               "--no-defaults", f"--datadir={self.folder}/data", "--auth-root-authentication-method=normal",
               "--skip-test-db", f"--tmpdir={self.folder}", *self._as_root()]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=self.start_timeout)
        if done.returncode != 0:
            raise RuntimeError(f"mariadb-install-db failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")

    def _launch(self):
        network = (["--skip-networking"] if not self.bind_address else
                   [f"--bind-address={self.bind_address}", f"--port={self.port}", "--skip-name-resolve"])
        prefix = ["ip", "netns", "exec", self.netns] if self.netns else []  # ip execs the server: same pid
        cmd = [*prefix, _binary("SARNOVET_MARIADBD", "mariadbd", "mysqld"), "--no-defaults",
               f"--datadir={self.folder}/data", f"--socket={self.socket}", f"--tmpdir={self.folder}", *network,
               *self._as_root(), "--innodb-buffer-pool-size=32M", "--innodb-flush-log-at-trx-commit=2",
               "--max-connections=400", *SERVER_SETTINGS, f"--log-error={self.folder}/err.log",
               f"--pid-file={self.folder}/pid"]
        self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def _wait_ready(self):
        deadline = time.monotonic() + self.start_timeout
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"mariadbd ended with {self.process.returncode}:\n{self.error_log()}")
            try:
                pymysql.connect(**self.config(), connect_timeout=2).close()
                return
            except pymysql.MySQLError:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"mariadbd did not answer within {self.start_timeout} s:\n{self.error_log()}")
                time.sleep(0.05)

    def error_log(self):
        try:
            with open(os.path.join(self.folder, "err.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def halt(self):
        """Stops the server process and keeps its folder (see resume)."""
        if self.owner != os.getpid():
            return  # a forked copy of the owner: the server is not ours
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process = None

    def resume(self):
        """Starts the server again on the data kept by halt()."""
        self._launch()
        self._wait_ready()

    def stop(self):
        """Stops the server (if this process started it) and removes the folder."""
        if self.owner != os.getpid():
            return
        self.halt()
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None
        if self in _live:
            _live.remove(self)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def existing_server_config():
    """The pymysql.connect settings named by the environment, or None."""
    env = os.environ
    if env.get("SARNOVET_DB_SOCKET"):
        cfg = {"unix_socket": env["SARNOVET_DB_SOCKET"]}
    elif env.get("SARNOVET_DB_HOST"):
        cfg = {"host": env["SARNOVET_DB_HOST"], "port": int(env.get("SARNOVET_DB_PORT", "3306"))}
    else:
        return None
    if env.get("SARNOVET_DB_SSL_DISABLED", "1" if "unix_socket" in cfg else "0") == "1":
        cfg["ssl_disabled"] = True
    cfg["user"] = env.get("SARNOVET_DB_USER", "root")
    cfg["password"] = env.get("SARNOVET_DB_PASSWORD", "")
    return cfg


def environment_for(cfg):
    """The SARNOVET_DB_* settings that name the server and database of
    `cfg` (the opposite of existing_server_config, plus the database)."""
    env = {"SARNOVET_DB_USER": cfg.get("user", ""), "SARNOVET_DB_PASSWORD": cfg.get("password", ""),
           "SARNOVET_DB_NAME": cfg["database"], "SARNOVET_DB_SSL_DISABLED": "1" if cfg.get("ssl_disabled") else "0"}
    if "unix_socket" in cfg:
        env["SARNOVET_DB_SOCKET"] = cfg["unix_socket"]
    else:
        env.update(SARNOVET_DB_HOST=cfg["host"], SARNOVET_DB_PORT=str(cfg.get("port", 3306)))
    return env


def database_server():
    cfg = existing_server_config()
    return ExistingServer(cfg) if cfg else PrivateServer()


@contextlib.contextmanager
def scratch_database(server, prefix="sarnovet_"):
    """A new, empty database on `server`; dropped when the context ends."""
    name = prefix + uuid.uuid4().hex[:12]
    admin = server.config()
    conn = pymysql.connect(**admin)
    try:
        conn.cursor().execute(f"CREATE DATABASE `{name}`")
    finally:
        conn.close()
    try:
        yield name
    finally:
        conn = pymysql.connect(**admin)
        try:
            conn.cursor().execute(f"DROP DATABASE IF EXISTS `{name}`")
        finally:
            conn.close()
