// Module initialisation of Sarnovet: the host modules it works with, then
// the coordinated runner class.
#include "sarnovet.hpp"

namespace sarnovet {
namespace {

using namespace host;

// The class body, in its order.
constexpr const Def* runner_members[] = {&adv::init,
                                         &adv::get_conn,
                                         &adv::ensure_table,
                                         &adv::has_pending_or_running,
                                         &adv::register_task,
                                         &adv::get_task_count,
                                         &adv::try_fetch_task,
                                         &adv::process_wrapper,
                                         &adv::run};

Ref exec_body(Handle module) {
    for (const char* name : {"pymysql", "multiprocessing", "socket", "time", "os", "uuid"}) import_into(module, name);
    Ref cls = make_class(module, "CLASS_MultiTaskAdv", nullptr, runner_members);
    // How often a dispatcher refreshes its host's heartbeat, and how old a
    // heartbeat (on the server's clock) may grow before any dispatcher
    // settles that host's RUNNING rows as lost. Read from the instance when
    // used, so a host may set them on a subclass, the class or an instance.
    cls.set_attr(ID("CVI_HeartbeatSeconds"), integer(kHeartbeatSeconds));
    cls.set_attr(ID("CVI_LeaseSeconds"), integer(kLeaseSeconds));
    return none();
}

}  // namespace
}  // namespace sarnovet

HOST_MODULE(Sarnovet, sarnovet::exec_body)
