// CLASS_MultiTaskAdv: constructor, the database operations, the claim with
// its retry, the child's wrapper and the dispatcher loop.
#include "sarnovet.hpp"

#include <chrono>
#include <random>

#ifdef _WIN32
#include <process.h>
#define SARNOVET_GETPID _getpid
#else
#include <unistd.h>
#define SARNOVET_GETPID getpid
#endif

namespace sarnovet {

using namespace host;

namespace {

// A claim that the server aborted as a deadlock victim or after a lock
// wait is run again this many times in all, with a short random pause.
constexpr int kClaimAttempts = 5;
constexpr double kClaimPauseStep = 0.02;  // seconds; the pause grows with each try

const char* const kDefaultTable = "_syscpu_gate_worker";

// Reads the event attribute now; calls it with `args` when it is true.
template <class... T>
void fire(PyObject* self, PyObject* attr, const T&... args) {
    Ref evt = getattr(self, attr);
    if (truth(evt.get())) call(evt.get(), args...);
}

void execute(PyObject* cur, const Ref& text) { call_method(cur, HOST_ID("execute"), text); }
void execute(PyObject* cur, const Ref& text, const Ref& values) {
    call_method(cur, HOST_ID("execute"), text, values);
}
void end(PyObject* conn, PyObject* how) {
    call_method(conn, how);
    call_method(conn, HOST_ID("close"));
}
void commit_close(PyObject* conn) { end(conn, HOST_ID("commit")); }
void rollback_close(PyObject* conn) { end(conn, HOST_ID("rollback")); }

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

double claim_pause(int attempt) {
    thread_local std::minstd_rand rng{(unsigned)std::chrono::steady_clock::now().time_since_epoch().count() ^
                                      (unsigned)SARNOVET_GETPID()};
    std::uniform_real_distribution<double> dist(0.25, 1.0);
    return kClaimPauseStep * attempt * dist(rng);
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
    for (int attempt = 1;; ++attempt) {
        try {
            return claim_once(c.self, count_sql, pick_sql, claim_sql);
        } catch (const PyError&) {
            if (attempt >= kClaimAttempts) throw;
            Pending err;
            if (!is_transient_lock_error(c.module, err.value())) err.raise_again();
        }
        Ref time = c.global(HOST_ID("time"));
        call_method(time.get(), HOST_ID("sleep"), flt(claim_pause(attempt)));
    }
}

// --------------------------------------------------------------- child

Ref runner_process_wrapper(Call& c) {
    static const Signature sig{"CLASS_MultiTaskAdv._ProcessWrapper", {"Pmi_WorkerID", "Pms_TaskName"}, 2};
    PyObject* a[2];
    c.parse(sig, a);
    PyObject* self = c.self;
    Ref worker_id = Ref::borrow(a[0]), task_name = Ref::borrow(a[1]);
    try {
        fire(self, HOST_ID("Evt_OnProcStart"), worker_id, task_name);
        Ref target = S_GET(self, "CVF_TargetFunc");
        call(target.get(), task_name);
        write_one(self, sql_for(self, Stmt::Remove), tuple(worker_id));
        fire(self, HOST_ID("Evt_OnProcExit"), worker_id, task_name);
        return none();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    // The failure is recorded while the task's error is being handled:
    // errors raised meanwhile chain to it.
    Pending caught;
    Ref exc = Ref::borrow(caught.value());
    Handling handling(exc.get());
    write_one(self, sql_for(self, Stmt::MarkDead), tuple(worker_id));
    Ref text = check(PyObject_Str(exc.get()));
    fire(self, HOST_ID("Evt_OnProcDead"), worker_id, text);
    return none();
}

// ----------------------------------------------------------- dispatcher

Ref runner_run(Call& c) {
    static const Signature sig{"CLASS_MultiTaskAdv.CUF_Run", {"Pmi_SleepIdle"}, 0};
    PyObject* a[1];
    c.parse(sig, a);
    Ref sleep_idle = a[0] ? Ref::borrow(a[0]) : integer(1);
    PyObject* self = c.self;
    for (;;) {
        check_int(PyErr_CheckSignals());
        Ref got = call_method(self, HOST_ID("CUF_TryFetchTask"));
        if (!truth(got.get())) {
            fire(self, HOST_ID("Evt_OnIdle"));
            Ref time = c.global(HOST_ID("time"));
            call_method(time.get(), HOST_ID("sleep"), sleep_idle);
            continue;
        }
        auto [worker_id, task_name] = unpack2(got.get());
        Ref mp = c.global(HOST_ID("multiprocessing"));
        Ref process_cls = S_GET(mp.get(), "Process");
        Ref target = S_GET(self, "_ProcessWrapper");
        Ref proc = call_kw(process_cls.get(), HOST_KWNAMES("target", "args"), target, tuple(worker_id, task_name));
        S_SET(proc.get(), "daemon", Py_True);
        call_method(proc.get(), HOST_ID("start"));
    }
}

}  // namespace sarnovet
