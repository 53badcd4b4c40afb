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
// all, with a short random pause. Under SERIALIZABLE, where the running
// count is a locking read, five deadlocks in a row come often enough to
// end a dispatcher now and then; ten do not.
constexpr int kClaimAttempts = 10;
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

using Clock = std::chrono::steady_clock;

long own_pid() { return (long)SARNOVET_GETPID(); }

// Reads the event attribute now; calls it with `args` when it is true.
template <class... T>
void fire(Handle self, PyObject* event, const T&... args) {
    Ref callback = self.attr(event);
    if (callback.truthy()) callback(args...);
}

// "f()" as the host names a callable in its call errors.
Ref function_text(Handle f) {
    Ref qualname = optional_attr(f, ID("__qualname__"));
    if (!qualname) return f.str();
    Ref module = optional_attr(f, ID("__module__"));
    if (module && PyUnicode_Check(module.ptr()) && PyUnicode_CompareWithASCIIString(module.ptr(), "builtins") != 0)
        return check(PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr()));
    return check(PyUnicode_FromFormat("%S()", qualname.ptr()));
}

double uniform(double lo, double hi) {
    thread_local std::minstd_rand rng{(unsigned)Clock::now().time_since_epoch().count() ^ (unsigned)own_pid()};
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

double claim_pause(int attempt) { return kClaimPauseStep * attempt * uniform(0.25, 1.0); }

// base, 1.6 x base, 2.56 x base ... up to cap, each cut by a random share
// of up to a half so that processes that failed together spread out.
double growing_pause(int attempt, double base, double cap) {
    double p = std::min(cap, base * std::pow(1.6, std::min(attempt - 1, 30)));
    return p * uniform(0.5, 1.0);
}

// time.sleep(seconds) of the module's `time`
void pause(const Globals& g, double seconds) { g[ID("time")].call(ID("sleep"), flt(seconds)); }

// time.monotonic() of the module's `time`: the clock of the retry windows,
// which pass in the same time.sleep pauses.
double monotonic(const Globals& g) {
    Ref now = g[ID("time")].call(ID("monotonic"));
    double v = PyFloat_AsDouble(now.ptr());
    if (v == -1.0 && PyErr_Occurred()) raise();
    return v;
}

// once() on a fresh connection each time, run again after a deadlock or
// lock-wait abort up to kClaimAttempts times in all; any other error, or
// the same one after the last try, goes to the caller.
template <class F>
Ref lock_retried(const Globals& g, F once) {
    for (int attempt = 1;; ++attempt) {
        bool again = false;
        Ref result = except_(PyExc_Exception, once, [&](Caught& e) {
            if (attempt >= kClaimAttempts || error_kind(g, e.value()) != ErrorKind::Lock) e.reraise();
            again = true;
            return Ref();
        });
        if (!again) return result;
        pause(g, claim_pause(attempt));
    }
}

// One run of the claim protocol on its own connection and transaction.
Ref claim_once(Handle self, Handle count_sql, Handle pick_sql, Handle claim_sql) {
    return with_connection(self, [&](Handle conn, Handle cur) -> Ref {
        execute(cur, count_sql, tuple(self.attr(ID("CVF_HostName"))));
        Ref count = fetch_first(cur);
        if (count >= self.attr(ID("CVF_MaxCPU"))) {
            rollback_close(conn);
            return none();
        }
        execute(cur, pick_sql);
        Ref row = cur.call(ID("fetchone"));
        if (!row.truthy()) {
            rollback_close(conn);
            return none();
        }
        auto [worker_id, task_name] = unpack2(row);
        execute(cur, claim_sql, tuple(self.attr(ID("CVF_HostName")), integer(own_pid()), worker_id));
        commit_close(conn);
        return tuple(worker_id, task_name);
    });
}

// Runs one write statement with `values` on its own connection and commits.
void write_one(Handle self, Handle text, Handle values) {
    with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, text, values);
        commit_close(conn);
        return none();
    });
}

// The child's last word on its row: the statement `which` for `worker_id`,
// run again on a fresh connection after lock and connection errors until
// it succeeds or kFinalWriteWindow has passed; then, or at once for any
// other error, the error goes to the caller.
void final_write(const Globals& g, Handle self, Stmt which, Handle worker_id) {
    Ref text = sql_for(self, which);
    Ref values = tuple(worker_id);
    double start = -1;  // read at the first failure: the success path reads no clock
    for (int attempt = 1;; ++attempt) {
        double wait = -1;
        except_(
            PyExc_Exception, [&] { write_one(self, text, values); },
            [&](Caught& e) {
                if (error_kind(g, e.value()) == ErrorKind::Other) e.reraise();
                double now = monotonic(g);
                if (start < 0) start = now;
                double left = kFinalWriteWindow - (now - start);
                if (left <= 0) e.reraise();
                wait = std::min(left, growing_pause(attempt, kFinalWritePause, kFinalWritePauseMax));
            });
        if (wait < 0) return;
        pause(g, wait);
    }
}

// The dispatcher's marking of a row whose process ended without a result:
// only a row still RUNNING changes. Returns whether one did (true also
// when the driver does not say).
bool mark_dead_if_running(const Globals& g, Handle self, Handle worker_id) {
    Ref text = sql_for(self, Stmt::MarkDeadIfRunning);
    Ref values = tuple(worker_id);
    Ref changed = lock_retried(g, [&] {
        return with_connection(self, [&](Handle conn, Handle cur) {
            execute(cur, text, values);
            long n = rowcount(cur);
            commit_close(conn);
            return boolean(n != 0);
        });
    });
    return changed.is(boolean(true));
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

// The children a dispatcher started: a host list of (process, worker id).
bool runs_row(Handle children, Handle worker_id) {
    for (const Ref& child : iterate(children))
        if (unpack2(child).second == worker_id) return true;
    return false;
}

// Marks DEAD the RUNNING rows filed under this runner's host name whose
// pid is neither this process nor a live process on this machine; with
// `own_without_child`, also rows of this process that none of `children`
// runs (claims whose child never started). Rows without a usable pid are
// left alone. Returns how many rows changed.
long recover(const Globals& g, Handle self, Handle children, bool own_without_child) {
    Ref name = table_name(self);
    Ref select_sql = sql(name, Stmt::HostRunningRows);
    Ref mark_sql = sql(name, Stmt::MarkDeadIfRunning);
    const long own = own_pid();
    Ref changed = lock_retried(g, [&] {
        return with_connection(self, [&](Handle conn, Handle cur) {
            execute(cur, select_sql, tuple(self.attr(ID("CVF_HostName"))));
            Ref stale = list();
            for (Ref row = cur.call(ID("fetchone")); row.truthy(); row = cur.call(ID("fetchone"))) {
                auto [worker_id, pid] = unpack2(row);
                if (!PyLong_Check(pid.ptr())) continue;
                int overflow = 0;
                long v = PyLong_AsLongAndOverflow(pid.ptr(), &overflow);
                if (overflow || v <= 0) continue;
                bool left_alone = v == own ? !own_without_child || runs_row(children, worker_id) : process_alive(v);
                if (!left_alone) append(stale, worker_id);
            }
            if (len(stale) == 0) {
                rollback_close(conn);
                return integer(0);
            }
            long total = 0;
            for (const Ref& worker_id : iterate(stale)) {
                execute(cur, mark_sql, tuple(worker_id));
                total += std::max(0L, rowcount(cur));
            }
            commit_close(conn);
            return integer(total);
        });
    });
    return PyLong_AsLong(changed.ptr());
}

// Looks at the children that ended: one that ended with a non-zero exit
// code or by a signal and whose row is still RUNNING gets that row marked
// DEAD and is reported through Evt_OnProcDead. A child leaves the list
// once it is dealt with; when the marking fails it stays for the next pass.
void reap(const Globals& g, Handle self, Handle children) {
    for (Py_ssize_t i = 0; i < len(children);) {
        auto [proc, worker_id] = unpack2(children[integer(i)]);
        Ref code = proc.attr(ID("exitcode"));
        if (code.is_none()) {
            ++i;
            continue;
        }
        bool report = code.truthy() && mark_dead_if_running(g, self, worker_id);
        del_item(children, i);
        if (report) {
            Ref pid = proc.attr(ID("pid"));
            Ref text = check(
                PyUnicode_FromFormat("Process %S ended with exit code %S without a result", pid.ptr(), code.ptr()));
            fire(self, ID("Evt_OnProcDead"), worker_id, text);
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
        long me = own_pid();
        if (active_runs.pid.exchange(me) != me) active_runs.count = 0;
        ++active_runs.count;
    }
    ~ActiveRun() { --active_runs.count; }
    bool alone() const { return active_runs.count == 1; }
    ActiveRun(const ActiveRun&) = delete;
    ActiveRun& operator=(const ActiveRun&) = delete;
};

// Reads one count on its own connection (no commit, no rollback).
Ref read_count(Handle self, Handle text) {
    return with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, text);
        Ref count = fetch_first(cur);
        conn.call(ID("close"));
        return count;
    });
}

// One claim's child: created, made a daemon and started. When any of that
// fails, the claimed row is marked DEAD (if still RUNNING) before the
// error goes on.
Ref start_child(const Globals& g, Handle self, Handle worker_id, Handle task_name) {
    return on_error(
        [&] {
            Ref process_class = g[ID("multiprocessing")].attr(ID("Process"));
            Ref target = self.attr(ID("_ProcessWrapper"));
            Ref proc = process_class(KW("target", "args"), target, tuple(worker_id, task_name));
            proc.set_attr(ID("daemon"), boolean(true));
            proc.call(ID("start"));
            return proc;
        },
        [&] { mark_dead_if_running(g, self, worker_id); });
}

// The dispatcher of one CUF_Run call and what it keeps between passes.
class Dispatcher {
public:
    Dispatcher(const Globals& g, Handle self, Handle sleep_idle) : g_(g), self_(self), sleep_idle_(sleep_idle) {}

    // Now and then the recovery of rows left by processes that are gone,
    // the reaping of ended children, one claim attempt and either the idle
    // event and sleep or the start of a child.
    void pass() {
        check_signals();
        if (recovery_due_ || Clock::now() >= next_recovery_) recover_rows();
        reap(g_, self_, children_);
        Ref got = self_.call(ID("CUF_TryFetchTask"));
        // The claim attempt reached the server: an outage is over. Its
        // report waits until a claimed row has its child.
        bool reached_again = in_outage_;
        in_outage_ = false;
        if (!got.truthy()) {
            if (reached_again) report_reached();
            fire(self_, ID("Evt_OnIdle"));
            g_[ID("time")].call(ID("sleep"), sleep_idle_);
            return;
        }
        auto [worker_id, task_name] = unpack2(got);
        starting_ = true;
        Ref proc = start_child(g_, self_, worker_id, task_name);
        starting_ = false;
        append(children_, tuple(proc, worker_id));
        if (reached_again) report_reached();
    }

    // A pass failed: a server that cannot be reached is waited for with a
    // growing pause for up to kOutageWindow; any other error, and a failed
    // child start, ends the loop.
    void ride_out(Caught& e) {
        if (starting_ || error_kind(g_, e.value()) != ErrorKind::Connection) e.reraise();
        double now = monotonic(g_);
        if (!in_outage_) {
            in_outage_ = true;
            outage_start_ = now;
            outage_attempt_ = 0;
            Ref print_ = g_[ID("print")];
            Ref text = e.value().str();
            print_(check(PyUnicode_FromFormat("[Sarnovet] Database unreachable, retrying for up to %d s: %U",
                                              (int)kOutageWindow, text.ptr())));
        }
        double left = kOutageWindow - (now - outage_start_);
        if (left <= 0) e.reraise();
        pause(g_, std::min(left, growing_pause(++outage_attempt_, kOutagePause, kOutagePauseMax)));
    }

private:
    void recover_rows() {
        // Claims whose fate an outage hid are this process's own rows
        // without a child; with other CUF_Run calls in this process such a
        // row may be theirs, so then they are left alone.
        long n = recover(g_, self_, children_, own_without_child_ && active_.alone());
        recovery_due_ = own_without_child_ = false;
        next_recovery_ = Clock::now() + std::chrono::seconds((long)kRecoveryInterval);
        if (n > 0) {
            Ref host = self_.attr(ID("CVF_HostName"));
            g_[ID("print")](check(PyUnicode_FromFormat(
                "[Sarnovet] Marked %ld RUNNING row(s) of host %S DEAD: their processes no longer exist", n,
                host.ptr())));
        }
    }

    void report_reached() {
        recovery_due_ = own_without_child_ = true;
        char line[96];
        std::snprintf(line, sizeof line, "[Sarnovet] Database reachable again after %.1f s",
                      monotonic(g_) - outage_start_);
        print(g_, str(line));
    }

    const Globals& g_;
    Handle self_, sleep_idle_;
    ActiveRun active_;
    Ref children_ = list();
    bool recovery_due_ = true, own_without_child_ = false;
    Clock::time_point next_recovery_ = Clock::now();
    bool starting_ = false;
    bool in_outage_ = false;
    double outage_start_ = 0;
    int outage_attempt_ = 0;
};

}  // namespace

// ------------------------------------------------------------ constructor

Ref runner_init(const Globals& g, Handle self, Handle target, Handle max_cpu, Handle db_config, Handle table_name,
                Handle on_task_register, Handle on_process_start, Handle on_process_exit, Handle on_process_dead,
                Handle on_idle) {
    self.set_attr(ID("CVF_TargetFunc"), target);
    self.set_attr(ID("CVF_MaxCPU"), max_cpu);
    self.set_attr(ID("CVF_TableName"), table_name);
    self.set_attr(ID("CVF_DBConfig"), db_config);
    self.set_attr(ID("CVF_HostName"), g[ID("socket")].call(ID("gethostname")));
    self.set_attr(ID("Evt_OnTaskRegister"), on_task_register);
    self.set_attr(ID("Evt_OnProcStart"), on_process_start);
    self.set_attr(ID("Evt_OnProcExit"), on_process_exit);
    self.set_attr(ID("Evt_OnProcDead"), on_process_dead);
    self.set_attr(ID("Evt_OnIdle"), on_idle);
    self.call(ID("CVF_EnsureTable"));
    return none();
}

// ------------------------------------------------------------ connection

// pymysql.connect(**self.CVF_DBConfig, autocommit=False), with the host's
// errors for a configuration that is no mapping or repeats `autocommit`.
Ref runner_get_conn(const Globals& g, Handle self) {
    Ref connect = g[ID("pymysql")].attr(ID("connect"));
    Ref config = self.attr(ID("CVF_DBConfig"));
    Ref kwargs = dict();
    if (PyDict_Merge(kwargs.ptr(), config.ptr(), 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        Ref text = function_text(connect);
        raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", text.ptr(),
              Py_TYPE(config.ptr())->tp_name);
    }
    PyObject* autocommit = ID("autocommit");
    if (check(PyDict_Contains(kwargs.ptr(), autocommit))) {
        Ref text = function_text(connect);
        raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", text.ptr(), autocommit);
    }
    kwargs.set_item(autocommit, boolean(false));
    return check(PyObject_Call(connect.ptr(), tuple().ptr(), kwargs.ptr()));
}

// ----------------------------------------------------------- operations

Ref runner_ensure_table(const Globals&, Handle self) {
    Ref text = sql_for(self, Stmt::Create);
    return with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, text);
        commit_close(conn);
        return none();
    });
}

Ref runner_has_pending_or_running(const Globals&, Handle self) {
    Ref count = read_count(self, sql_for(self, Stmt::ActiveCount));
    return check(PyObject_RichCompare(count.ptr(), integer(0).ptr(), Py_GT));
}

Ref runner_register_task(const Globals& g, Handle self, Handle task_name) {
    Ref text = sql_for(self, Stmt::Insert);
    Ref worker_id;
    with_connection(self, [&](Handle conn, Handle cur) {
        worker_id = g[ID("uuid")].call(ID("uuid4")).str();
        execute(cur, text, tuple(worker_id, task_name));
        commit_close(conn);
        return none();
    });
    fire(self, ID("Evt_OnTaskRegister"), worker_id, task_name);
    return none();
}

Ref runner_get_task_count(const Globals&, Handle self) { return read_count(self, sql_for(self, Stmt::TotalCount)); }

// The claim protocol. A deadlock or lock-wait abort is transient: the
// whole claim runs again on a fresh connection; any other error, or the
// same one after the last try, goes to the caller.
Ref runner_try_fetch_task(const Globals& g, Handle self) {
    Ref name = table_name(self);
    Ref count_sql = sql(name, Stmt::HostRunning);
    Ref pick_sql = sql(name, Stmt::Pick);
    Ref claim_sql = sql(name, Stmt::Claim);
    return lock_retried(g, [&] { return claim_once(self, count_sql, pick_sql, claim_sql); });
}

// --------------------------------------------------------------- child

// The child's body: the target with the task name, then the row removed;
// an error of the Exception family marks the row DEAD instead. An exit
// request or an interrupt settles the row first and then goes on; one that
// cut into the recording of a success finishes that recording instead of
// marking the task dead. What is recorded after an error is recorded while
// that error is being handled: errors raised meanwhile chain to it.
Ref runner_process_wrapper(const Globals& g, Handle self, Handle worker_id, Handle task_name) {
    bool removing = false;  // the target returned; its success is being recorded
    except_(
        PyExc_BaseException,
        [&] {
            fire(self, ID("Evt_OnProcStart"), worker_id, task_name);
            self.attr(ID("CVF_TargetFunc"))(task_name);
            removing = true;
            final_write(g, self, Stmt::Remove, worker_id);
            removing = false;
            fire(self, ID("Evt_OnProcExit"), worker_id, task_name);
        },
        [&](Caught& e) {
            bool interrupt = !PyErr_GivenExceptionMatches(e.value().ptr(), PyExc_Exception);
            if (interrupt && removing) {
                final_write(g, self, Stmt::Remove, worker_id);
            } else {
                final_write(g, self, Stmt::MarkDead, worker_id);
                fire(self, ID("Evt_OnProcDead"), worker_id, e.value().str());
            }
            if (interrupt) e.reraise();
        });
    return none();
}

// ----------------------------------------------------------- dispatcher

Ref runner_run(const Globals& g, Handle self, Handle sleep_idle) {
    Dispatcher dispatcher(g, self, sleep_idle);
    for (;;) except_(PyExc_Exception, [&] { dispatcher.pass(); }, [&](Caught& e) { dispatcher.ride_out(e); });
}

}  // namespace sarnovet
