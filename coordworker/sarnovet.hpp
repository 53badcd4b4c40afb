// Sarnovet: the coordinated worker module. Declarations shared by its
// source units.
//
// table.cpp holds everything about the worker table (statement texts, the
// table-name check, the per-operation connection scope); runner.cpp the
// bodies of CLASS_MultiTaskAdv; module.cpp assembles the module.
#pragma once

#include "host.hpp"

#include <utility>

namespace sarnovet {

using host::Call;
using host::Pending;
using host::unpack2;
using host::PyError;
using host::Ref;

// ------------------------------------------------------------ table.cpp

// The nine statements on the worker table.
enum class Stmt {
    Create, ActiveCount, Insert, TotalCount, HostRunning, Pick, Claim, Remove, MarkDead,
    MarkDeadIfRunning, HostRunningRows
};

// self.CVF_TableName, checked: one identifier or db.table, each part 1 to
// 64 ASCII letters, digits, '_' or '$'. Anything else raises ValueError.
Ref table_name(PyObject* self);

// Statement text for an already checked table name.
Ref sql(PyObject* name, Stmt which);

// Statement text for self's table (reads and checks CVF_TableName).
inline Ref sql_for(PyObject* self, Stmt which) { return sql(table_name(self).get(), which); }

// Rolls back and closes `conn`, ignoring their own errors; the error that
// is set on entry is set again on return.
void abandon(PyObject* conn);

// Runs body(conn, cursor) on a new connection from self.CVF_GetDBConn().
// The body ends its transaction and closes the connection itself; when the
// body or the cursor creation fails, the connection is rolled back and
// closed here and the original error goes on unchanged.
template <class F>
Ref with_connection(PyObject* self, F&& body) {
    Ref conn = host::call_method(self, HOST_ID("CVF_GetDBConn"));
    try {
        Ref cur = host::call_method(conn.get(), HOST_ID("cursor"));
        return body(conn.get(), cur.get());
    } catch (const PyError&) {
        abandon(conn.get());
        throw;
    }
}

// Item 0 of cursor.fetchone().
Ref fetch_first(PyObject* cursor);

// What a driver error says about running the operation again:
//   Lock       - deadlock (1213) or lock-wait timeout (1205): the server
//                asks for the transaction to be run again;
//   Connection - the server could not be reached, went away or dropped the
//                connection (2002, 2003, 2006, 2013, 2055, 1053, 1927, 4031,
//                or the driver's InterfaceError for a dropped connection);
//   Other      - anything else, errors that are not the driver's included.
// `exc` is owned by the caller; the error indicator is left as it was.
enum class ErrorKind { Other, Lock, Connection };
ErrorKind error_kind(PyObject* module, PyObject* exc);

// ----------------------------------------------------------- runner.cpp

Ref runner_init(Call&);
Ref runner_get_conn(Call&);
Ref runner_ensure_table(Call&);
Ref runner_has_pending_or_running(Call&);
Ref runner_register_task(Call&);
Ref runner_get_task_count(Call&);
Ref runner_try_fetch_task(Call&);
Ref runner_process_wrapper(Call&);
Ref runner_run(Call&);

// Attribute lookup / store by interned name.
#define S_GET(obj, name) ::host::getattr((obj), HOST_ID(name))
#define S_SET(obj, name, v) ::host::setattr((obj), HOST_ID(name), (v))

}  // namespace sarnovet
