// CLASS_MultiTaskAdv: constructor, the database operations, the claim with
// its retry, the child's wrapper with its retried final write, and the
// dispatcher loop with its reaping of children, recovery of rows left by
// ended dispatchers and riding out of server outages.
#include "sarnovet.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>
#define SARNOVET_GETPID _getpid
#else
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#define SARNOVET_GETPID getpid
#endif

namespace sarnovet {

using namespace host;

namespace {

// A claim (or a dispatcher's dead marking) that the server aborted as a
// deadlock victim or after a lock wait is run again this many times in
// all, with a short random pause.
constexpr int kClaimAttempts = 5;
constexpr double kClaimPauseStep = 0.02;  // seconds; the pause grows with each try

// The child's final write (row removal or dead marking) is run again after
// lock and connection errors for this long, with a growing random pause.
constexpr double kFinalWriteWindow = 60.0;
constexpr double kFinalWritePause = 0.05, kFinalWritePauseMax = 2.0;

// A dispatcher rides out this long a server it cannot reach.
constexpr double kOutageWindow = 60.0;
constexpr double kOutagePause = 0.2, kOutagePauseMax = 3.0;

// How often a dispatcher looks for rows of processes that no longer exist.
constexpr double kRecoveryInterval = 60.0;

const char* const kDefaultTable = "_syscpu_gate_worker";

using Clock = std::chrono::steady_clock;


// Reads the event attribute now; calls it with `args` when it is true.
template <class... T>
void fire(PyObject* self, PyObject* attr, const T&... args) {
    Ref evt = getattr(self, attr);
    if (truth(evt.get())) call(evt.get(), args...);
}

Ref execute(PyObject* cur, const Ref& text) { return call_method(cur, HOST_ID("execute"), text); }
Ref execute(PyObject* cur, const Ref& text, const Ref& values) {
    return call_method(cur, HOST_ID("execute"), text, values);
}
void end(PyObject* conn, PyObject* how) {
    call_method(conn, how);
    call_method(conn, HOST_ID("close"));
}
void commit_close(PyObject* conn) { end(conn, HOST_ID("commit")); }
void rollback_close(PyObject* conn) { end(conn, HOST_ID("rollback")); }

// The cursor's rowcount after a write; -1 when the driver does not say.
long rowcount(PyObject* cur) {
    Ref n = Ref::steal(PyObject_GetAttr(cur, HOST_ID("rowcount")));
    if (!n) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return -1;
    }
    if (!PyLong_Check(n.get())) return -1;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(n.get(), &overflow);
    return overflow ? -1 : v;
}

// "f()" as the host names a callable in its call errors.
Ref function_text(PyObject* f) {
    Ref qualname = Ref::steal(PyObject_GetAttrString(f, "__qualname__"));
    if (!qualname) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return check(PyObject_Str(f));
    }
    Ref module = Ref::steal(PyObject_GetAttrString(f, "__module__"));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
    } else if (module.get() != Py_None && PyUnicode_Check(module.get()) &&
               PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
        return check(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
    }
    return check(PyUnicode_FromFormat("%S()", qualname.get()));
}

double uniform(double lo, double hi) {
    thread_local std::minstd_rand rng{(unsigned)Clock::now().time_since_epoch().count() ^ (unsigned)SARNOVET_GETPID()};
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

double claim_pause(int attempt) { return kClaimPauseStep * attempt * uniform(0.25, 1.0); }

// base, 1.6 x base, 2.56 x base ... up to cap, each cut by a random share
// of up to a half so that processes that failed together spread out.
double growing_pause(int attempt, double base, double cap) {
    double p = std::min(cap, base * std::pow(1.6, std::min(attempt - 1, 30)));
    return p * uniform(0.5, 1.0);
}

void pause(Call& c, double seconds) {
    Ref time = c.global(HOST_ID("time"));
    call_method(time.get(), HOST_ID("sleep"), flt(seconds));
}

// time.monotonic() of the module's `time`: the clock of the retry windows,
// which pass in the same time.sleep pauses.
double host_now(Call& c) {
    Ref time = c.global(HOST_ID("time"));
    Ref now = call_method(time.get(), HOST_ID("monotonic"));
    double v = PyFloat_AsDouble(now.get());
    if (v == -1.0 && PyErr_Occurred()) raise();
    return v;
}

// once() on a fresh connection each time, run again after a deadlock or
// lock-wait abort up to kClaimAttempts times in all; any other error, or
// the same one after the last try, goes to the caller.
template <class F>
Ref lock_retried(Call& c, F&& once) {
    for (int attempt = 1;; ++attempt) {
        try {
            return once();
        } catch (const PyError&) {
            if (attempt >= kClaimAttempts) throw;
            Pending err;
            if (error_kind(c.module, err.value()) != ErrorKind::Lock) err.raise_again();
        }
        pause(c, claim_pause(attempt));
    }
}

// One run of the claim protocol on its own connection and transaction.
Ref claim_once(PyObject* self, const Ref& count_sql, const Ref& pick_sql, const Ref& claim_sql) {
    return with_connection(self, [&](PyObject* conn, PyObject* cur) -> Ref {
        execute(cur, count_sql, tuple(S_GET(self, "CVF_HostName")));
        Ref count = fetch_first(cur);
        Ref limit = S_GET(self, "CVF_MaxCPU");
        Ref full = check(PyObject_RichCompare(count.get(), limit.get(), Py_GE));
        if (truth(full.get())) {
            rollback_close(conn);
            return none();
        }
        execute(cur, pick_sql);
        Ref row = call_method(cur, HOST_ID("fetchone"));
        if (!truth(row.get())) {
            rollback_close(conn);
            return none();
        }
        auto [worker_id, task_name] = unpack2(row.get());
        Ref pid = integer((long)SARNOVET_GETPID());
        execute(cur, claim_sql, tuple(S_GET(self, "CVF_HostName"), pid, worker_id));
        commit_close(conn);
        return tuple(worker_id, task_name);
    });
}

// Runs one write statement with `values` on its own connection and commits.
void write_one(PyObject* self, const Ref& text, const Ref& values) {
    with_connection(self, [&](PyObject* conn, PyObject* cur) -> Ref {
        execute(cur, text, values);
        commit_close(conn);
        return none();
    });
}

// The child's last word on its row: the statement `which` for `worker_id`,
// run again on a fresh connection after lock and connection errors until
// it succeeds or kFinalWriteWindow has passed; then, or at once for any
// other error, the error goes to the caller.
void final_write(Call& c, Stmt which, const Ref& worker_id) {
    Ref text = sql_for(c.self, which);
    Ref values = tuple(worker_id);
    double start = -1;  // read at the first failure: the success path reads no clock
    for (int attempt = 1;; ++attempt) {
        double wait;
        try {
            write_one(c.self, text, values);
            return;
        } catch (const PyError&) {
            Pending err;
            if (error_kind(c.module, err.value()) == ErrorKind::Other) err.raise_again();
            double now;
            {
                Handling handling(err.value());
                now = host_now(c);
            }
            if (start < 0) start = now;
            double left = kFinalWriteWindow - (now - start);
            if (left <= 0) err.raise_again();
            wait = std::min(left, growing_pause(attempt, kFinalWritePause, kFinalWritePauseMax));
        }
        pause(c, wait);
    }
}

// The dispatcher's marking of a row whose process ended without a result:
// only a row still RUNNING changes. Returns whether one did (true also
// when the driver does not say).
bool mark_dead_if_running(Call& c, const Ref& worker_id) {
    Ref text = sql_for(c.self, Stmt::MarkDeadIfRunning);
    Ref values = tuple(worker_id);
    Ref changed = lock_retried(c, [&] {
        return with_connection(c.self, [&](PyObject* conn, PyObject* cur) -> Ref {
            execute(cur, text, values);
            long n = rowcount(cur);
            commit_close(conn);
            return boolean(n != 0);
        });
    });
    return changed.get() == Py_True;
}

// Whether a process with this id exists on this machine (in this process
// id space). A process that has ended but was not yet waited for (a
// zombie) counts as gone; one that belongs to another user as alive.
bool process_alive(long pid) {
#ifdef _WIN32
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid);
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    BOOL ok = GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return !ok || code == STILL_ACTIVE;
#else
    if (pid <= 0 || pid > INT_MAX) return true;  // not a process id: not ours to judge
    if (kill((pid_t)pid, 0) != 0 && errno == ESRCH) return false;
#ifdef __linux__
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n > 0) {
            buf[n] = 0;
            const char* p = std::strrchr(buf, ')');  // "pid (name) S ...": the state follows the name
            if (p && p[1] == ' ' && (p[2] == 'Z' || p[2] == 'X')) return false;
        }
    }
#endif
    return true;
#endif
}

// A child started by this dispatcher and the row it runs.
struct Child {
    Ref proc;
    Ref worker_id;
};

bool has_child(const std::vector<Child>& children, PyObject* worker_id) {
    for (size_t i = 0; i < children.size(); ++i) {
        Ref wid = children[i].worker_id;  // owned across the comparison
        if (check_int(PyObject_RichCompareBool(wid.get(), worker_id, Py_EQ))) return true;
    }
    return false;
}

// Marks DEAD the RUNNING rows filed under this runner's host name whose
// pid is neither this process nor a live process on this machine; with
// `own_without_child`, also rows of this process that none of `children`
// runs (claims whose child never started). Rows without a usable pid are
// left alone. Returns how many rows changed.
long recover(Call& c, const std::vector<Child>& children, bool own_without_child) {
    Ref name = table_name(c.self);
    Ref select_sql = sql(name.get(), Stmt::HostRunningRows);
    Ref mark_sql = sql(name.get(), Stmt::MarkDeadIfRunning);
    const long own = (long)SARNOVET_GETPID();
    Ref changed = lock_retried(c, [&] {
        return with_connection(c.self, [&](PyObject* conn, PyObject* cur) -> Ref {
            execute(cur, select_sql, tuple(S_GET(c.self, "CVF_HostName")));
            std::vector<Ref> stale;
            for (;;) {
                Ref row = call_method(cur, HOST_ID("fetchone"));
                if (!truth(row.get())) break;
                auto [worker_id, pid] = unpack2(row.get());
                if (!PyLong_Check(pid.get())) continue;
                int overflow = 0;
                long v = PyLong_AsLongAndOverflow(pid.get(), &overflow);
                if (overflow || v <= 0) continue;
                if (v == own ? (!own_without_child || has_child(children, worker_id.get())) : process_alive(v))
                    continue;
                stale.push_back(worker_id);
            }
            if (stale.empty()) {
                rollback_close(conn);
                return integer(0);
            }
            long total = 0;
            for (const Ref& worker_id : stale) {
                execute(cur, mark_sql, tuple(worker_id));
                total += std::max(0L, rowcount(cur));
            }
            commit_close(conn);
            return integer(total);
        });
    });
    return PyLong_AsLong(changed.get());
}

// Looks at the children that ended: one that ended with a non-zero exit
// code or by a signal and whose row is still RUNNING gets that row marked
// DEAD and is reported through Evt_OnProcDead. A child leaves the list
// once it is dealt with; when the marking fails it stays for the next pass.
void reap(Call& c, std::vector<Child>& children) {
    for (size_t i = 0; i < children.size();) {
        Child child = children[i];  // owned while host code runs
        Ref code = getattr(child.proc.get(), HOST_ID("exitcode"));
        if (code.get() == Py_None) {
            ++i;
            continue;
        }
        bool report = truth(code.get()) && mark_dead_if_running(c, child.worker_id);
        children.erase(children.begin() + (std::ptrdiff_t)i);
        if (report) {
            Ref pid = getattr(child.proc.get(), HOST_ID("pid"));
            Ref text = check(
                PyUnicode_FromFormat("Process %S ended with exit code %S without a result", pid.get(), code.get()));
            fire(c.self, HOST_ID("Evt_OnProcDead"), child.worker_id, text);
        }
    }
}

// CUF_Run calls active in this process (a forked child starts from none).
struct ActiveRuns {
    std::atomic<long> pid{0};
    std::atomic<int> count{0};
};
ActiveRuns active_runs;

class ActiveRun {
public:
    ActiveRun() {
        long me = (long)SARNOVET_GETPID();
        if (active_runs.pid.exchange(me) != me) active_runs.count = 0;
        ++active_runs.count;
    }
    ~ActiveRun() { --active_runs.count; }
    bool alone() const { return active_runs.count == 1; }
    ActiveRun(const ActiveRun&) = delete;
    ActiveRun& operator=(const ActiveRun&) = delete;
};

void print_line(const char* text) { print(str(text)); }

// Reads one count on its own connection (no commit, no rollback).
Ref read_count(PyObject* self, const Ref& text) {
    return with_connection(self, [&](PyObject* conn, PyObject* cur) -> Ref {
        execute(cur, text);
        Ref count = fetch_first(cur);
        call_method(conn, HOST_ID("close"));
        return count;
    });
}

}  // namespace

// ------------------------------------------------------------ constructor

Ref runner_init(Call& c) {
    static const Signature sig{"CLASS_MultiTaskAdv.__init__",
                               {"Pmf_TargetFunc", "Pmi_MaxCPU", "Pmd_DBConfig", "Pms_TableName",
                                "PmF_Event_OnTaskRegister", "PmF_Event_OnProcessStart", "PmF_Event_OnProcessExit",
                                "PmF_Event_OnProcessDead", "PmF_Event_OnIdle"},
                               3};
    PyObject* a[9];
    c.parse(sig, a);
    PyObject* self = c.self;
    auto or_none = [](PyObject* v) { return v ? v : Py_None; };
    S_SET(self, "CVF_TargetFunc", a[0]);
    S_SET(self, "CVF_MaxCPU", a[1]);
    S_SET(self, "CVF_TableName", a[3] ? Ref::borrow(a[3]) : str(kDefaultTable));
    S_SET(self, "CVF_DBConfig", a[2]);
    Ref socket = c.global(HOST_ID("socket"));
    S_SET(self, "CVF_HostName", call_method(socket.get(), HOST_ID("gethostname")));
    S_SET(self, "Evt_OnTaskRegister", or_none(a[4]));
    S_SET(self, "Evt_OnProcStart", or_none(a[5]));
    S_SET(self, "Evt_OnProcExit", or_none(a[6]));
    S_SET(self, "Evt_OnProcDead", or_none(a[7]));
    S_SET(self, "Evt_OnIdle", or_none(a[8]));
    call_method(self, HOST_ID("CVF_EnsureTable"));
    return none();
}

// ------------------------------------------------------------ connection

// pymysql.connect(**self.CVF_DBConfig, autocommit=False), with the host's
// errors for a configuration that is no mapping or repeats `autocommit`.
Ref runner_get_conn(Call& c) {
    c.no_args("CLASS_MultiTaskAdv.CVF_GetDBConn");
    Ref driver = c.global(HOST_ID("pymysql"));
    Ref connect = S_GET(driver.get(), "connect");
    Ref config = S_GET(c.self, "CVF_DBConfig");
    Ref kwargs = check(PyDict_New());
    if (PyDict_Merge(kwargs.get(), config.get(), 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        Ref fname = function_text(connect.get());
        raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", fname.get(),
              Py_TYPE(config.get())->tp_name);
    }
    PyObject* key = HOST_ID("autocommit");
    if (check_int(PyDict_Contains(kwargs.get(), key))) {
        Ref fname = function_text(connect.get());
        raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", fname.get(), key);
    }
    check_int(PyDict_SetItem(kwargs.get(), key, Py_False));
    Ref no_pos = check(PyTuple_New(0));
    return check(PyObject_Call(connect.get(), no_pos.get(), kwargs.get()));
}

// ----------------------------------------------------------- operations

Ref runner_ensure_table(Call& c) {
    c.no_args("CLASS_MultiTaskAdv.CVF_EnsureTable");
    Ref text = sql_for(c.self, Stmt::Create);
    return with_connection(c.self, [&](PyObject* conn, PyObject* cur) -> Ref {
        execute(cur, text);
        commit_close(conn);
        return none();
    });
}

Ref runner_has_pending_or_running(Call& c) {
    c.no_args("CLASS_MultiTaskAdv.CUF_HasPendingOrRunning");
    Ref count = read_count(c.self, sql_for(c.self, Stmt::ActiveCount));
    Ref zero = integer(0);
    return check(PyObject_RichCompare(count.get(), zero.get(), Py_GT));
}

Ref runner_register_task(Call& c) {
    static const Signature sig{"CLASS_MultiTaskAdv.CUF_RegisterTask", {"Pms_TaskName"}, 1};
    PyObject* a[1];
    c.parse(sig, a);
    Ref task_name = Ref::borrow(a[0]);
    Ref text = sql_for(c.self, Stmt::Insert);
    Ref worker_id;
    with_connection(c.self, [&](PyObject* conn, PyObject* cur) -> Ref {
        Ref uuid = c.global(HOST_ID("uuid"));
        Ref u = call_method(uuid.get(), HOST_ID("uuid4"));
        worker_id = check(PyObject_Str(u.get()));
        execute(cur, text, tuple(worker_id, task_name));
        commit_close(conn);
        return none();
    });
    fire(c.self, HOST_ID("Evt_OnTaskRegister"), worker_id, task_name);
    return none();
}

Ref runner_get_task_count(Call& c) {
    c.no_args("CLASS_MultiTaskAdv.CUF_GetTaskCount");
    return read_count(c.self, sql_for(c.self, Stmt::TotalCount));
}

// The claim protocol. A deadlock or lock-wait abort is transient: the
// whole claim runs again on a fresh connection; any other error, or the
// same one after the last try, goes to the caller.
Ref runner_try_fetch_task(Call& c) {
    c.no_args("CLASS_MultiTaskAdv.CUF_TryFetchTask");
    Ref name = table_name(c.self);
    Ref count_sql = sql(name.get(), Stmt::HostRunning);
    Ref pick_sql = sql(name.get(), Stmt::Pick);
    Ref claim_sql = sql(name.get(), Stmt::Claim);
    return lock_retried(c, [&] { return claim_once(c.self, count_sql, pick_sql, claim_sql); });
}

// --------------------------------------------------------------- child

Ref runner_process_wrapper(Call& c) {
    static const Signature sig{"CLASS_MultiTaskAdv._ProcessWrapper", {"Pmi_WorkerID", "Pms_TaskName"}, 2};
    PyObject* a[2];
    c.parse(sig, a);
    PyObject* self = c.self;
    Ref worker_id = Ref::borrow(a[0]), task_name = Ref::borrow(a[1]);
    bool removing = false;  // the target returned; its success is being recorded
    try {
        fire(self, HOST_ID("Evt_OnProcStart"), worker_id, task_name);
        Ref target = S_GET(self, "CVF_TargetFunc");
        call(target.get(), task_name);
        removing = true;
        final_write(c, Stmt::Remove, worker_id);
        removing = false;
        fire(self, HOST_ID("Evt_OnProcExit"), worker_id, task_name);
        return none();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            // An exit request or an interrupt: the row is settled first,
            // then the error goes on. One that cut into the recording of a
            // success finishes that recording instead of marking the task
            // dead. Errors raised meanwhile chain to it.
            Pending interrupt;
            {
                Handling handling(interrupt.value());
                if (removing) {
                    final_write(c, Stmt::Remove, worker_id);
                } else {
                    final_write(c, Stmt::MarkDead, worker_id);
                    Ref text = check(PyObject_Str(interrupt.value()));
                    fire(self, HOST_ID("Evt_OnProcDead"), worker_id, text);
                }
            }
            interrupt.raise_again();
        }
    }
    // The failure is recorded while the task's error is being handled:
    // errors raised meanwhile chain to it.
    Pending caught;
    Ref exc = Ref::borrow(caught.value());
    Handling handling(exc.get());
    final_write(c, Stmt::MarkDead, worker_id);
    Ref text = check(PyObject_Str(exc.get()));
    fire(self, HOST_ID("Evt_OnProcDead"), worker_id, text);
    return none();
}

// ----------------------------------------------------------- dispatcher

// One claim's child: created, made a daemon and started. When any of that
// fails, the claimed row is marked DEAD (if still RUNNING) before the
// error goes on.
Ref start_child(Call& c, const Ref& worker_id, const Ref& task_name) {
    try {
        Ref mp = c.global(HOST_ID("multiprocessing"));
        Ref process_cls = S_GET(mp.get(), "Process");
        Ref target = S_GET(c.self, "_ProcessWrapper");
        Ref proc = call_kw(process_cls.get(), HOST_KWNAMES("target", "args"), target, tuple(worker_id, task_name));
        S_SET(proc.get(), "daemon", Py_True);
        call_method(proc.get(), HOST_ID("start"));
        return proc;
    } catch (const PyError&) {
        // As in an except block: an error of the marking chains to this one.
        Pending err;
        {
            Handling handling(err.value());
            mark_dead_if_running(c, worker_id);
        }
        err.raise_again();
    }
}

// The dispatcher loop. Each pass: now and then the recovery of rows left
// by processes that are gone, the reaping of ended children, one claim
// attempt and either the idle event and sleep or the start of a child.
// A pass that fails because the server cannot be reached is run again
// with a growing pause for up to kOutageWindow; any other error, and a
// failed child start, ends the loop.
Ref runner_run(Call& c) {
    static const Signature sig{"CLASS_MultiTaskAdv.CUF_Run", {"Pmi_SleepIdle"}, 0};
    PyObject* a[1];
    c.parse(sig, a);
    Ref sleep_idle = a[0] ? Ref::borrow(a[0]) : integer(1);
    PyObject* self = c.self;
    ActiveRun active;
    std::vector<Child> children;
    bool recovery_due = true, own_without_child = false;
    Clock::time_point next_recovery = Clock::now();
    bool in_outage = false;
    double outage_start = 0;
    int outage_attempt = 0;
    for (;;) {
        bool start_failed = false;
        try {
            check_int(PyErr_CheckSignals());
            if (recovery_due || Clock::now() >= next_recovery) {
                // Claims whose fate an outage hid are this process's own rows
                // without a child; with other CUF_Run calls in this process
                // such a row may be theirs, so then they are left alone.
                long n = recover(c, children, own_without_child && active.alone());
                recovery_due = own_without_child = false;
                next_recovery = Clock::now() + std::chrono::seconds((long)kRecoveryInterval);
                if (n > 0) {
                    Ref host = S_GET(self, "CVF_HostName");
                    print(check(PyUnicode_FromFormat(
                        "[Sarnovet] Marked %ld RUNNING row(s) of host %S DEAD: their processes no longer exist", n,
                        host.get())));
                }
            }
            reap(c, children);
            Ref got = call_method(self, HOST_ID("CUF_TryFetchTask"));
            // The claim attempt reached the server: an outage is over. Its
            // report waits until a claimed row has its child.
            bool reached_again = in_outage;
            in_outage = false;
            auto report_reached = [&] {
                if (!reached_again) return;
                recovery_due = own_without_child = true;
                char line[96];
                std::snprintf(line, sizeof line, "[Sarnovet] Database reachable again after %.1f s",
                              host_now(c) - outage_start);
                print_line(line);
            };
            if (!truth(got.get())) {
                report_reached();
                fire(self, HOST_ID("Evt_OnIdle"));
                Ref time = c.global(HOST_ID("time"));
                call_method(time.get(), HOST_ID("sleep"), sleep_idle);
            } else {
                auto [worker_id, task_name] = unpack2(got.get());
                start_failed = true;
                Ref proc = start_child(c, worker_id, task_name);
                start_failed = false;
                children.push_back({proc, worker_id});
                report_reached();
            }
        } catch (const PyError&) {
            Pending err;
            if (start_failed || error_kind(c.module, err.value()) != ErrorKind::Connection) err.raise_again();
            {
                Handling handling(err.value());
                double now = host_now(c);
                if (!in_outage) {
                    in_outage = true;
                    outage_start = now;
                    outage_attempt = 0;
                    Ref text = check(PyObject_Str(err.value()));
                    print(check(PyUnicode_FromFormat(
                        "[Sarnovet] Database unreachable, retrying for up to %d s: %U", (int)kOutageWindow,
                        text.get())));
                }
                double left = kOutageWindow - (now - outage_start);
                if (left <= 0) err.raise_again();
                pause(c, std::min(left, growing_pause(++outage_attempt, kOutagePause, kOutagePauseMax)));
            }
            continue;
        }
    }
}

}  // namespace sarnovet
