// Sarnovet: the coordinated worker module. Declarations shared by its
// source units.
//
// table.cpp holds everything about the worker table (statement texts, the
// table-name check, the per-operation connection scope, what a driver
// error means for running an operation again); runner.cpp the bodies of
// CLASS_MultiTaskAdv; module.cpp declares the module.
#pragma once

#include "host.hpp"

#include <string>

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
    MarkDeadIfRunning
};

// self.CVF_TableName, checked: one identifier or db.table, each part 1 to
// 64 ASCII letters, digits, '_' or '$'. Anything else raises ValueError.
Ref table_name(Handle self);

// Statement text for an already checked table name.
Ref sql(Handle name, Stmt which);

// Statement text for self's table (reads and checks CVF_TableName).
inline Ref sql_for(Handle self, Stmt which) { return sql(table_name(self), which); }

// The worker table's name and its two companions: `<name>_claim` (one row
// per claim: who runs it, its fencing token, the reason of its end) and
// `<name>_lease` (one heartbeat row per host name).
struct Names {
    std::string table, claim, lease;
};
Names names_of(Handle self);  // reads and checks CVF_TableName
// Statement text from a template: {T} the worker table, {C} the claim
// table, {L} the lease table.
Ref sql(const Names& n, const char* tmpl);

// Statements on the companion tables (templates for sql() above). None of
// them changes what the nine statements of the worker table do.
namespace q {
inline constexpr const char* create_claim =
    "CREATE TABLE IF NOT EXISTS {C} (\n"
    "    worker_id CHAR(36) PRIMARY KEY,\n"
    "    token CHAR(32) NOT NULL,\n"
    "    host_name VARCHAR(128),\n"
    "    pid INT,\n"
    "    claimed DATETIME,\n"
    "    started BIGINT,\n"
    "    boot CHAR(36),\n"
    "    child_pid INT,\n"
    "    child_started BIGINT,\n"
    "    reason VARCHAR(255),\n"
    "    INDEX idx_pid (pid)\n"
    ") ENGINE=InnoDB";
inline constexpr const char* create_lease =
    "CREATE TABLE IF NOT EXISTS {L} (\n"
    "    host_name VARCHAR(128) PRIMARY KEY,\n"
    "    beat DATETIME NOT NULL\n"
    ") ENGINE=InnoDB";
// A claim is current while the worker row still carries what the claim
// wrote: a requeue (which clears them) or a newer claim (ours or a peer's
// through the nine statements) ends it.
#define SARNOVET_CURRENT "w.host_name<=>c.host_name AND w.pid<=>c.pid AND w.start_time<=>c.claimed"
// The child's look at its row when it starts (locking it), and, when the
// row is its dispatcher's RUNNING claim, the claim's record: a new token,
// the claim's identity copied from the row (host name, pid, start time),
// the dispatcher's start time and boot id, the child's pid and start time.
inline constexpr const char* child_claim =
    "SELECT status, host_name, pid FROM {T} WHERE worker_id=%s FOR UPDATE";
inline constexpr const char* record_claim =
    "INSERT INTO {C}\n"
    "    (worker_id, token, host_name, pid, claimed, started, boot, child_pid, child_started, reason)\n"
    "    SELECT worker_id, %s, host_name, pid, start_time, %s, %s, %s, %s, NULL FROM {T}\n"
    "    WHERE worker_id=%s\n"
    "    ON DUPLICATE KEY UPDATE token=VALUES(token), host_name=VALUES(host_name), pid=VALUES(pid),\n"
    "    claimed=VALUES(claimed), started=VALUES(started), boot=VALUES(boot), child_pid=VALUES(child_pid),\n"
    "    child_started=VALUES(child_started), reason=NULL";
// The child's final writes are fenced to its own claim: this locking
// check first, then the plain row removal or dead marking and the claim
// record's removal or reason, in one transaction.
inline constexpr const char* fence =
    "SELECT COUNT(*) FROM {T} w JOIN {C} c ON c.worker_id=w.worker_id\n"
    "    WHERE w.worker_id=%s AND c.token=%s AND " SARNOVET_CURRENT "\n"
    "    FOR UPDATE";
inline constexpr const char* drop_claim = "DELETE FROM {C} WHERE worker_id=%s";
inline constexpr const char* claim_reason = "UPDATE {C} SET reason=%s WHERE worker_id=%s";
// The dispatcher's settling of a RUNNING row, with its reason; it is
// fenced to this process's claim where the row has a claim record.
inline constexpr const char* settle_own =
    "UPDATE {T} w LEFT JOIN {C} c ON c.worker_id=w.worker_id\n"
    "    SET w.status='DEAD', w.end_time=NOW(), c.reason=%s\n"
    "    WHERE w.worker_id=%s AND w.status='RUNNING'\n"
    "    AND (c.worker_id IS NULL OR (c.pid=%s AND c.started<=>%s AND " SARNOVET_CURRENT "))";
inline constexpr const char* settle =
    "UPDATE {T} w LEFT JOIN {C} c ON c.worker_id=w.worker_id\n"
    "    SET w.status='DEAD', w.end_time=NOW(), c.reason=%s\n"
    "    WHERE w.worker_id=%s AND w.status='RUNNING'";
// RUNNING rows under one host name with what is known of their processes.
inline constexpr const char* host_rows =
    "SELECT w.worker_id, w.pid, c.worker_id IS NOT NULL AND " SARNOVET_CURRENT ",\n"
    "    c.started, c.boot, c.child_pid, c.child_started\n"
    "    FROM {T} w LEFT JOIN {C} c ON c.worker_id=w.worker_id\n"
    "    WHERE w.status='RUNNING' AND w.host_name=%s";
// Heartbeat of a host name, on the server's clock.
inline constexpr const char* beat =
    "INSERT INTO {L} (host_name, beat) VALUES (%s, NOW()) ON DUPLICATE KEY UPDATE beat=NOW()";
// RUNNING rows of hosts whose heartbeat is older than the lease (hosts
// that never kept one have no lease row and are never matched).
inline constexpr const char* lost_rows =
    "SELECT w.worker_id, w.host_name FROM {T} w JOIN {L} h ON h.host_name=w.host_name\n"
    "    WHERE w.status='RUNNING' AND h.beat < NOW() - INTERVAL %s SECOND";
// This process's claims that are still RUNNING and current.
inline constexpr const char* own_running =
    "SELECT c.worker_id FROM {C} c JOIN {T} w ON w.worker_id=c.worker_id\n"
    "    WHERE c.pid=%s AND c.started<=>%s AND w.status='RUNNING' AND " SARNOVET_CURRENT;
// Claim records whose worker row is gone (removed by a peer or an operator).
inline constexpr const char* orphans = "DELETE FROM {C} WHERE worker_id NOT IN (SELECT worker_id FROM {T})";
#undef SARNOVET_CURRENT
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
