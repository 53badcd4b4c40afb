// Sarnovet: the coordinated worker module. Declarations shared by its
// source units.
//
// table.cpp holds everything about the worker table (statement texts, the
// table-name check, the per-operation connection scope, what a driver
// error means for running an operation again); runner.cpp the methods of
// CLASS_MultiTaskAdv, each declared next to its body; module.cpp puts them
// into the class in class-body order.
#pragma once

#include "host.hpp"

#include <string>

namespace sarnovet {

using host::Def;
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
    MarkDeadIfRunning
};

// self.CVF_TableName, checked: one identifier or db.table, each part 1 to
// 64 ASCII letters, digits, '_' or '$'. Anything else raises ValueError.
Ref table_name(Handle self);

// Statement text for an already checked table name.
Ref sql(Handle name, Stmt which);

// Statement text for self's table (reads and checks CVF_TableName).
inline Ref sql_for(Handle self, Stmt which) { return sql(table_name(self), which); }

// The worker table's name and its two companions: `<name>_reason` (why a
// row is DEAD) and `<name>_lease` (one heartbeat row per host name).
struct Names {
    std::string table, reason, lease;
};
Names names_of(Handle self);  // reads and checks CVF_TableName
// Statement text from a template: {T} the worker table, {R} the reason
// table, {L} the lease table.
Ref sql(const Names& n, const char* tmpl);
// One of the worker table's own statements, for the table of `n`.
inline Ref sql(const Names& n, Stmt which) { return sql(host::str(n.table.c_str()), which); }

// Statements beside the worker table's own. None of them changes what the
// nine statements of the worker table do.
namespace q {
inline constexpr const char* create_reason =
    "CREATE TABLE IF NOT EXISTS {R} (\n"
    "    worker_id CHAR(36) PRIMARY KEY,\n"
    "    reason VARCHAR(255) NOT NULL\n"
    ") ENGINE=InnoDB";
inline constexpr const char* create_lease =
    "CREATE TABLE IF NOT EXISTS {L} (\n"
    "    host_name VARCHAR(128) PRIMARY KEY,\n"
    "    beat DATETIME NOT NULL\n"
    ") ENGINE=InnoDB";
// A child's final writes apply to its own claim only: the row must still
// carry its dispatcher's host name and pid (the parent's, or this
// process's when the wrapper runs in place) and a start time no later than
// the child's own start (the microseconds since then, less a margin for
// clock drift, are the last marker). A requeue clears those columns; a
// newer claim sets them anew.
#define SARNOVET_FENCE \
    "worker_id=%s AND host_name=%s AND pid IN (%s, %s) AND start_time <= NOW(6) - INTERVAL %s MICROSECOND"
inline constexpr const char* fenced_remove = "DELETE FROM {T}\n    WHERE " SARNOVET_FENCE;
inline constexpr const char* fence = "SELECT COUNT(*) FROM {T}\n    WHERE " SARNOVET_FENCE "\n    FOR UPDATE";
#undef SARNOVET_FENCE
// The reason of a row that became DEAD.
inline constexpr const char* note_reason =
    "INSERT INTO {R} (worker_id, reason) VALUES (%s, %s) ON DUPLICATE KEY UPDATE reason=VALUES(reason)";
// The dispatcher's settling of a RUNNING row of its own claim.
inline constexpr const char* settle_own =
    "UPDATE {T} SET status='DEAD', end_time=NOW()\n"
    "    WHERE worker_id=%s AND status='RUNNING' AND host_name=%s AND pid=%s";
// RUNNING rows under one host name, with the age of each claim in
// microseconds on the server's clock.
inline constexpr const char* host_rows =
    "SELECT worker_id, pid, TIMESTAMPDIFF(MICROSECOND, start_time, NOW(6)) FROM {T}\n"
    "    WHERE status='RUNNING' AND host_name=%s";
// Heartbeat of a host name, on the server's clock (in UTC, so that hosts
// whose sessions use other time zones agree).
inline constexpr const char* beat =
    "INSERT INTO {L} (host_name, beat) VALUES (%s, UTC_TIMESTAMP()) ON DUPLICATE KEY UPDATE beat=UTC_TIMESTAMP()";
// RUNNING rows of hosts whose heartbeat is older than the lease (hosts
// that never kept one have no lease row and are never matched).
inline constexpr const char* lost_rows =
    "SELECT w.worker_id, w.host_name FROM {T} w JOIN {L} h ON h.host_name=w.host_name\n"
    "    WHERE w.status='RUNNING' AND h.beat < UTC_TIMESTAMP() - INTERVAL %s SECOND";
// Which of this dispatcher's children's rows (their worker ids follow, as
// many markers as children) were settled while the children still run.
inline constexpr const char* settled_mine =
    "SELECT worker_id FROM {T} WHERE status='DEAD' AND host_name=%s AND pid=%s AND worker_id IN (";
// Reasons whose row is no longer DEAD or gone (removed, requeued).
inline constexpr const char* stale_reasons =
    "DELETE FROM {R} WHERE worker_id NOT IN (SELECT worker_id FROM {T} WHERE status='DEAD')";
}  // namespace q

// Session settings run on every connection right after CVF_GetDBConn
// returned it (so they hold for a host's override of it as well).
// A host's stricter settings (init_command, server defaults) are kept.
inline constexpr const char* kSessionSettings =
    "SET SESSION innodb_lock_wait_timeout=LEAST(@@innodb_lock_wait_timeout, 10), "
    "SESSION wait_timeout=LEAST(@@wait_timeout, 30)";
void apply_session(Handle cursor);

// Defaults of CLASS_MultiTaskAdv.CVI_HeartbeatSeconds and CVI_LeaseSeconds.
inline constexpr long kHeartbeatSeconds = 5, kLeaseSeconds = 90;

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
            apply_session(cursor);
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

// CLASS_MultiTaskAdv's methods, each declaration (name, parameters,
// defaults, annotations) defined next to its body.
namespace adv {
extern const Def init, get_conn, ensure_table, has_pending_or_running, register_task, get_task_count, try_fetch_task,
    process_wrapper, run;
}

}  // namespace sarnovet
