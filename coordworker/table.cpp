// The worker table: statement texts, the table-name check and the pieces
// of the per-operation connection scope.
#include "sarnovet.hpp"

#include <cstdio>
#include <cstring>
#include <string>

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
    {"SELECT worker_id, task_name FROM ",
     "\n    WHERE status='PENDING'\n    ORDER BY worker_id\n    LIMIT 1\n    FOR UPDATE"},
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

Ref table_name(Handle self) {
    Ref name = self.attr(ID("CVF_TableName"));
    if (!valid_table_name(name.ptr()))
        raise(PyExc_ValueError,
              "invalid table name %R: expected a name or db.table, each part 1 to 64 ASCII letters, digits, '_' or '$'",
              name.ptr());
    return name;
}

// The text is joined from the string data itself (not through `+`, which a
// str subclass could answer with text of its own).
Ref sql(Handle name, Stmt which) {
    const Text& t = texts[(int)which];
    Ref text = check(PyUnicode_Concat(str(t.lead).ptr(), name.ptr()));
    return *t.trail ? check(PyUnicode_Concat(text.ptr(), str(t.trail).ptr())) : text;
}

// ---------------------------------------------------- companion tables

namespace {

// 32-bit FNV-1a, for companion names that would pass 64 characters.
unsigned fnv(const std::string& s) {
    unsigned h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

// The worker table's name with `suffix` on its last part; a part that
// would pass 64 characters is cut and told apart by a hash of the whole.
std::string companion(const std::string& table, const char* suffix) {
    size_t dot = table.find('.');
    std::string db = dot == std::string::npos ? "" : table.substr(0, dot + 1);
    std::string part = dot == std::string::npos ? table : table.substr(dot + 1);
    size_t room = 64 - std::strlen(suffix);
    if (part.size() > room) {
        char hash[16];
        std::snprintf(hash, sizeof hash, "_%08x", fnv(part));
        part = part.substr(0, room - std::strlen(hash)) + hash;
    }
    return db + part + suffix;
}

}  // namespace

Names names_of(Handle self) {
    Ref name = table_name(self);
    Names n;
    n.table = PyUnicode_AsUTF8(name.ptr());  // checked: ASCII only
    n.reason = companion(n.table, "_reason");
    n.lease = companion(n.table, "_lease");
    return n;
}

Ref sql(const Names& n, const char* tmpl) {
    std::string out;
    for (const char* p = tmpl; *p; ++p) {
        if (p[0] == '{' && p[1] && p[2] == '}') {
            out += p[1] == 'T' ? n.table : p[1] == 'R' ? n.reason : n.lease;
            p += 2;
        } else {
            out += *p;
        }
    }
    return check(PyUnicode_FromStringAndSize(out.data(), (Py_ssize_t)out.size()));
}

// ------------------------------------------------------------ connection

// Not noexcept: rollback() and close() are host code, and a daemon thread
// that the host ends at exit while they block is unwound through here.
void abandon(Handle conn) {
    ignoring_errors([&] { conn.call(ID("rollback")); });
    ignoring_errors([&] { conn.call(ID("close")); });
}

// Session limits for every connection the runner uses: a lock wait ends
// (as a retried 1205) before a 30 s read time-out cuts the connection, and
// a peer that stops inside a transaction (frozen, powered off, cut off)
// loses its connection, its transaction and its row locks after
// 30 s of silence instead of the server's 8 h.
void apply_session(Handle cursor) {
    static PyObject* text = nullptr;
    PyObject* t = once(text, [] { return intern(kSessionSettings); });
    execute(cursor, Handle(t));
}

void commit_close(Handle conn) {
    conn.call(ID("commit"));
    conn.call(ID("close"));
}

void rollback_close(Handle conn) {
    conn.call(ID("rollback"));
    conn.call(ID("close"));
}

// ------------------------------------------------------------ results

Ref fetch_first(Handle cursor) { return cursor.call(ID("fetchone"))[integer(0)]; }

namespace {

// Whether `v` is an int that fits a long; its value in `out`.
bool small_int(Handle v, long& out) {
    if (!PyLong_Check(v.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongAndOverflow(v.ptr(), &overflow);
    return !overflow && !(out == -1 && PyErr_Occurred());
}

}  // namespace

long rowcount(Handle cursor) {
    Ref n = optional_attr(cursor, ID("rowcount"));
    long v = -1;
    return n && small_int(n, v) ? v : -1;
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
        default: return false;
    }
}

// isinstance(exc, driver.<name>), false when the driver has no such class.
bool is_driver_error(Handle driver, PyObject* name, Handle exc) {
    Ref cls = optional_attr(driver, name);
    return cls && PyType_Check(cls.ptr()) && is_instance(exc, cls);
}

}  // namespace

ErrorKind error_kind(const Globals& g, Handle exc) {
    ErrorKind kind = ErrorKind::Other;
    // A driver that cannot answer (no such classes, a failing check) makes
    // the error one of the other kind.
    ignoring_errors([&] {
        Ref driver = g[ID("pymysql")];
        if (!is_driver_error(driver, ID("MySQLError"), exc)) return;
        Ref args = exc.attr(ID("args"));
        long code = 0;
        if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0 && small_int(args[integer(0)], code)) {
            if (code == 1213 || code == 1205)
                kind = ErrorKind::Lock;
            else if (connection_code(code))
                kind = ErrorKind::Connection;
        }
        // The driver reports a statement on a connection it has already
        // dropped as an interface error.
        if (kind == ErrorKind::Other && is_driver_error(driver, ID("InterfaceError"), exc))
            kind = ErrorKind::Connection;
    });
    return kind;
}

}  // namespace sarnovet
