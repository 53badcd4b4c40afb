// Process mode at the program's exit: children that are still running are
// waited for before the host's multiprocessing runs its exit finalizers.
//
// At exit the host first runs the finalizers of exit priority 0 and above
// (they unlink the named semaphores of the gate and of the result queues)
// and only then joins the non-daemon children. A child started by spawn or
// forkserver that has not opened those semaphores yet would then fail while
// it unpickles its arguments, and its task would be lost. Each launch
// therefore registers a finalizer of a higher exit priority that waits for
// its child to end: the host would wait for it anyway, only later.
//
// The finalizer only waits on the child's sentinel; it neither reaps the
// child nor reads its exit code, which stays the waiter's business. It
// follows the process object through a weak reference, so that a child that
// has been collected leaves nothing behind. An interrupt during the wait
// (Ctrl-C) ends the host's exit processing as one during its own join of
// the children does.
#include "korvanth.hpp"

namespace korvanth {

using namespace host;

namespace {

// Above the semaphores' finalizers (0), below the host's own clean-ups that
// end pools and flush queues (10 and up), which an interrupt would skip.
constexpr long kExitPriority = 1;

// The finalizer's body: `wait` is multiprocessing.connection.wait.
Ref wait_for_child(Handle proc_ref, Handle wait) {
    Ref proc = proc_ref();
    if (proc.is_none()) return none();
    // A closed process object (proc.close()) has ended and has no sentinel.
    Ref sentinel = except_(PyExc_ValueError, [&] { return proc.attr(ID("sentinel")); }, [](Caught&) { return Ref(); });
    if (!sentinel) return none();
    Ref sentinels = list();
    append(sentinels, sentinel);
    wait(sentinels);
    return none();
}

}  // namespace

void wait_for_child_at_exit(const Globals& g, Handle proc) {
    // multiprocessing.util.Finalize(proc, <wait for proc>, exitpriority=1),
    // the callee read before its arguments
    Ref mp = import(g, "multiprocessing.util");
    Ref finalize = mp.attr(ID("util")).attr(ID("Finalize"));
    Ref proc_ref = import(g, "weakref").attr(ID("ref"))(proc);
    Ref connection = import(g, "multiprocessing.connection").attr(ID("connection"));
    Ref wait = connection.attr(ID("wait"));
    Ref body = closure<wait_for_child>(proc_ref, wait);
    finalize(KW("exitpriority"), proc, body, integer(kExitPriority));
}

}  // namespace korvanth
