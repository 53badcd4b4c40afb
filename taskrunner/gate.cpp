// CLASS_ProcessGate: the process-wide gate admitting one child per
// physical core.
#include "korvanth.hpp"

namespace korvanth {

Ref gate_init(Call&) { not_built("CLASS_ProcessGate is not built yet"); }
Ref gate_instance(Call&) { not_built("CLASS_ProcessGate.CUF_Instance is not built yet"); }
Ref gate_cpu_info(Call&) { not_built("CLASS_ProcessGate.CUF_GetCPUInfo is not built yet"); }
Ref gate_acquire(Call&) { not_built("CLASS_ProcessGate.CUF_Acquire is not built yet"); }
Ref gate_release(Call&) { not_built("CLASS_ProcessGate.CUF_Release is not built yet"); }

}  // namespace korvanth
