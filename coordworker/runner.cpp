// CLASS_MultiTaskAdv: constructor, the database operations, the claim with
// its retry, the child's wrapper with its retried final write, and the
// dispatcher loop with its reaping of children, recovery of rows left by
// ended dispatchers and riding out of server outages.
#include "sarnovet.hpp"

#include <algorithm>
#include <cctype>
#include <set>
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
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
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

// A child's final write is run again after lock and connection errors
// until it gets through, with growing random pauses between tries.
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

// The start time of a process in clock ticks since boot; -1 when unknown.
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

// How long a process has existed, in seconds; -1 when unknown. Compared
// with the age of a claim on the server's clock it tells whether the
// process that now has a claim's pid can be the one that claimed: a reused
// pid, or a restarted container or machine whose dispatcher has the old
// pid again, is younger than the claim.
double process_age(long pid) {
#ifdef __linux__
    long long ticks = start_ticks(pid);
    if (ticks < 0) return -1;
    double uptime = -1;
    if (FILE* f = std::fopen("/proc/uptime", "re")) {
        if (std::fscanf(f, "%lf", &uptime) != 1) uptime = -1;
        std::fclose(f);
    }
    long hz = sysconf(_SC_CLK_TCK);
    if (uptime < 0 || hz <= 0) return -1;
    return uptime - (double)ticks / (double)hz;
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

// A claim may have been made by the process now running under its pid when
// that process is not younger than the claim (2 s for the claim time's
// whole seconds and the clocks' reading); unknown ages do not count
// against it.
bool may_have_claimed(double process_seconds, double claim_seconds) {
    return process_seconds < 0 || claim_seconds < 0 || process_seconds + 2.0 >= claim_seconds;
}

// A child names itself after its task while it runs ("sv-" and the first
// 12 hexadecimal digits of the worker id, the most a process name holds):
// what runs a task on this machine can then be found without a database,
// by the dispatchers' recovery and by sarnovet-admin, even after its
// dispatcher is gone.
std::string task_process_name(Handle worker_id) {
    std::string name = "sv-";
    if (PyUnicode_Check(worker_id.ptr())) {
        const char* s = PyUnicode_AsUTF8(worker_id.ptr());
        if (!s) raise();
        for (; *s && name.size() < 15; ++s)
            if (std::isxdigit((unsigned char)*s)) name += (char)std::tolower((unsigned char)*s);
    }
    return name;
}

// The names of the processes on this machine that run tasks.
std::set<std::string> task_processes_here() {
    std::set<std::string> names;
#ifdef __linux__
    DIR* dir = opendir("/proc");
    if (!dir) return names;
    while (dirent* e = readdir(dir)) {
        if (!std::isdigit((unsigned char)e->d_name[0])) continue;
        char path[300];
        std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n <= 0) continue;
        buf[n] = 0;
        const char* open_paren = std::strchr(buf, '(');
        const char* close_paren = std::strrchr(buf, ')');
        if (!open_paren || !close_paren || close_paren < open_paren) continue;
        std::string name(open_paren + 1, close_paren);
        char state = close_paren[1] == ' ' ? close_paren[2] : '?';
        if (name.compare(0, 3, "sv-") == 0 && state != 'Z' && state != 'X') names.insert(name);
    }
    closedir(dir);
#endif
    return names;
}

// Sets this thread's process name for the life of the object, then puts
// the old one back (the wrapper may run in place, in a program's thread).
class TaskName {
public:
    explicit TaskName(const std::string& name) {
#ifdef __linux__
        set_ = prctl(PR_GET_NAME, old_, 0, 0, 0) == 0 && prctl(PR_SET_NAME, name.c_str(), 0, 0, 0) == 0;
#else
        (void)name;
#endif
    }
    ~TaskName() {
#ifdef __linux__
        if (set_) prctl(PR_SET_NAME, old_, 0, 0, 0);
#endif
    }
    TaskName(const TaskName&) = delete;
    TaskName& operator=(const TaskName&) = delete;

private:
    char old_[32] = {0};
    bool set_ = false;
};

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

// ----------------------------------------------------------------- claim

// The worker ids this process has claimed and not yet seen end (a forked
// child starts from none). A RUNNING row under this host name and this
// process's pid that is not among them was claimed by an earlier process
// with the same pid: a restarted container or machine, whose dispatcher
// gets its old pid again.
class OwnClaims {
public:
    void add(Handle worker_id) { here().insert(text(worker_id)); }
    void drop(Handle worker_id) { here().erase(text(worker_id)); }
    bool has(Handle worker_id) { return here().count(text(worker_id)) != 0; }

private:
    static std::string text(Handle worker_id) {
        const char* s = PyUnicode_Check(worker_id.ptr()) ? PyUnicode_AsUTF8(worker_id.ptr()) : nullptr;
        if (!s) PyErr_Clear();
        return s ? s : "";
    }
    std::set<std::string>& here() {
        long me = own_pid();
        if (pid_ != me) {
            pid_ = me;
            ids_.clear();
        }
        return ids_;
    }
    long pid_ = 0;
    std::set<std::string> ids_;
};
OwnClaims own_claims;

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
        own_claims.add(worker_id);
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

// f() retried after lock and connection errors with a growing pause until
// it succeeds; any other error goes on at once. One line is printed when
// the retries begin.
template <class F>
void retried(const Globals& g, Handle worker_id, const char* what, F f) {
    bool said = false;
    for (int attempt = 1;; ++attempt) {
        double wait = -1;
        except_(PyExc_Exception, f, [&](Caught& e) {
            if (error_kind(g, e.value()) == ErrorKind::Other) e.reraise();
            if (!said) {
                said = true;
                Ref line = check(PyUnicode_FromFormat(
                    "[Sarnovet] Task %S: %s failed, retrying until it gets through: %S", worker_id.ptr(), what,
                    e.value().ptr()));
                print(g, line);
            }
            wait = growing_pause(attempt, kFinalWritePause, kFinalWritePauseMax);
        });
        if (wait < 0) return;
        pause(g, wait);
    }
}

// What the child knows of its claim: its dispatcher (the process that
// started it, or this process when the wrapper runs in place) and when the
// child started.
struct Claim {
    long parent;
    long self = own_pid();
    Clock::time_point started = Clock::now();

    // The dispatcher is multiprocessing's parent process (under forkserver
    // that is not the parent in the process tree); else the parent.
    explicit Claim(const Globals& g) : parent((long)getppid()) {
        ignoring_errors([&] {
            Ref process = g[ID("multiprocessing")].call(ID("parent_process"));
            if (process.is_none()) return;
            Ref pid = process.attr(ID("pid"));
            long long v = as_int(pid, -1);
            if (v > 0 && v <= INT_MAX) parent = (long)v;
        });
    }

    // Microseconds since the child started, less a margin for the clocks
    // (1 s and 0.1 %): the claim's start time is no later than that.
    long long fence_micros() const {
        double age = std::chrono::duration<double>(Clock::now() - started).count();
        return (long long)(std::max(0.0, age - 1.0 - age * 0.001) * 1e6);
    }
};

void say_taken_over(const Globals& g, Handle worker_id, Handle task_name) {
    Ref line = check(PyUnicode_FromFormat(
        "[Sarnovet] Task %S (%R): its claim was taken over or its row is gone; the row was left as it is",
        worker_id.ptr(), task_name.ptr()));
    print(g, line);
}

// The child's last word on its row, fenced to its own claim and retried
// after lock and connection errors until it gets through. Returns false
// when the row no longer carries the claim (requeued, claimed again,
// removed); whether it was settled meanwhile does not matter.
bool final_write(const Globals& g, Handle self, const Names& names, const Claim& claim, bool remove,
                 Handle worker_id, Handle reason) {
    bool current = true;
    if (remove) {
        Ref text = sql(names, q::fenced_remove);
        retried(g, worker_id, "its row removal", [&] {
            Ref host = self.attr(ID("CVF_HostName"));
            Ref values = tuple(worker_id, host, integer(claim.parent), integer(claim.self),
                               check(PyLong_FromLongLong(claim.fence_micros())));
            current = write_one(self, text, values) != 0;
        });
        return current;
    }
    Ref fence_sql = sql(names, q::fence);
    Ref mark_sql = sql(names, Stmt::MarkDead);
    Ref reason_sql = sql(names, q::note_reason);
    retried(g, worker_id, "its dead marking", [&] {
        Ref host = self.attr(ID("CVF_HostName"));
        Ref values = tuple(worker_id, host, integer(claim.parent), integer(claim.self),
                           check(PyLong_FromLongLong(claim.fence_micros())));
        with_connection(self, [&](Handle conn, Handle cur) {
            execute(cur, fence_sql, values);
            current = fetch_first(cur).truthy();
            if (!current) {
                rollback_close(conn);
                return none();
            }
            execute(cur, mark_sql, tuple(worker_id));
            execute(cur, reason_sql, tuple(worker_id, reason));
            commit_close(conn);
            return none();
        });
    });
    return current;
}

// ------------------------------------------------------ dispatcher's side

// Marks a RUNNING row DEAD with its reason, in the open transaction on
// `cur` (`which` selects the row: by worker id alone, or also by this
// process's host name and pid). Returns whether the row changed.
bool settle_row(Handle cur, Handle mark_sql, Handle mark_values, Handle reason_sql, Handle worker_id, Handle reason) {
    execute(cur, mark_sql, mark_values);
    if (rowcount(cur) == 0) return false;
    execute(cur, reason_sql, tuple(worker_id, reason));
    return true;
}

// Settles (DEAD, with its reason) a row this process claimed whose child
// ended without a result or never started; a row that its child settled
// already, or that is no longer this process's claim, is left as it is.
// Returns whether it changed (true also when the driver does not say).
bool settle_own(const Globals& g, Handle self, Handle worker_id, Handle reason) {
    Names names = names_of(self);
    Ref mark_sql = sql(names, q::settle_own), reason_sql = sql(names, q::note_reason);
    Ref changed = lock_retried(g, [&] {
        return with_connection(self, [&](Handle conn, Handle cur) {
            Ref host = self.attr(ID("CVF_HostName"));
            bool done = settle_row(cur, mark_sql, tuple(worker_id, host, integer(own_pid())), reason_sql, worker_id,
                                   reason);
            commit_close(conn);
            return boolean(done);
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
// process that may settle it is alive here: the child that runs its task
// (found by its process name), else the claiming dispatcher (its pid, if
// that process is not younger than the claim). A row under this process's
// pid that this process did not claim is an earlier process's; one it
// claimed counts as alive while one of `children` runs it, or unless
// `own_without_child`.
const char* stranded(Handle row, Handle children, bool own_without_child, const std::set<std::string>& running) {
    Ref worker_id = row[integer(0)];
    long long pid = as_int(row[integer(1)], -1);
    long long micros = as_int(row[integer(2)], -1);
    double claim_age = micros < 0 ? -1 : (double)micros / 1e6;
    if (running.count(task_process_name(worker_id))) return nullptr;
    if (pid <= 0 || pid > INT_MAX) return nullptr;  // no pid: not ours to judge
    if (pid == own_pid()) {
        if (!own_claims.has(worker_id)) return "dispatcher gone";  // an earlier process with this pid
        if (runs_row(children, worker_id)) return nullptr;
        return own_without_child ? "no child started" : nullptr;
    }
    return process_alive((long)pid) && may_have_claimed(process_age((long)pid), claim_age) ? nullptr
                                                                                          : "dispatcher gone";
}

// Marks DEAD, with the reason, the RUNNING rows filed under this runner's
// host name that no live process here can settle (see stranded()); the
// rows found by a plain read are read again under lock and judged again
// before they change. Returns how many rows changed.
long recover(const Globals& g, Handle self, Handle children, bool own_without_child) {
    Names names = names_of(self);
    Ref read_sql = sql(names, q::host_rows);
    Ref locked_sql = check(PyUnicode_Concat(read_sql.ptr(), str("\n    FOR UPDATE").ptr()));
    Ref mark_sql = sql(names, Stmt::MarkDeadIfRunning);
    Ref reason_sql = sql(names, q::note_reason);
    Ref changed = lock_retried(g, [&] {
        return with_connection(self, [&](Handle conn, Handle cur) {
            std::set<std::string> running;
            bool looked = false;
            auto scan = [&](Handle text) {
                {
                    Ref execute = cur.attr(ID("execute"));
                    Ref values = tuple(self.attr(ID("CVF_HostName")));
                    execute(text, values);
                }
                Ref stale = list();
                for (Ref row = cur.call(ID("fetchone")); row.truthy(); row = cur.call(ID("fetchone"))) {
                    if (!looked) {  // the machine's task processes, once there are rows to judge
                        running = task_processes_here();
                        looked = true;
                    }
                    const char* why = stranded(row, children, own_without_child, running);
                    if (why) append(stale, tuple(row[integer(0)], str(why)));
                }
                return stale;
            };
            if (len(scan(read_sql)) == 0) {
                rollback_close(conn);
                return integer(0);
            }
            running = task_processes_here();  // again: a child may have started since
            Ref stale = scan(locked_sql);
            long total = 0;
            for (const Ref& item : iterate(stale)) {
                auto [worker_id, why] = unpack2(item);
                total += settle_row(cur, mark_sql, tuple(worker_id), reason_sql, worker_id, why);
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
        own_claims.drop(worker_id);
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

    // The companion tables once, now and then the recovery of rows left
    // by processes that are gone, the reaping of ended children, now and
    // then the heartbeat (with the settling of lost hosts' rows), one claim
    // attempt and either the idle event and sleep or the start of a child.
    void pass() {
        check_signals();
        if (!ensured_) ensure_companions();
        if (recovery_due_ || Clock::now() >= next_recovery_) recover_rows();
        reap(g_, self_, children_);
        // Right before the claim: a dispatcher that was frozen past its
        // lease learns first which of its children's rows were settled.
        if (Clock::now() >= next_beat_) heartbeat();
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
            Ref text = e.value().str();
            Ref line = now == outage_start_
                           ? check(PyUnicode_FromFormat("[Sarnovet] Database %s, retrying until it answers: %U", what,
                                                        text.ptr()))
                           : check(PyUnicode_FromFormat("[Sarnovet] Database still %s after %d s, retrying: %U",
                                                        what, (int)(now - outage_start_), text.ptr()));
            print(g_, line);
            next_report_ = now + kOutageReport;
        }
        pause(g_, growing_pause(++outage_attempt_, kOutagePause, kOutagePauseMax));
    }

private:
    void ensure_companions() {
        Names names = names_of(self_);
        Ref reason = sql(names, q::create_reason), lease = sql(names, q::create_lease);
        with_connection(self_, [&](Handle conn, Handle cur) {
            execute(cur, reason);
            execute(cur, lease);
            commit_close(conn);
            return none();
        });
        ensured_ = true;
    }

    // Refreshes this host's heartbeat, settles the RUNNING rows of hosts
    // whose heartbeat is older than CVI_LeaseSeconds, and notes which of
    // this dispatcher's live children had their rows settled meanwhile (a
    // host cut off for longer than the lease): they still take slots.
    void heartbeat() {
        Names names = names_of(self_);
        Ref beat_sql = sql(names, q::beat), lost_sql = sql(names, q::lost_rows);
        Ref live = list();
        for (const Ref& child : iterate(children_)) {
            auto [proc, worker_id] = unpack2(child);
            if (proc.attr(ID("exitcode")).is_none()) append(live, worker_id);
        }
        Ref lease, lost_found;
        Ref settled = check(PySet_New(nullptr));
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
            if (len(live) > 0) {
                std::string tail;
                for (Py_ssize_t i = 0; i < len(live); ++i) tail += i ? ", %s" : "%s";
                Ref text = sql(names, (std::string(q::settled_mine) + tail + ")").c_str());
                Ref values = list();
                {
                    Ref host = self_.attr(ID("CVF_HostName"));
                    append(values, host);
                }
                append(values, integer(own_pid()));
                for (const Ref& worker_id : iterate(live)) append(values, worker_id);
                execute(cur, text, check(PyList_AsTuple(values.ptr())));
                for (Ref row = cur.call(ID("fetchone")); row.truthy(); row = cur.call(ID("fetchone")))
                {
                    Ref worker_id = row[integer(0)];
                    check(PySet_Add(settled.ptr(), worker_id.ptr()));
                }
            }
            rollback_close(conn);
            return none();
        });
        // After an outage of its own a dispatcher waits one lease before it
        // takes others for lost: the outage (a server restart, say) may
        // have kept them from their heartbeats too.
        if (in_outage_) settle_after_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                           std::chrono::duration<double>(PyFloat_AS_DOUBLE(lease.ptr())));
        if (lost_found.truthy() && Clock::now() >= settle_after_) settle_lost(names, lease);
        settled_ = settled;
        next_beat_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                        seconds_attr(self_, ID("CVI_HeartbeatSeconds"))));
    }

    void settle_lost(const Names& names, Handle lease) {
        Ref lost_rows = sql(names, q::lost_rows);
        Ref locked = check(PyUnicode_Concat(lost_rows.ptr(), str("\n    FOR UPDATE").ptr()));
        Ref mark_sql = sql(names, Stmt::MarkDeadIfRunning);
        Ref reason_sql = sql(names, q::note_reason);
        Ref hosts = list();
        Ref changed = lock_retried(g_, [&] {
            return with_connection(self_, [&](Handle conn, Handle cur) {
                execute(cur, locked, tuple(lease));
                Ref rows = cur.call(ID("fetchall"));
                long total = 0;
                for (const Ref& row : iterate(rows)) {
                    auto [worker_id, host] = unpack2(row);
                    total += settle_row(cur, mark_sql, tuple(worker_id), reason_sql, worker_id, str("host lost"));
                    if (!check(PySequence_Contains(hosts.ptr(), host.ptr()))) append(hosts, host);
                }
                commit_close(conn);
                return integer(total);
            });
        });
        long n = PyLong_AsLong(changed.ptr());
        if (n > 0) {
            Ref joined = check(PyUnicode_Join(str(", ").ptr(), hosts.ptr()));
            Ref line = check(PyUnicode_FromFormat(
                "[Sarnovet] Marked %ld RUNNING row(s) of host(s) %U DEAD: host lost (no heartbeat for over %S s)", n,
                joined.ptr(), lease.ptr()));
            print(g_, line);
        }
    }

    // With children whose rows were settled while they still run, the
    // claim waits until the rows under this host name and those children
    // together are below the limit.
    bool at_limit_with_settled() {
        long settled_live = 0;
        if (settled_ && PySet_GET_SIZE(settled_.ptr()) > 0) {
            for (const Ref& child : iterate(children_)) {
                auto [proc, worker_id] = unpack2(child);
                if (check(PySet_Contains(settled_.ptr(), worker_id.ptr())) && proc.attr(ID("exitcode")).is_none())
                    ++settled_live;
            }
        }
        if (settled_live == 0) return false;
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
        Ref busy = count + integer(settled_live);
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
            Ref line = check(PyUnicode_FromFormat(
                "[Sarnovet] Marked %ld RUNNING row(s) of host %S DEAD: their processes no longer exist", n,
                host.ptr()));
            print(g_, line);
        }
        // Reasons of rows that were removed or requeued since.
        Ref orphans = sql(names_of(self_), q::stale_reasons);
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
        print(g_, str(line));
    }

    const Globals& g_;
    Handle self_, sleep_idle_;
    ActiveRun active_;
    Ref children_ = list();
    bool ensured_ = false;
    bool recovery_due_ = true, own_without_child_ = false;
    Clock::time_point next_recovery_ = Clock::now(), next_beat_ = Clock::now(), settle_after_ = Clock::now();
    Ref settled_;  // worker ids of children whose rows were settled while they ran
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
constexpr Def adv::init =
    method<runner_init>("__init__", {"self",
                                     "Pmf_TargetFunc",
                                     "Pmi_MaxCPU",
                                     "Pmd_DBConfig",
                                     Param{"Pms_TableName", "_syscpu_gate_worker"}.annotated(&PyUnicode_Type),
                                     {"PmF_Event_OnTaskRegister", None},
                                     {"PmF_Event_OnProcessStart", None},
                                     {"PmF_Event_OnProcessExit", None},
                                     {"PmF_Event_OnProcessDead", None},
                                     {"PmF_Event_OnIdle", None}});

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
constexpr Def adv::get_conn = method<runner_get_conn>("CVF_GetDBConn", {"self"});

// ----------------------------------------------------------- operations

Ref runner_ensure_table(const Globals&, Handle self) {
    Names names = names_of(self);
    Ref text = sql(names, Stmt::Create);
    with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, text);
        commit_close(conn);
        return none();
    });
    // The companion tables, in a transaction of their own.
    Ref reason = sql(names, q::create_reason), lease = sql(names, q::create_lease);
    return with_connection(self, [&](Handle conn, Handle cur) {
        execute(cur, reason);
        execute(cur, lease);
        commit_close(conn);
        return none();
    });
}
constexpr Def adv::ensure_table = method<runner_ensure_table>("CVF_EnsureTable", {"self"});

Ref runner_has_pending_or_running(const Globals&, Handle self) {
    Ref count = read_count(self, sql_for(self, Stmt::ActiveCount));
    return check(PyObject_RichCompare(count.ptr(), integer(0).ptr(), Py_GT));
}
constexpr Def adv::has_pending_or_running = method<runner_has_pending_or_running>("CUF_HasPendingOrRunning", {"self"});

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
constexpr Def adv::register_task = method<runner_register_task>("CUF_RegisterTask", {"self", "Pms_TaskName"});

Ref runner_get_task_count(const Globals&, Handle self) { return read_count(self, sql_for(self, Stmt::TotalCount)); }
constexpr Def adv::get_task_count = method<runner_get_task_count>("CUF_GetTaskCount", {"self"});

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
constexpr Def adv::try_fetch_task = method<runner_try_fetch_task>("CUF_TryFetchTask", {"self"});

// --------------------------------------------------------------- child

// The child's body: the target with the task name, then the row removed;
// an error of the Exception family marks the row DEAD with the error as
// its reason instead. An exit request or an interrupt settles the row
// first and then goes on; one that cut into the recording of a success
// finishes that recording instead of marking the task dead. What is
// recorded after an error is recorded while that error is being handled:
// errors raised meanwhile chain to it. The writes apply to this child's
// claim only; a child whose claim was taken over says so and leaves the
// row alone. While it runs the process carries its task's name.
Ref runner_process_wrapper(const Globals& g, Handle self, Handle worker_id, Handle task_name) {
    Names names = names_of(self);
    Claim claim(g);
    TaskName named(task_process_name(worker_id));
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
            if (!final_write(g, self, names, claim, true, worker_id, none())) say_taken_over(g, worker_id, task_name);
            removing = false;
            fire(self, ID("Evt_OnProcExit"), worker_id, task_name);
        },
        [&](Caught& e) {
            bool interrupt = !PyErr_GivenExceptionMatches(e.value().ptr(), PyExc_Exception);
            if (interrupt && removing) {
                if (!final_write(g, self, names, claim, true, worker_id, none())) say_taken_over(g, worker_id, task_name);
            } else {
                Ref reason = error_reason(e.value());
                if (!final_write(g, self, names, claim, false, worker_id, reason))
                    say_taken_over(g, worker_id, task_name);
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
constexpr Def adv::process_wrapper =
    method<runner_process_wrapper>("_ProcessWrapper", {"self", "Pmi_WorkerID", "Pms_TaskName"});

// ----------------------------------------------------------- dispatcher

Ref runner_run(const Globals& g, Handle self, Handle sleep_idle) {
    Dispatcher dispatcher(g, self, sleep_idle);
    for (;;) except_(PyExc_Exception, [&] { dispatcher.pass(); }, [&](Caught& e) { dispatcher.ride_out(e); });
}
constexpr Def adv::run = method<runner_run>("CUF_Run", {"self", {"Pmi_SleepIdle", 1}});

}  // namespace sarnovet
