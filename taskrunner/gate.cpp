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

// counter.value += delta while holding counter.get_lock() as a context.
void add_to_counter(PyObject* counter, long delta) {
    Ref lock = call_method(counter, HOST_ID("get_lock"));
    call_method(lock.get(), HOST_ID("__enter__"));
    try {
        Ref now = K_GET(counter, "value");
        Ref d = integer(delta);
        K_SET(counter, "value", check(PyNumber_Add(now.get(), d.get())));
    } catch (const PyError&) {
        // Leave the context with the error, as a `with` block does.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        Ref et = Ref::steal(t), ev = Ref::steal(v), etb = Ref::steal(tb);
        call_method(lock.get(), HOST_ID("__exit__"), et, ev, etb ? etb : none());
        PyErr_Restore(et.release(), ev.release(), etb.release());
        throw;
    }
    Ref n = none();
    call_method(lock.get(), HOST_ID("__exit__"), n, n, n);
}

Ref cpu_count(PyObject* psutil, bool logical) {
    Ref f = K_GET(psutil, "cpu_count");
    return call_kw(f.get(), HOST_KWNAMES("logical"), boolean(logical));
}

}  // namespace

Ref gate_init(Call& c) {
    static const Signature sig{"CLASS_ProcessGate.__init__", {"Pmf_OnOverLimit"}, 0};
    PyObject* a[1];
    c.parse(sig, a);
    PyObject* self = c.self;
    Ref psutil = c.global(HOST_ID("psutil"));
    K_SET(self, "CVI_CPU_Physical", cpu_count(psutil.get(), false));
    K_SET(self, "CVI_CPU_Logical", cpu_count(psutil.get(), true));
    Ref mp = c.global(HOST_ID("multiprocessing"));
    K_SET(self, "CV_Semaphore", call_method(mp.get(), HOST_ID("Semaphore"), K_GET(self, "CVI_CPU_Physical")));
    K_SET(self, "CVF_OnOverLimit", a[0] ? a[0] : Py_None);
    K_SET(self, "CVI_RunningProc", call_method(mp.get(), HOST_ID("Value"), str("i"), integer(0)));
    return none();
}

Ref gate_instance(Call& c) {
    static const Signature sig{"CLASS_ProcessGate.CUF_Instance", {"Pmf_OnOverLimit"}, 0};
    PyObject* a[1];
    c.parse(sig, a);
    PyObject* cls = c.self;
    if (K_GET(cls, "_instance").get() == Py_None) {
        Ref gate_cls = c.global(HOST_ID("CLASS_ProcessGate"));
        Ref gate = call(gate_cls.get(), Ref::borrow(a[0] ? a[0] : Py_None));
        // Building the gate lets other threads run; the first gate stored wins.
        if (K_GET(cls, "_instance").get() == Py_None) K_SET(cls, "_instance", gate);
    }
    return K_GET(cls, "_instance");
}

Ref gate_cpu_info(Call& c) {
    c.no_args("CUF_GetCPUInfo", 0);
    Ref psutil = c.global(HOST_ID("psutil"));
    Ref info = check(PyDict_New());
    check_int(PyDict_SetItemString(info.get(), "cpu_physical", cpu_count(psutil.get(), false).get()));
    check_int(PyDict_SetItemString(info.get(), "cpu_logical", cpu_count(psutil.get(), true).get()));
    return info;
}

Ref gate_acquire(Call& c) {
    c.no_args("CLASS_ProcessGate.CUF_Acquire");
    PyObject* self = c.self;
    Ref sem = K_GET(self, "CV_Semaphore");
    Ref acquired = call_method_kw(sem.get(), HOST_ID("acquire"), HOST_KWNAMES("block"), boolean(false));
    if (!truth(acquired.get())) {
        Ref cb = K_GET(self, "CVF_OnOverLimit");
        if (truth(cb.get())) {
            Ref running = K_GET(K_GET(self, "CVI_RunningProc").get(), "value");
            call(cb.get(), K_GET(self, "CVI_CPU_Physical"), running);
        }
        call_method(K_GET(self, "CV_Semaphore").get(), HOST_ID("acquire"));
    }
    add_to_counter(K_GET(self, "CVI_RunningProc").get(), 1);
    return none();
}

Ref gate_release(Call& c) {
    c.no_args("CLASS_ProcessGate.CUF_Release");
    PyObject* self = c.self;
    add_to_counter(K_GET(self, "CVI_RunningProc").get(), -1);
    call_method(K_GET(self, "CV_Semaphore").get(), HOST_ID("release"));
    return none();
}

}  // namespace korvanth
