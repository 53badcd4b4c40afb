// CLASS_WatchDog: a heartbeat monitor with a daemon polling thread, and the
// runner's watchdog callback.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

Ref watchdog_init(const Globals& g, Handle self, Handle timeout, Handle on_dead) {
    self.set_attr(ID("CVI_Timeout"), timeout);
    self.set_attr(ID("CVF_OnDead"), on_dead);
    self.set_attr(ID("CVT_LastBeat"), g[ID("time")].call(ID("time")));
    self.set_attr(ID("_stop"), boolean(false));
    // The thread is not stored: the watchdog travels with its runner into
    // child processes and must hold only picklable attributes.
    Ref thread = g[ID("threading")].attr(ID("Thread"))(KW("target", "daemon"), self.attr(ID("_run")), true);
    thread.call(ID("start"));
    return none();
}
constexpr Def watchdog::init = method<watchdog_init>("__init__", {"self", "Pmi_Timeout", "Pmf_OnDead"});

Ref watchdog_beat(const Globals& g, Handle self) {
    self.set_attr(ID("CVT_LastBeat"), g[ID("time")].call(ID("time")));
    return none();
}
constexpr Def watchdog::beat = method<watchdog_beat>("CUF_Beat", {"self"});

Ref watchdog_stop(const Globals&, Handle self) {
    self.set_attr(ID("_stop"), boolean(true));
    return none();
}
constexpr Def watchdog::stop = method<watchdog_stop>("CUF_Stop", {"self"});

// Checks at once and then every half second; calls the callback once when
// the silence exceeds the time-out, and ends.
Ref watchdog_run(const Globals& g, Handle self) {
    Ref pause = flt(0.5);
    while (!self.attr(ID("_stop")).truthy()) {
        // time.time() - self.CVT_LastBeat > self.CVI_Timeout, left to right
        Ref now = g[ID("time")].call(ID("time"));
        Ref silence = now - self.attr(ID("CVT_LastBeat"));
        if (silence > self.attr(ID("CVI_Timeout"))) {
            self.attr(ID("CVF_OnDead"))();
            break;
        }
        g[ID("time")].call(ID("sleep"), pause);
    }
    return none();
}
constexpr Def watchdog::run = method<watchdog_run>("_run", {"self"});

Ref runner_on_dead(const Globals& g, Handle) {
    print(g, str("[WatchDog] 任務死當，已通知主程式"));
    return none();
}
constexpr Def multitask::on_dead = method<runner_on_dead>("_CUF_OnDead", {"self"});

}  // namespace korvanth
