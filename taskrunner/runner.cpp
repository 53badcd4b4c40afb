// CLASS_MultiTask core: constructor, start dispatch, the thread and async
// paths, and the set-up for frozen programs.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

Ref runner_init(const Globals& g, Handle self, Handle mode, Handle func, Handle timeout, Handle enable_watchdog,
                Handle on_started, Handle on_finished, Handle on_over_limit) {
    self.set_attr(ID("CVE_TaskMode"), mode);
    self.set_attr(ID("CVF_TaskFunc"), func);
    self.set_attr(ID("CVI_Timeout"), timeout);
    self.set_attr(ID("CVD_EvalResult"), dict());
    self.set_attr(ID("CVE_OnProcessStarted"), on_started);
    self.set_attr(ID("CVE_OnProcessFinished"), on_finished);
    self.set_attr(ID("CVE_OnProcessOverLimit"), on_over_limit);
    self.set_attr(ID("CV_WatchDog"), none());
    if (enable_watchdog.truthy()) {
        Ref watchdog_class = g[ID("CLASS_WatchDog")];
        self.set_attr(ID("CV_WatchDog"), watchdog_class(timeout, self.attr(ID("_CUF_OnDead"))));
    }
    return none();
}
constexpr Def multitask::init = host::method<runner_init>("__init__", {"self",
                                                                       "PmE_TaskMode",
                                                                       "PmF_TaskMainFunc",
                                                                       {"Pmi_Timeout", 5},
                                                                       {"Pmb_EnableWatchDog", true},
                                                                       {"PmF_Event_OnProcessStarted", host::None},
                                                                       {"PmF_Event_OnProcessFinished", host::None},
                                                                       {"PmF_Event_OnProcessOverLimit", host::None}});

// ------------------------------------------------------- frozen programs

// The class is read by its global name for the test and again for the store.
Ref runner_init_for_pyinstaller(const Globals& g) {
    if (g[ID("CLASS_MultiTask")].attr(ID("_PyInstaller_Inited")).truthy()) return none();
    import(g, "multiprocessing").call(ID("freeze_support"));
    g[ID("CLASS_MultiTask")].set_attr(ID("_PyInstaller_Inited"), boolean(true));
    return none();
}
constexpr Def multitask::init_for_pyinstaller = host::staticmethod<runner_init_for_pyinstaller>(
    "CUF_Init_For_PyInstaller", {}, NL I8 "必須由 main 主程式呼叫" NL I8);

// ----------------------------------------------------------------- start

Ref runner_start(const Globals& g, Handle self) {
    // ENUM_TASK_MODE is read as a global at each comparison.
    auto member = [&](PyObject* name) { return g[ID("ENUM_TASK_MODE")].attr(name); };
    Ref mode = self.attr(ID("CVE_TaskMode"));
    if (mode == member(ID("cE_TaskM_AutoTune"))) mode = self.call(ID("CUF_GetBestMode"));
    if (mode == member(ID("cE_TaskM_TThread")))
        self.call(ID("_CUF_Run_Thread"));
    else if (mode == member(ID("cE_TaskM_AsyncThread")))
        self.call(ID("_CUF_Run_Async"));
    else if (mode == member(ID("cE_TaskM_TProcess")))
        self.call(ID("_CUF_Run_Process"));
    return none();
}
constexpr Def multitask::start = host::method<runner_start>("CUF_Start", {"self"});

// ------------------------------------------------- thread and async paths

namespace {

// self.CVF_TaskFunc(), the attribute read when it runs (in the new thread).
Ref call_task_function(Handle self) { return self.attr(ID("CVF_TaskFunc"))(); }

// Thread target of an async start: asyncio.run() of a coroutine that
// awaits self.CVF_TaskFunc() once, on a new event loop in this thread.
Ref run_on_new_loop(Handle module, Handle self) {
    Ref coro = await_once(closure<call_task_function>(self));
    return Globals(module.ptr())[ID("asyncio")].call(ID("run"), coro);
}

// threading.Thread(target=target, daemon=True).start()
void start_daemon_thread(const Globals& g, Handle target) {
    Ref thread = g[ID("threading")].attr(ID("Thread"))(KW("target", "daemon"), target, true);
    thread.call(ID("start"));
}

}  // namespace

Ref runner_run_thread(const Globals& g, Handle self) {
    start_daemon_thread(g, closure<call_task_function>(self));
    return none();
}
constexpr Def multitask::run_thread = host::method<runner_run_thread>("_CUF_Run_Thread", {"self"});

Ref runner_run_async(const Globals& g, Handle self) {
    start_daemon_thread(g, closure<run_on_new_loop>(g.module(), self));
    return none();
}
constexpr Def multitask::run_async = host::method<runner_run_async>("_CUF_Run_Async", {"self"});

}  // namespace korvanth
