// The worker table: statement texts, the table-name check and the pieces
// of the per-operation connection scope.
#include "sarnovet.hpp"

namespace sarnovet {

using namespace host;

namespace {

// Each statement is leading text + table name + trailing text.
struct Text {
    const char* lead;
    const char* trail;
};

const Text texts[] = {
    // Stmt::Create
    {"CREATE TABLE IF NOT EXISTS ",
     " (\n"
     "    worker_id CHAR(36) PRIMARY KEY, -- UUID\n"
     "    task_name VARCHAR(128) NOT NULL,\n"
     "    host_name VARCHAR(128),\n"
     "    pid INT,\n"
     "    status ENUM('PENDING','RUNNING','DEAD') NOT NULL,\n"
     "    create_time DATETIME DEFAULT CURRENT_TIMESTAMP,\n"
     "    start_time DATETIME,\n"
     "    end_time DATETIME,\n"
     "    INDEX idx_status (status),\n"
     "    INDEX idx_host (host_name)\n"
     ") ENGINE=InnoDB;"},
    // Stmt::ActiveCount
    {"SELECT COUNT(*) FROM ", "\n    WHERE status IN ('PENDING','RUNNING')"},
    // Stmt::Insert
    {"INSERT INTO ", "\n    (worker_id, task_name, status)\n    VALUES (%s, %s, 'PENDING')"},
    // Stmt::TotalCount
    {"SELECT COUNT(*) FROM ", ""},
    // Stmt::HostRunning
    {"SELECT COUNT(*) FROM ", "\n    WHERE status='RUNNING' AND host_name=%s"},
    // Stmt::Pick
    {"SELECT worker_id, task_name FROM ", "\n    WHERE status='PENDING'\n    ORDER BY worker_id\n    LIMIT 1\n    FOR UPDATE"},
    // Stmt::Claim
    {"UPDATE ", "\n    SET status='RUNNING', host_name=%s, pid=%s, start_time=NOW()\n    WHERE worker_id=%s"},
    // Stmt::Remove
    {"DELETE FROM ", "\n    WHERE worker_id=%s"},
    // Stmt::MarkDead
    {"UPDATE ", "\n    SET status='DEAD', end_time=NOW()\n    WHERE worker_id=%s"},
    // Stmt::MarkDeadIfRunning: the dispatcher's marking of a row whose
    // process ended without a result; a row that its child already removed
    // or marked is left as it is.
    {"UPDATE ", "\n    SET status='DEAD', end_time=NOW()\n    WHERE worker_id=%s AND status='RUNNING'"},
    // Stmt::HostRunningRows: the RUNNING rows filed under one host name,
    // with the process id of the dispatcher that claimed each.
    {"SELECT worker_id, pid FROM ", "\n    WHERE status='RUNNING' AND host_name=%s"},
};

bool ident_char(Py_UCS4 ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '$';
}

// The name goes into the statement text as it is, so only plain
// identifiers pass: `table` or `db.table`, parts of 1 to 64 characters.
bool valid_table_name(PyObject* name) {
    if (!PyUnicode_Check(name)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    int parts = 1;
    Py_ssize_t part_len = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '.') {
            if (part_len == 0 || ++parts > 2) return false;
            part_len = 0;
        } else if (!ident_char(ch) || ++part_len > 64) {
            return false;
        }
    }
    return part_len > 0;
}

}  // namespace

Ref table_name(PyObject* self) {
    Ref name = S_GET(self, "CVF_TableName");
    if (!valid_table_name(name.get()))
        raise(PyExc_ValueError,
              "invalid table name %R: expected a name or db.table, each part 1 to 64 ASCII letters, digits, '_' or '$'",
              name.get());
    return name;
}

Ref sql(PyObject* name, Stmt which) {
    const Text& t = texts[(int)which];
    Ref lead = str(t.lead);
    Ref s = check(PyUnicode_Concat(lead.get(), name));
    if (*t.trail) {
        Ref trail = str(t.trail);
        s = check(PyUnicode_Concat(s.get(), trail.get()));
    }
    return s;
}

// ------------------------------------------------------------ errors

// Not noexcept: rollback() and close() are host code, and a daemon thread
// that the host ends at exit while they block is unwound through here.
void abandon(PyObject* conn) {
    Pending keep;
    for (const char* name : {"rollback", "close"}) {
        Ref r = Ref::steal(PyObject_CallMethod(conn, name, nullptr));
        if (!r) PyErr_Clear();
    }
    keep.restore();
}

// ------------------------------------------------------------ results

Ref fetch_first(PyObject* cursor) {
    Ref row = call_method(cursor, HOST_ID("fetchone"));
    Ref zero = integer(0);
    return check(PyObject_GetItem(row.get(), zero.get()));
}

namespace {

// Server and client error codes after which the same statement can succeed
// on a new connection: the server is restarting, has gone away or dropped
// this connection.
bool connection_code(long v) {
    switch (v) {
        case 1053:  // server shutdown in progress
        case 1927:  // connection was killed
        case 2002:  // can't connect through the socket
        case 2003:  // can't connect to the server
        case 2006:  // server has gone away
        case 2013:  // lost connection during query
        case 2055:  // lost connection, with system error
        case 4031:  // disconnected by the server for inactivity
            return true;
        default:
            return false;
    }
}

// Instance test against the class named `name` of the driver module, or
// false when the driver has no such class. Every object is owned here
// before any host code (attribute lookups, __instancecheck__) runs.
bool is_driver_error(PyObject* driver, const char* name, PyObject* exc) {
    Ref cls = Ref::steal(PyObject_GetAttrString(driver, name));
    if (!cls) {
        PyErr_Clear();
        return false;
    }
    if (!PyType_Check(cls.get())) return false;
    int r = PyObject_IsInstance(exc, cls.get());
    if (r < 0) PyErr_Clear();
    return r == 1;
}

}  // namespace

ErrorKind error_kind(PyObject* module, PyObject* exc) {
    if (!exc) return ErrorKind::Other;
    Pending keep;  // whatever is set on entry stays set
    ErrorKind kind = ErrorKind::Other;
    Ref driver;
    if (PyObject* d = PyModule_GetDict(module)) {
        PyObject* found = PyDict_GetItemWithError(d, HOST_ID("pymysql"));  // borrowed: owned at once
        driver = Ref::borrow(found);
    }
    if (driver && is_driver_error(driver.get(), "MySQLError", exc)) {
        Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
            Ref code = Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
            if (PyLong_Check(code.get())) {
                int overflow = 0;
                long v = PyLong_AsLongAndOverflow(code.get(), &overflow);
                if (!overflow && (v == 1213 || v == 1205))
                    kind = ErrorKind::Lock;
                else if (!overflow && connection_code(v))
                    kind = ErrorKind::Connection;
            }
        }
        // The driver reports a statement on a connection it has already
        // dropped as an interface error.
        if (kind == ErrorKind::Other && is_driver_error(driver.get(), "InterfaceError", exc))
            kind = ErrorKind::Connection;
    }
    PyErr_Clear();
    keep.restore();
    return kind;
}

}  // namespace sarnovet
