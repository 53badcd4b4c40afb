// Process mode: the launch, the child entry, the waiter and the over-limit
// handler.
#include "korvanth.hpp"

namespace korvanth {

Ref process_entry(Call&) { not_built("_Process_Entry is not built yet"); }
Ref runner_run_process(Call&) { not_built("process mode is not built yet"); }
Ref runner_wait_process_exit(Call&) { not_built("process mode is not built yet"); }
Ref runner_on_over_limit(Call&) { not_built("process mode is not built yet"); }

}  // namespace korvanth
