"""A scripted stand-in for the driver's connection, to watch the exact
statements, values and transaction ends of each operation."""
import pymysql

import Sarnovet


class World:
    """Log of every driver call, and the script the fakes follow.

    rows: statement keyword -> the row fetchone() gives after it
          ("COUNT" counts, "worker_id, task_name" the pending pick).
    errors: exceptions raised by successive execute() calls (None: none),
            or a function of the statement text giving the exception.
    """

    def __init__(self, rows=None, errors=()):
        self.log = []
        self.rows = dict(rows or {})
        self.errors = list(errors)
        self.sessions = []

    def calls(self, name):
        return [entry for entry in self.log if entry[0] == name]


class FakeCursor:
    def __init__(self, world):
        self.world = world
        self.row = None
        self.rowcount = -1

    def execute(self, *args):
        if args[0].startswith("SET SESSION"):  # the runner's session limits, on every connection
            self.world.sessions.append(args[0])
            return
        self.world.log.append(("execute",) + args)
        errors = self.world.errors
        exc = errors(args[0]) if callable(errors) else errors.pop(0) if errors else None
        if exc is not None:
            raise exc
        self.row = next((row for key, row in self.world.rows.items() if key in args[0]), None)
        self.rowcount = 1

    def fetchone(self):
        return self.row

    def fetchall(self):
        return [self.row] if self.row else []


class FakeConn:
    def __init__(self, world):
        self.world = world
        world.log.append(("connect",))

    def cursor(self):
        return FakeCursor(self.world)

    def commit(self):
        self.world.log.append(("commit",))

    def rollback(self):
        self.world.log.append(("rollback",))

    def close(self):
        self.world.log.append(("close",))


def fake_runner(world, *args, **kwargs):
    """A CLASS_MultiTaskAdv subclass instance whose connections are fakes."""

    class FakeRunner(Sarnovet.CLASS_MultiTaskAdv):
        def CVF_GetDBConn(self):
            return FakeConn(world)

    args = list(args) + [None, 2, {}][len(args):]
    return FakeRunner(*args, **kwargs)


def deadlock():
    return pymysql.err.OperationalError(1213, "Deadlock found when trying to get lock; try restarting transaction")


def gone(code=2013):
    return pymysql.err.OperationalError(code, "Lost connection to MySQL server during query")


class FakeTime:
    """Stands in for the module's `time`: sleeping moves its clock on."""

    def __init__(self):
        self.now, self.sleeps = 1000.0, []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


def lock_wait():
    return pymysql.err.OperationalError(1205, "Lock wait timeout exceeded; try restarting transaction")
