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

void abandon(PyObject* conn) noexcept {
    Pending keep;
    for (const char* name : {"rollback", "close"}) {
        PyObject* r = PyObject_CallMethod(conn, name, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
    }
    keep.restore();
}

// ------------------------------------------------------------ results

Ref fetch_first(PyObject* cursor) {
    Ref row = call_method(cursor, HOST_ID("fetchone"));
    Ref zero = integer(0);
    return check(PyObject_GetItem(row.get(), zero.get()));
}

bool is_transient_lock_error(PyObject* module, PyObject* exc) {
    if (!exc) return false;
    bool transient = false;
    PyObject* d = PyModule_GetDict(module);
    PyObject* driver = d ? PyDict_GetItemString(d, "pymysql") : nullptr;  // borrowed
    Ref base = driver ? Ref::steal(PyObject_GetAttrString(driver, "MySQLError")) : Ref();
    if (base && PyType_Check(base.get()) && PyObject_IsInstance(exc, base.get()) == 1) {
        Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
            PyObject* code = PyTuple_GET_ITEM(args.get(), 0);
            if (PyLong_Check(code)) {
                long v = PyLong_AsLong(code);
                transient = (v == 1213 || v == 1205);
            }
        }
    }
    PyErr_Clear();
    return transient;
}

}  // namespace sarnovet
