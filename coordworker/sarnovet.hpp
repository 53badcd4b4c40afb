// Sarnovet: the coordinated worker module. Declarations shared by its
// source units.
//
// table.cpp holds everything about the worker table (statement texts, the
// table-name check, the per-operation connection scope, what a driver
// error means for running an operation again); runner.cpp the bodies of
// CLASS_MultiTaskAdv; module.cpp declares the module.
#pragma once

#include "host.hpp"

namespace sarnovet {

using host::Globals;
using host::Handle;
using host::Ref;

// ------------------------------------------------------------ table.cpp

// The statements on the worker table.
enum class Stmt {
    Create,
    ActiveCount,
    Insert,
    TotalCount,
    HostRunning,
    Pick,
    Claim,
    Remove,
    MarkDead,
    MarkDeadIfRunning,
    HostRunningRows
};

// self.CVF_TableName, checked: one identifier or db.table, each part 1 to
// 64 ASCII letters, digits, '_' or '$'. Anything else raises ValueError.
Ref table_name(Handle self);

// Statement text for an already checked table name.
Ref sql(Handle name, Stmt which);

// Statement text for self's table (reads and checks CVF_TableName).
inline Ref sql_for(Handle self, Stmt which) { return sql(table_name(self), which); }

// Rolls back and closes `conn`, ignoring their own errors.
void abandon(Handle conn);

// Runs body(conn, cursor) on a new connection from self.CVF_GetDBConn().
// The body ends its transaction and closes the connection itself; when the
// body or the cursor creation fails, the connection is rolled back and
// closed here and the original error goes on unchanged.
template <class F>
Ref with_connection(Handle self, F&& body) {
    Ref conn = self.call(ID("CVF_GetDBConn"));
    return host::on_error(
        [&] {
            Ref cursor = conn.call(ID("cursor"));
            return Ref(body(conn, cursor));
        },
        [&] { abandon(conn); });
}

// cursor.execute(text) / cursor.execute(text, values)
inline void execute(Handle cursor, Handle text) { cursor.call(ID("execute"), text); }
inline void execute(Handle cursor, Handle text, Handle values) { cursor.call(ID("execute"), text, values); }

// conn.commit() or conn.rollback(), then conn.close()
void commit_close(Handle conn);
void rollback_close(Handle conn);

// cursor.fetchone()[0]
Ref fetch_first(Handle cursor);

// The cursor's rowcount after a write; -1 when the driver does not say.
long rowcount(Handle cursor);

// What a driver error says about running the operation again:
//   Lock       - deadlock (1213) or lock-wait timeout (1205): the server
//                asks for the transaction to be run again;
//   Connection - the server could not be reached, went away or dropped the
//                connection (2002, 2003, 2006, 2013, 2055, 1053, 1927, 4031,
//                or the driver's InterfaceError for a dropped connection);
//   Other      - anything else, errors that are not the driver's included.
// The driver is the module's `pymysql` as it is now.
enum class ErrorKind { Other, Lock, Connection };
ErrorKind error_kind(const Globals& g, Handle exc);

// ----------------------------------------------------------- runner.cpp

Ref runner_init(const Globals&, Handle self, Handle target, Handle max_cpu, Handle db_config, Handle table_name,
                Handle on_task_register, Handle on_process_start, Handle on_process_exit, Handle on_process_dead,
                Handle on_idle);
Ref runner_get_conn(const Globals&, Handle self);
Ref runner_ensure_table(const Globals&, Handle self);
Ref runner_has_pending_or_running(const Globals&, Handle self);
Ref runner_register_task(const Globals&, Handle self, Handle task_name);
Ref runner_get_task_count(const Globals&, Handle self);
Ref runner_try_fetch_task(const Globals&, Handle self);
Ref runner_process_wrapper(const Globals&, Handle self, Handle worker_id, Handle task_name);
Ref runner_run(const Globals&, Handle self, Handle sleep_idle);

}  // namespace sarnovet
