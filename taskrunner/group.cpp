// CLASS_MultiTaskGroup: several runners built, evaluated and started together.
//
// The group adds no scheduling of its own: each operation walks the runners
// in list order and calls the single runner's operation; the first error
// ends the walk.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// Runners of a group that is not made any more are dropped; their watchdogs
// would otherwise report them as hung some seconds later. Failures of this
// clean-up are ignored.
void stop_watchdogs(Handle runners) {
    for (const Ref& runner : iterate(runners))
        ignoring_errors([&] {
            Ref dog = runner.attr(ID("CV_WatchDog"));
            if (!dog.is_none()) dog.call(ID("CUF_Stop"));
        });
}

}  // namespace

Ref group_init(const Globals& g, Handle self, Handle task_list) {
    Ref tasks = list();
    on_error(
        [&] {
            for (const Ref& item : iterate(task_list)) {
                auto [mode, func] = unpack2(item);
                append(tasks, g[ID("CLASS_MultiTask")](mode, func));
            }
        },
        [&] { stop_watchdogs(tasks); });
    self.set_attr(ID("tasks"), tasks);
    return none();
}
constexpr Def group::init =
    method<group_init>("__init__", {"self", "task_list"},
                       NL I8 "task_list = [(mode, func), ...]" NL I8 "mode: ENUM_TASK_MODE 或 cE_TaskM_AutoTune" NL I8
                             "func: 任務函式" NL I8);

Ref group_evaluate_all(const Globals&, Handle self) {
    Ref results = list();
    for (const Ref& runner : iterate(self.attr(ID("tasks")))) {
        runner.call(ID("CUF_EvaluateTask"));
        append(results, runner.attr(ID("CVD_EvalResult")));
    }
    return results;
}
constexpr Def group::evaluate_all = method<group_evaluate_all>("CUF_EvaluateAll", {"self"});

Ref group_start_all(const Globals&, Handle self) {
    for (const Ref& runner : iterate(self.attr(ID("tasks")))) runner.call(ID("CUF_Start"));
    return none();
}
constexpr Def group::start_all = method<group_start_all>("CUF_StartAll", {"self"}, "非阻塞啟動所有任務");

}  // namespace korvanth
