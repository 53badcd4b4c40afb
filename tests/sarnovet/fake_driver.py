"""A scripted stand-in for the driver's connection, to watch the exact
statements, values and transaction ends of each operation."""
import pymysql

import Sarnovet


class World:
    """Log of every driver call, and the script the fakes follow.

    rows: statement keyword -> the row fetchone() gives after it
          ("COUNT" counts, "worker_id, task_name" the pending pick).
    errors: exceptions raised by successive execute() calls (None: none).
    """

    def __init__(self, rows=None, errors=()):
        self.log = []
        self.rows = dict(rows or {})
        self.errors = list(errors)

    def calls(self, name):
        return [entry for entry in self.log if entry[0] == name]


class FakeCursor:
    def __init__(self, world):
        self.world = world
        self.row = None

    def execute(self, *args):
        self.world.log.append(("execute",) + args)
        if self.world.errors:
            exc = self.world.errors.pop(0)
            if exc is not None:
                raise exc
        self.row = next((row for key, row in self.world.rows.items() if key in args[0]), None)

    def fetchone(self):
        return self.row


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


def lock_wait():
    return pymysql.err.OperationalError(1205, "Lock wait timeout exceeded; try restarting transaction")
