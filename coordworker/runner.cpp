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

// A child's final write on a row without a claim record (claimed by other
// code) is run again after lock and connection errors for this long; one
// fenced to its claim is run again until it gets through. Growing random
// pauses between tries.
constexpr double kFinalWriteWindow = 60.0;
constexpr double kFinalWritePause = 0.05, kFinalWritePauseMax = 2.0;

// A dispatcher rides out an outage of any length, pausing between tries,
// and says so when it begins, every kOutageReport seconds and when it ends.
constexpr double kOutagePause = 0.2, kOutagePauseMax = 3.0;
constexpr double kOutageReport = 60.0;

// How often a dispatcher looks for rows of processes that no longer exist.
constexpr double kRecoveryInterval = 60.0;

// Reasons are kept up to this many characters.
constexpr Py_ssize_t kReasonMax = 255;

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

std::minstd_rand& rng() {
    thread_local std::minstd_rand r{(unsigned)Clock::now().time_since_epoch().count() ^ (unsigned)own_pid()};
    return r;
}

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng()); }

double claim_pause(int attempt) { return kClaimPauseStep * attempt * uniform(0.25, 1.0); }

// base, 1.6 x base, 2.56 x base ... up to cap, each cut by a random share
// of up to a half so that processes that failed together spread out.
double growing_pause(int attempt, double base, double cap) {
    double p = std::min(cap, base * std::pow(1.6, std::min(attempt - 1, 30)));
    return p * uniform(0.5, 1.0);
}

// time.sleep(seconds) of the module's `time`
void pause(const Globals& g, double seconds) {
    Ref sleep = g[ID("time")].attr(ID("sleep"));
    sleep(flt(seconds));
}

// time.monotonic() of the module's `time`: the clock of the retry windows,
// which pass in the same time.sleep pauses.
double monotonic(const Globals& g) {
    Ref now = g[ID("time")].call(ID("monotonic"));
    double v = PyFloat_AsDouble(now.ptr());
    if (v == -1.0 && PyErr_Occurred()) raise();
    return v;
}

// A number of seconds read from an attribute of self now (CVI_...).
double seconds_attr(Handle self, PyObject* name) {
    Ref v = self.attr(name);
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) raise();
    if (!std::isfinite(d) || d < 0) raise(PyExc_ValueError, "%U must be a finite number of seconds >= 0", name);
    return d;
}

// str(text)[:kReasonMax]
Ref clip(Ref text) {
    if (PyUnicode_GET_LENGTH(text.ptr()) <= kReasonMax) return text;
    return check(PyUnicode_Substring(text.ptr(), 0, kReasonMax));
}

// "ValueError: boom" for a caught error; the type's name alone when its
// text is empty, "<unprintable>" for a text that cannot be made.
Ref error_reason(Handle e) {
    Ref type(type_of(e));
    const char* full = ((PyTypeObject*)type.ptr())->tp_name;
    const char* dot = std::strrchr(full, '.');
    const char* name = dot ? dot + 1 : full;
    Ref text;
    ignoring_errors([&] { text = e.str(); });
    if (!text) return clip(check(PyUnicode_FromFormat("%s: <unprintable>", name)));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return str(name);
    return clip(check(PyUnicode_FromFormat("%s: %U", name, text.ptr())));
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

// ------------------------------------------------------ process identity

// The kernel's boot id: a process id and start time mean the same process
// only within one boot. Empty where there is none.
const std::string& own_boot() {
    static std::string boot = [] {
        std::string b;
#ifdef __linux__
        if (FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
            char buf[64] = {0};
            if (std::fgets(buf, sizeof buf, f)) b = buf;
            std::fclose(f);
            while (!b.empty() && (b.back() == '\n' || b.back() == ' ')) b.pop_back();
        }
#endif
        return b;
    }();
    return boot;
}

// The start time of a process in clock ticks since boot; -1 when unknown.
// With the process id it names one process of one boot, whatever ids are
// reused later.
long long start_ticks(long pid) {
#ifdef __linux__
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    if (!p) return -1;
    // Field 22 is the start time; fields 3 on follow the name.
    int field = 2;
    for (++p; *p && field < 22; ++p)
        if (*p == ' ') ++field;
    return field == 22 ? std::strtoll(p, nullptr, 10) : -1;
#else
    (void)pid;
    return -1;
#endif
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

// Whether the process recorded as (pid, start ticks, boot id) still runs
// here; unknown parts (-1, "") are not held against it.
bool identity_alive(long pid, long long started, const std::string& boot) {
    if (!boot.empty() && !own_boot().empty() && boot != own_boot()) return false;
    if (!process_alive(pid)) return false;
    if (started >= 0) {
        long long now = start_ticks(pid);
        if (now >= 0 && now != started) return false;
    }
    return true;
}

// 32 random hexadecimal digits.
std::string random_hex() {
    static const char digits[] = "0123456789abcdef";
    std::random_device dev;
    std::string s;
    for (int i = 0; i < 4; ++i) {
        unsigned v = dev();
        for (int k = 0; k < 8; ++k, v >>= 4) s += digits[v & 15];
    }
    return s;
}

// This process: its id and start time (read again after a fork). With the
// boot id they name this process life: a restarted host or container
// whose dispatcher gets the old process id is another process.
struct Self {
    long pid = -1;
    long long started = -1;
};
const Self& this_process() {
    static Self me;
    if (me.pid != own_pid()) {
        me.pid = own_pid();
        me.started = start_ticks(me.pid);
    }
    return me;
}

Ref text_or_none(const std::string& s) { return s.empty() ? Ref(none()) : str(s.c_str()); }
Ref ticks_or_none(long long v) { return v < 0 ? Ref(none()) : check(PyLong_FromLongLong(v)); }

// An integer column's value; `fallback` for NULL or anything else.
long long as_int(Handle v, long long fallback) {
    if (!PyLong_Check(v.ptr())) return fallback;
    int overflow = 0;
    long long out = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow || (out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return fallback;
    }
    return out;
}
std::string as_text(Handle v) {
    if (!PyUnicode_Check(v.ptr())) return "";
    const char* s = PyUnicode_AsUTF8(v.ptr());
    if (!s) raise();
    return s;
}

// ----------------------------------------------------------------- claim

// One run of the claim protocol on its own connection and transaction.
// (The claim's record is written by its child when it starts.)
Ref claim_once(Handle self, Handle count_sql, Handle pick_sql, Handle claim_sql) {
    return with_connection(self, [&](Handle conn, Handle cur) -> Ref {
        {
            Ref execute = cur.attr(ID("execute"));
            Ref values = tuple(self.attr(ID("CVF_HostName")));
            execute(count_sql, values);
        }
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
        {
            Ref execute = cur.attr(ID("execute"));
            Ref values = tuple(self.attr(ID("CVF_HostName")), integer(own_pid()), worker_id);
            execute(claim_sql, values);
        }
        commit_close(conn);
        return tuple(worker_id, task_name);
    });
}

// Runs one write statement with `values` on its own connection and
// commits; returns the rows it changed (-1 when the driver does not say).
long write_one(Handle self, Handle text, Handle values) {
    long n = -1;
    with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, text, values);
        n = rowcount(cur);
        commit_close(conn);
        return none();
    });
    return n;
}

// ----------------------------------------------------------------- child

// What a child finds when it starts: a claim of its own (fenced writes), a
// row without a claim record (claimed by other code: the plain writes), or
// a claim that is no longer its own.
struct ChildClaim {
    enum Kind { Plain, Own, TakenOver, Settled } kind = Plain;
    Ref token;
    Ref status;
};

// f() retried after lock and connection errors with a growing pause:
// until it succeeds when `window` < 0, else for `window` seconds; then, or
// at once for any other error, the error goes on. `what` names the step in
// the one line printed when the retries begin (nothing is printed with a
// window: that is the path of rows claimed by other code).
template <class F>
void retried(const Globals& g, double window, Handle worker_id, const char* what, F f) {
    double start = -1;  // read at the first failure: the success path reads no clock
    for (int attempt = 1;; ++attempt) {
        double wait = -1;
        except_(PyExc_Exception, f, [&](Caught& e) {
            if (error_kind(g, e.value()) == ErrorKind::Other) e.reraise();
            double now = monotonic(g);
            if (start < 0) {
                start = now;
                if (window < 0)
                    print(check(PyUnicode_FromFormat("[Sarnovet] Task %S: %s failed, retrying until it gets through: %S",
                                                     worker_id.ptr(), what, e.value().ptr())));
            }
            double step = growing_pause(attempt, kFinalWritePause, kFinalWritePauseMax);
            if (window < 0) {
                wait = step;
                return;
            }
            double left = window - (now - start);
            if (left <= 0) e.reraise();
            wait = std::min(left, step);
        });
        if (wait < 0) return;
        pause(g, wait);
    }
}

ChildClaim child_claim(const Globals& g, Handle self, const Names& names, Handle worker_id) {
    Ref look = sql(names, q::child_claim);
    Ref record = sql(names, q::record_claim);
    ChildClaim result;
    retried(g, -1, worker_id, "recording its start", [&] {
        result = ChildClaim{};
        with_connection(self, [&](Handle conn, Handle cur) {
            execute(cur, look, tuple(worker_id));
            Ref row = cur.call(ID("fetchone"));
            if (!row.truthy()) {  // no row: nothing to fence (a wrapper called on its own)
                rollback_close(conn);
                return none();
            }
            Ref status = row[integer(0)], host = row[integer(1)];
            long long pid = as_int(row[integer(2)], -1);
            // The row must be the claim of the dispatcher that started this
            // child (or of this process, when the wrapper runs in place).
            bool own = pid == own_pid() || pid == (long long)getppid();
            if (own) {
                Ref own_host = self.attr(ID("CVF_HostName"));
                own = host == own_host;
            }
            result.status = status;
            if (!own) {
                result.kind = ChildClaim::TakenOver;
            } else if (!(status == str("RUNNING"))) {
                result.kind = ChildClaim::Settled;
            } else {
                result.kind = ChildClaim::Own;
                result.token = str(random_hex().c_str());
                const Self& me = this_process();
                long long dispatcher_started = pid == me.pid ? me.started : start_ticks((long)pid);
                execute(cur, record,
                        tuple(result.token, ticks_or_none(dispatcher_started), text_or_none(own_boot()),
                              integer(me.pid), ticks_or_none(me.started), worker_id));
            }
            commit_close(conn);
            return none();
        });
    });
    return result;
}

void say_taken_over(Handle worker_id, Handle task_name, const char* what) {
    print(check(PyUnicode_FromFormat(
        "[Sarnovet] Task %S (%R): its claim was taken over or its row is gone; %s", worker_id.ptr(),
        task_name.ptr(), what)));
}

// The child's last word on its row. With its own claim the write is fenced
// to it and retried until it gets through; it returns false when the row
// no longer carries the claim (requeued, claimed again, removed). Without
// a claim record, the plain statement, retried for kFinalWriteWindow.
bool final_write(const Globals& g, Handle self, const Names& names, const ChildClaim& claim, bool remove,
                 Handle worker_id, Handle reason) {
    if (claim.kind != ChildClaim::Own) {
        Ref text = sql(str(names.table.c_str()), remove ? Stmt::Remove : Stmt::MarkDead);
        Ref values = tuple(worker_id);
        retried(g, kFinalWriteWindow, worker_id, "", [&] { write_one(self, text, values); });
        return true;
    }
    Ref fence_sql = sql(names, q::fence);
    Ref row_sql = sql(str(names.table.c_str()), remove ? Stmt::Remove : Stmt::MarkDead);
    Ref claim_sql = sql(names, remove ? q::drop_claim : q::claim_reason);
    Ref fence_values = tuple(worker_id, claim.token);
    Ref row_values = tuple(worker_id);
    Ref claim_values = remove ? tuple(worker_id) : tuple(reason, worker_id);
    bool current = true;
    retried(g, -1, worker_id, remove ? "its row removal" : "its dead marking", [&] {
        with_connection(self, [&](Handle conn, Handle cur) {
            execute(cur, fence_sql, fence_values);
            current = fetch_first(cur).truthy();
            if (!current) {
                rollback_close(conn);
                return none();
            }
            execute(cur, row_sql, row_values);
            execute(cur, claim_sql, claim_values);
            commit_close(conn);
            return none();
        });
    });
    return current;
}

// ------------------------------------------------------ dispatcher's side

// Settles (DEAD, with its reason) a row this process claimed whose child
// ended without a result or never started; a row that its child settled
// already, or that is no longer this process's claim, is left as it is.
// Returns whether it changed (true also when the driver does not say).
bool settle_own(const Globals& g, Handle self, Handle worker_id, Handle reason) {
    Ref text = sql(names_of(self), q::settle_own);
    const Self& me = this_process();
    Ref values = tuple(reason, worker_id, integer(me.pid), ticks_or_none(me.started));
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

// The children a dispatcher started: a host list of (process, worker id).
bool runs_row(Handle children, Handle worker_id) {
    for (const Ref& child : iterate(children))
        if (unpack2(child).second == worker_id) return true;
    return false;
}

// Why a RUNNING row of this host name is stranded, or nullptr while a
// process that may settle it is alive here: the child recorded in its
// claim, else the claiming dispatcher (named by its process id, start time
// and boot). A row of this process counts as alive while one of
// `children` runs it, or always unless `own_without_child`. Rows claimed
// by other code (no claim record) are judged by their pid as before.
const char* stranded(Handle row, Handle children, bool own_without_child) {
    Ref worker_id = row[integer(0)];
    long long pid = as_int(row[integer(1)], -1);
    bool recorded = row[integer(2)].truthy();
    const Self& me = this_process();
    if (!recorded) {
        if (pid <= 0 || pid > INT_MAX) return nullptr;
        if (pid == me.pid) return own_without_child && !runs_row(children, worker_id) ? "no child started" : nullptr;
        return process_alive((long)pid) ? nullptr : "dispatcher gone";
    }
    long long started = as_int(row[integer(3)], -1);
    std::string boot = as_text(row[integer(4)]);
    long long child = as_int(row[integer(5)], -1);
    long long child_started = as_int(row[integer(6)], -1);
    if (!boot.empty() && !own_boot().empty() && boot != own_boot()) return "host restarted";
    if (child > 0 && child <= INT_MAX && identity_alive((long)child, child_started, boot)) return nullptr;
    if (pid == me.pid && started == me.started)
        return own_without_child && !runs_row(children, worker_id) ? "no child started" : nullptr;
    if (pid > 0 && pid <= INT_MAX && identity_alive((long)pid, started, boot)) return nullptr;
    return "dispatcher gone";
}

// Marks DEAD, with the reason, the RUNNING rows filed under this runner's
// host name that no live process here can settle (see stranded()); the
// rows found by a plain read are read again under lock and judged again
// before they change. Returns how many rows changed.
long recover(const Globals& g, Handle self, Handle children, bool own_without_child) {
    Names names = names_of(self);
    Ref read_sql = sql(names, q::host_rows);
    Ref locked_sql = check(PyUnicode_Concat(read_sql.ptr(), str("\n    FOR UPDATE").ptr()));
    Ref settle_sql = sql(names, q::settle);
    Ref changed = lock_retried(g, [&] {
        return with_connection(self, [&](Handle conn, Handle cur) {
            auto scan = [&](Handle text) {
                {
                    Ref execute = cur.attr(ID("execute"));
                    Ref values = tuple(self.attr(ID("CVF_HostName")));
                    execute(text, values);
                }
                Ref stale = list();
                for (Ref row = cur.call(ID("fetchone")); row.truthy(); row = cur.call(ID("fetchone"))) {
                    const char* why = stranded(row, children, own_without_child);
                    if (why) append(stale, tuple(row[integer(0)], str(why)));
                }
                return stale;
            };
            if (len(scan(read_sql)) == 0) {
                rollback_close(conn);
                return integer(0);
            }
            Ref stale = scan(locked_sql);
            long total = 0;
            for (const Ref& item : iterate(stale)) {
                auto [worker_id, why] = unpack2(item);
                execute(cur, settle_sql, tuple(why, worker_id));
                total += rowcount(cur) != 0;  // a row and its claim record count as one
            }
            commit_close(conn);
            return integer(total);
        });
    });
    return PyLong_AsLong(changed.ptr());
}

// Looks at the children that ended: one that ended with a non-zero exit
// code or by a signal and whose row is still RUNNING gets that row marked
// DEAD (reason: the exit code or signal) and is reported through
// Evt_OnProcDead. A child leaves the list once it is dealt with; when the
// marking fails it stays for the next pass.
void reap(const Globals& g, Handle self, Handle children) {
    for (Py_ssize_t i = 0; i < len(children);) {
        auto [proc, worker_id] = unpack2(children[integer(i)]);
        Ref code = proc.attr(ID("exitcode"));
        if (code.is_none()) {
            ++i;
            continue;
        }
        bool report = false;
        if (code.truthy()) {
            long long c = as_int(code, 0);
            Ref reason = c < 0 ? check(PyUnicode_FromFormat("killed by signal %lld", -c))
                               : check(PyUnicode_FromFormat("exit code %S", code.ptr()));
            report = settle_own(g, self, worker_id, reason);
        }
        del_item(children, i);
        if (report) {
            Ref callback = self.attr(ID("Evt_OnProcDead"));
            if (callback.truthy()) {
                Ref pid = proc.attr(ID("pid"));
                Ref text = check(PyUnicode_FromFormat("Process %S ended with exit code %S without a result",
                                                      pid.ptr(), code.ptr()));
                callback(worker_id, text);
            }
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
        [&] { settle_own(g, self, worker_id, str("child not started")); });
}

// The dispatcher of one CUF_Run call and what it keeps between passes.
class Dispatcher {
public:
    Dispatcher(const Globals& g, Handle self, Handle sleep_idle) : g_(g), self_(self), sleep_idle_(sleep_idle) {}

    // The companion tables once, the heartbeat now and then (with the
    // settling of lost hosts' rows), now and then the recovery of rows
    // left by processes that are gone, the reaping of ended children, one
    // claim attempt and either the idle event and sleep or the start of a
    // child.
    void pass() {
        check_signals();
        if (!ensured_) ensure_companions();
        if (Clock::now() >= next_beat_) heartbeat();
        if (recovery_due_ || Clock::now() >= next_recovery_) recover_rows();
        reap(g_, self_, children_);
        Ref got = at_limit_with_settled() ? Ref(none()) : self_.call(ID("CUF_TryFetchTask"));
        // The claim attempt reached the server: an outage is over. Its
        // report waits until a claimed row has its child.
        bool reached_again = in_outage_;
        in_outage_ = false;
        if (!got.truthy()) {
            if (reached_again) report_reached();
            fire(self_, ID("Evt_OnIdle"));
            Ref sleep = g_[ID("time")].attr(ID("sleep"));
            sleep(sleep_idle_);
            return;
        }
        auto [worker_id, task_name] = unpack2(got);
        starting_ = true;
        Ref proc = start_child(g_, self_, worker_id, task_name);
        starting_ = false;
        append(children_, tuple(proc, worker_id));
        if (reached_again) report_reached();
    }

    // A pass failed: a server that cannot be reached, or rows that stay
    // locked past the claim's retries, are waited for with a growing
    // pause, for as long as it takes; any other error, and a failed child
    // start, ends the loop.
    void ride_out(Caught& e) {
        ErrorKind kind = error_kind(g_, e.value());
        if (starting_ || kind == ErrorKind::Other) e.reraise();
        double now = monotonic(g_);
        if (!in_outage_) {
            in_outage_ = true;
            outage_start_ = next_report_ = now;
            outage_attempt_ = 0;
        }
        if (now >= next_report_) {
            const char* what = kind == ErrorKind::Lock ? "busy (rows stay locked)" : "unreachable";
            if (now == outage_start_)
                print(check(PyUnicode_FromFormat("[Sarnovet] Database %s, retrying until it answers: %U", what,
                                                 e.value().str().ptr())));
            else
                print(check(PyUnicode_FromFormat("[Sarnovet] Database still %s after %d s, retrying: %U", what,
                                                 (int)(now - outage_start_), e.value().str().ptr())));
            next_report_ = now + kOutageReport;
        }
        pause(g_, growing_pause(++outage_attempt_, kOutagePause, kOutagePauseMax));
    }

private:
    void ensure_companions() {
        Names names = names_of(self_);
        Ref claim = sql(names, q::create_claim), lease = sql(names, q::create_lease);
        with_connection(self_, [&](Handle conn, Handle cur) {
            execute(cur, claim);
            execute(cur, lease);
            commit_close(conn);
            return none();
        });
        ensured_ = true;
    }

    // Refreshes this host's heartbeat, settles the RUNNING rows of hosts
    // whose heartbeat is older than CVI_LeaseSeconds, and counts this
    // dispatcher's live children whose rows were settled meanwhile (a host
    // that was cut off longer than the lease): they still take slots.
    void heartbeat() {
        Names names = names_of(self_);
        Ref beat_sql = sql(names, q::beat), lost_sql = sql(names, q::lost_rows), own_sql = sql(names, q::own_running);
        Ref lease;
        Ref lost_found, own_rows;
        with_connection(self_, [&](Handle conn, Handle cur) {
            {
                Ref execute = cur.attr(ID("execute"));
                Ref values = tuple(self_.attr(ID("CVF_HostName")));
                execute(beat_sql, values);
            }
            conn.call(ID("commit"));
            lease = flt(seconds_attr(self_, ID("CVI_LeaseSeconds")));
            execute(cur, lost_sql, tuple(lease));
            lost_found = cur.call(ID("fetchone"));
            const Self& me = this_process();
            execute(cur, own_sql, tuple(integer(me.pid), ticks_or_none(me.started)));
            own_rows = check(PySet_New(nullptr));
            for (Ref row = cur.call(ID("fetchone")); row.truthy(); row = cur.call(ID("fetchone")))
                check(PySet_Add(own_rows.ptr(), row[integer(0)].ptr()));
            rollback_close(conn);
            return none();
        });
        if (lost_found.truthy()) settle_lost(names, lease);
        settled_live_ = 0;
        for (const Ref& child : iterate(children_)) {
            auto [proc, worker_id] = unpack2(child);
            if (proc.attr(ID("exitcode")).is_none() && !check(PySet_Contains(own_rows.ptr(), worker_id.ptr())))
                ++settled_live_;
        }
        next_beat_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                        seconds_attr(self_, ID("CVI_HeartbeatSeconds"))));
    }

    void settle_lost(const Names& names, Handle lease) {
        Ref locked = check(PyUnicode_Concat(sql(names, q::lost_rows).ptr(), str("\n    FOR UPDATE").ptr()));
        Ref settle_sql = sql(names, q::settle);
        Ref hosts = list();
        Ref changed = lock_retried(g_, [&] {
            return with_connection(self_, [&](Handle conn, Handle cur) {
                execute(cur, locked, tuple(lease));
                Ref rows = cur.call(ID("fetchall"));
                long total = 0;
                for (const Ref& row : iterate(rows)) {
                    auto [worker_id, host] = unpack2(row);
                    execute(cur, settle_sql, tuple(str("host lost"), worker_id));
                    total += rowcount(cur) != 0;  // a row and its claim record count as one
                    if (!check(PySequence_Contains(hosts.ptr(), host.ptr()))) append(hosts, host);
                }
                commit_close(conn);
                return integer(total);
            });
        });
        long n = PyLong_AsLong(changed.ptr());
        if (n > 0) {
            Ref joined = check(PyUnicode_Join(str(", ").ptr(), hosts.ptr()));
            print(check(PyUnicode_FromFormat(
                "[Sarnovet] Marked %ld RUNNING row(s) of host(s) %U DEAD: host lost (no heartbeat for over %S s)", n,
                joined.ptr(), lease.ptr())));
        }
    }

    // With children whose rows were settled while they still run, the
    // claim waits until the rows under this host name and those children
    // together are below the limit.
    bool at_limit_with_settled() {
        if (settled_live_ <= 0) return false;
        Ref text = sql_for(self_, Stmt::HostRunning);
        Ref count = with_connection(self_, [&](Handle conn, Handle cur) {
            {
                Ref execute = cur.attr(ID("execute"));
                Ref values = tuple(self_.attr(ID("CVF_HostName")));
                execute(text, values);
            }
            Ref n = fetch_first(cur);
            conn.call(ID("close"));
            return n;
        });
        Ref busy = count + integer(settled_live_);
        return busy >= self_.attr(ID("CVF_MaxCPU"));
    }

    void recover_rows() {
        // Claims whose fate an outage hid are this process's own rows
        // without a child; with other CUF_Run calls in this process such a
        // row may be theirs, so then they are left alone.
        long n = recover(g_, self_, children_, own_without_child_ && active_.alone());
        recovery_due_ = own_without_child_ = false;
        next_recovery_ = Clock::now() + std::chrono::seconds((long)kRecoveryInterval);
        if (n > 0) {
            Ref host = self_.attr(ID("CVF_HostName"));
            print(check(PyUnicode_FromFormat(
                "[Sarnovet] Marked %ld RUNNING row(s) of host %S DEAD: their processes no longer exist", n,
                host.ptr())));
        }
        // Claim records of rows that others removed.
        Ref orphans = sql(names_of(self_), q::orphans);
        lock_retried(g_, [&] {
            return with_connection(self_, [&](Handle conn, Handle cur) {
                execute(cur, orphans);
                commit_close(conn);
                return none();
            });
        });
    }

    void report_reached() {
        recovery_due_ = own_without_child_ = true;
        next_beat_ = Clock::now();
        char line[96];
        std::snprintf(line, sizeof line, "[Sarnovet] Database reachable again after %.1f s",
                      monotonic(g_) - outage_start_);
        print(str(line));
    }

    const Globals& g_;
    Handle self_, sleep_idle_;
    ActiveRun active_;
    Ref children_ = list();
    bool ensured_ = false;
    bool recovery_due_ = true, own_without_child_ = false;
    Clock::time_point next_recovery_ = Clock::now(), next_beat_ = Clock::now();
    long settled_live_ = 0;
    bool starting_ = false;
    bool in_outage_ = false;
    double outage_start_ = 0, next_report_ = 0;
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
        raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", function_text(connect).ptr(),
              Py_TYPE(config.ptr())->tp_name);
    }
    PyObject* autocommit = ID("autocommit");
    if (check(PyDict_Contains(kwargs.ptr(), autocommit)))
        raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", function_text(connect).ptr(),
              autocommit);
    kwargs.set_item(autocommit, boolean(false));
    return check(PyObject_Call(connect.ptr(), tuple().ptr(), kwargs.ptr()));
}

// ----------------------------------------------------------- operations

Ref runner_ensure_table(const Globals&, Handle self) {
    Names names = names_of(self);
    Ref text = sql(str(names.table.c_str()), Stmt::Create);
    with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, text);
        commit_close(conn);
        return none();
    });
    // The companion tables, in a transaction of their own.
    Ref claim = sql(names, q::create_claim), lease = sql(names, q::create_lease);
    return with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, claim);
        execute(cur, lease);
        commit_close(conn);
        return none();
    });
}

Ref runner_has_pending_or_running(const Globals&, Handle self) {
    Ref count = read_count(self, sql_for(self, Stmt::ActiveCount));
    return check(PyObject_RichCompare(count.ptr(), integer(0).ptr(), Py_GT));
}

// A registration that waits on rows locked by a peer stopped inside its
// claim ends with a lock-wait abort after the session's lock wait; it is
// run again, with the same worker id, like a claim.
Ref runner_register_task(const Globals& g, Handle self, Handle task_name) {
    Ref text = sql_for(self, Stmt::Insert);
    Ref worker_id;
    lock_retried(g, [&] {
        return with_connection(self, [&](Handle conn, Handle cur) {
            if (!worker_id) worker_id = g[ID("uuid")].call(ID("uuid4")).str();
            execute(cur, text, tuple(worker_id, task_name));
            commit_close(conn);
            return none();
        });
    });
    fire(self, ID("Evt_OnTaskRegister"), worker_id, task_name);
    return none();
}

Ref runner_get_task_count(const Globals&, Handle self) { return read_count(self, sql_for(self, Stmt::TotalCount)); }

// The claim protocol. A deadlock or lock-wait abort is transient: the whole claim runs again on
// a fresh connection; any other error, or the same one after the last try,
// goes to the caller.
Ref runner_try_fetch_task(const Globals& g, Handle self) {
    Names names = names_of(self);
    Ref name = str(names.table.c_str());
    Ref count_sql = sql(name, Stmt::HostRunning);
    Ref pick_sql = sql(name, Stmt::Pick);
    Ref claim_sql = sql(name, Stmt::Claim);
    return lock_retried(g, [&] { return claim_once(self, count_sql, pick_sql, claim_sql); });
}

// --------------------------------------------------------------- child

// The child's body: its claim looked at first (a claim that is no longer
// its own, or that was settled meanwhile, is not run), then the target
// with the task name, then the row removed; an error of the Exception
// family marks the row DEAD with the error as its reason instead. An exit
// request or an interrupt settles the row first and then goes on; one
// that cut into the recording of a success finishes that recording
// instead of marking the task dead. What is recorded after an error is
// recorded while that error is being handled: errors raised meanwhile
// chain to it. Writes of an own claim apply to that claim only.
Ref runner_process_wrapper(const Globals& g, Handle self, Handle worker_id, Handle task_name) {
    Names names = names_of(self);
    ChildClaim claim = child_claim(g, self, names, worker_id);
    if (claim.kind == ChildClaim::TakenOver) {
        say_taken_over(worker_id, task_name, "the task was not run");
        return none();
    }
    if (claim.kind == ChildClaim::Settled) {
        print(check(PyUnicode_FromFormat("[Sarnovet] Task %S (%R): its row was settled (%S) before the task "
                                         "started; the task was not run",
                                         worker_id.ptr(), task_name.ptr(), claim.status.ptr())));
        return none();
    }
    bool removing = false;  // the target returned; its success is being recorded
    except_(
        PyExc_BaseException,
        [&] {
            fire(self, ID("Evt_OnProcStart"), worker_id, task_name);
            {
                Ref target = self.attr(ID("CVF_TargetFunc"));
                target(task_name);
            }
            removing = true;
            if (!final_write(g, self, names, claim, true, worker_id, none()))
                say_taken_over(worker_id, task_name, "the row was left as it is");
            removing = false;
            fire(self, ID("Evt_OnProcExit"), worker_id, task_name);
        },
        [&](Caught& e) {
            bool interrupt = !PyErr_GivenExceptionMatches(e.value().ptr(), PyExc_Exception);
            if (interrupt && removing) {
                if (!final_write(g, self, names, claim, true, worker_id, none()))
                    say_taken_over(worker_id, task_name, "the row was left as it is");
            } else {
                Ref reason = error_reason(e.value());
                if (!final_write(g, self, names, claim, false, worker_id, reason))
                    say_taken_over(worker_id, task_name, "the row was left as it is");
                Ref callback = self.attr(ID("Evt_OnProcDead"));
                if (callback.truthy()) {
                    Ref text = e.value().str();
                    callback(worker_id, text);
                }
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
