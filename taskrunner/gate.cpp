// CLASS_ProcessGate: the process-wide gate admitting one child per
// physical core.
//
// The gate holds only its five attributes: it travels to every child as a
// start argument, where its semaphore and counter are the same
// operating-system objects as in the parent.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// with self.CVI_RunningProc.get_lock():
//     self.CVI_RunningProc.value += 1   (or -= 1)
// the counter read for the lock and again inside, as written.
void add_to_counter(Handle self, bool up) {
    Ref lock = self.attr(ID("CVI_RunningProc")).call(ID("get_lock"));
    with_(lock, [&] {
        Ref counter = self.attr(ID("CVI_RunningProc"));
        Ref value = counter.attr(ID("value"));
        Ref one = integer(1);
        counter.set_attr(ID("value"), up ? iadd(value, one) : isub(value, one));
    });
}

// psutil.cpu_count(logical=...)
Ref cpu_count(const Globals& g, bool logical) { return g[ID("psutil")].call(ID("cpu_count"), KW("logical"), logical); }

}  // namespace

Ref gate_init(const Globals& g, Handle self, Handle on_over_limit) {
    self.set_attr(ID("CVI_CPU_Physical"), cpu_count(g, false));
    self.set_attr(ID("CVI_CPU_Logical"), cpu_count(g, true));
    Ref semaphore = g[ID("multiprocessing")].attr(ID("Semaphore"));
    self.set_attr(ID("CV_Semaphore"), semaphore(self.attr(ID("CVI_CPU_Physical"))));
    self.set_attr(ID("CVF_OnOverLimit"), on_over_limit);
    self.set_attr(ID("CVI_RunningProc"), g[ID("multiprocessing")].call(ID("Value"), str("i"), integer(0)));
    return none();
}
constexpr Def gate::init = method<gate_init>("__init__", {"self", {"Pmf_OnOverLimit", None}});

Ref gate_instance(const Globals& g, Handle cls, Handle on_over_limit) {
    if (cls.attr(ID("_instance")).is_none()) {
        Ref gate = g[ID("CLASS_ProcessGate")](on_over_limit);
        // Building the gate lets other threads run; the first gate stored wins.
        if (cls.attr(ID("_instance")).is_none()) cls.set_attr(ID("_instance"), gate);
    }
    return cls.attr(ID("_instance"));
}
constexpr Def gate::instance = classmethod<gate_instance>("CUF_Instance", {"cls", {"Pmf_OnOverLimit", None}});

Ref gate_cpu_info(const Globals& g) {
    Ref physical = cpu_count(g, false);
    Ref logical = cpu_count(g, true);
    Ref info = dict();
    info.set_item(ID("cpu_physical"), physical);
    info.set_item(ID("cpu_logical"), logical);
    return info;
}
constexpr Def gate::cpu_info = staticmethod<gate_cpu_info>("CUF_GetCPUInfo", {}, NL I8 "列出目前電腦 CPU 核心數" NL I8);

Ref gate_acquire(const Globals&, Handle self) {
    Ref acquired = self.attr(ID("CV_Semaphore")).call(ID("acquire"), KW("block"), false);
    if (!acquired.truthy()) {
        // if self.CVF_OnOverLimit:
        //     self.CVF_OnOverLimit(self.CVI_CPU_Physical, self.CVI_RunningProc.value)
        if (self.attr(ID("CVF_OnOverLimit")).truthy()) {
            Ref on_over_limit = self.attr(ID("CVF_OnOverLimit"));
            Ref cpu_max = self.attr(ID("CVI_CPU_Physical"));
            on_over_limit(cpu_max, self.attr(ID("CVI_RunningProc")).attr(ID("value")));
        }
        self.attr(ID("CV_Semaphore")).call(ID("acquire"));
    }
    add_to_counter(self, true);
    return none();
}
constexpr Def gate::acquire =
    method<gate_acquire>("CUF_Acquire", {"self"}, NL I8 "嘗試取得 Process 執行權" NL I8 "若超過核心數，觸發事件" NL I8);

Ref gate_release(const Globals&, Handle self) {
    add_to_counter(self, false);
    self.attr(ID("CV_Semaphore")).call(ID("release"));
    return none();
}
constexpr Def gate::release = method<gate_release>("CUF_Release", {"self"});

}  // namespace korvanth
