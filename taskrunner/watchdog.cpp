// CLASS_WatchDog: a heartbeat monitor with a daemon polling thread, and the
// runner's watchdog callback.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

Ref watchdog_init(Call& c) {
    static const Signature sig{"CLASS_WatchDog.__init__", {"Pmi_Timeout", "Pmf_OnDead"}, 2};
    PyObject* a[2];
    c.parse(sig, a);
    PyObject* self = c.self;
    K_SET(self, "CVI_Timeout", a[0]);
    K_SET(self, "CVF_OnDead", a[1]);
    Ref time = c.global(HOST_ID("time"));
    K_SET(self, "CVT_LastBeat", call_method(time.get(), HOST_ID("time")));
    K_SET(self, "_stop", Py_False);
    // The thread is not stored: the watchdog travels with its runner into
    // child processes and must hold only picklable attributes.
    Ref threading = c.global(HOST_ID("threading"));
    Ref Thread = K_GET(threading.get(), "Thread");
    Ref t = call_kw(Thread.get(), HOST_KWNAMES("target", "daemon"), K_GET(self, "_run"), boolean(true));
    call_method(t.get(), HOST_ID("start"));
    return none();
}

Ref watchdog_beat(Call& c) {
    c.no_args("CLASS_WatchDog.CUF_Beat");
    Ref time = c.global(HOST_ID("time"));
    K_SET(c.self, "CVT_LastBeat", call_method(time.get(), HOST_ID("time")));
    return none();
}

Ref watchdog_stop(Call& c) {
    c.no_args("CLASS_WatchDog.CUF_Stop");
    K_SET(c.self, "_stop", Py_True);
    return none();
}

Ref watchdog_run(Call& c) {
    c.no_args("CLASS_WatchDog._run");
    PyObject* self = c.self;
    Ref half = flt(0.5);
    for (;;) {
        if (truth(K_GET(self, "_stop").get())) break;
        Ref time = c.global(HOST_ID("time"));
        Ref now = call_method(time.get(), HOST_ID("time"));
        Ref silence = check(PyNumber_Subtract(now.get(), K_GET(self, "CVT_LastBeat").get()));
        Ref over = check(PyObject_RichCompare(silence.get(), K_GET(self, "CVI_Timeout").get(), Py_GT));
        if (truth(over.get())) {
            Ref cb = K_GET(self, "CVF_OnDead");
            call(cb.get());
            break;
        }
        call_method(c.global(HOST_ID("time")).get(), HOST_ID("sleep"), half);
    }
    return none();
}

Ref runner_on_dead(Call& c) {
    c.no_args("CLASS_MultiTask._CUF_OnDead");
    print(str("[WatchDog] 任務死當，已通知主程式"));
    return none();
}

}  // namespace korvanth
