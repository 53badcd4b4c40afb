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

// with counter.get_lock(): counter.value += delta
void add_to_counter(Handle counter, long delta) {
    Ref lock = counter.call(ID("get_lock"));
    with_(lock, [&] { counter.set_attr(ID("value"), counter.attr(ID("value")) + integer(delta)); });
}

// psutil.cpu_count(logical=...)
Ref cpu_count(Handle psutil, bool logical) { return psutil.attr(ID("cpu_count"))(KW("logical"), logical); }

}  // namespace

Ref gate_init(const Globals& g, Handle self, Handle on_over_limit) {
    Ref psutil = g[ID("psutil")];
    self.set_attr(ID("CVI_CPU_Physical"), cpu_count(psutil, false));
    self.set_attr(ID("CVI_CPU_Logical"), cpu_count(psutil, true));
    Ref mp = g[ID("multiprocessing")];
    self.set_attr(ID("CV_Semaphore"), mp.call(ID("Semaphore"), self.attr(ID("CVI_CPU_Physical"))));
    self.set_attr(ID("CVF_OnOverLimit"), on_over_limit);
    self.set_attr(ID("CVI_RunningProc"), mp.call(ID("Value"), str("i"), integer(0)));
    return none();
}

Ref gate_instance(const Globals& g, Handle cls, Handle on_over_limit) {
    if (cls.attr(ID("_instance")).is_none()) {
        Ref gate = g[ID("CLASS_ProcessGate")](on_over_limit);
        // Building the gate lets other threads run; the first gate stored wins.
        if (cls.attr(ID("_instance")).is_none()) cls.set_attr(ID("_instance"), gate);
    }
    return cls.attr(ID("_instance"));
}

Ref gate_cpu_info(const Globals& g) {
    Ref psutil = g[ID("psutil")];
    Ref info = dict();
    info.set_item(ID("cpu_physical"), cpu_count(psutil, false));
    info.set_item(ID("cpu_logical"), cpu_count(psutil, true));
    return info;
}

Ref gate_acquire(const Globals&, Handle self) {
    Ref acquired = self.attr(ID("CV_Semaphore")).call(ID("acquire"), KW("block"), false);
    if (!acquired.truthy()) {
        Ref on_over_limit = self.attr(ID("CVF_OnOverLimit"));
        if (on_over_limit.truthy()) {
            Ref running = self.attr(ID("CVI_RunningProc")).attr(ID("value"));
            on_over_limit(self.attr(ID("CVI_CPU_Physical")), running);
        }
        self.attr(ID("CV_Semaphore")).call(ID("acquire"));
    }
    add_to_counter(self.attr(ID("CVI_RunningProc")), 1);
    return none();
}

Ref gate_release(const Globals&, Handle self) {
    add_to_counter(self.attr(ID("CVI_RunningProc")), -1);
    self.attr(ID("CV_Semaphore")).call(ID("release"));
    return none();
}

}  // namespace korvanth
