// CLASS_MultiTaskGroup: several runners built, evaluated and started together.
#include "korvanth.hpp"

namespace korvanth {

Ref group_init(Call&) { not_built("CLASS_MultiTaskGroup is not built yet"); }
Ref group_evaluate_all(Call&) { not_built("CUF_EvaluateAll is not built yet"); }
Ref group_start_all(Call&) { not_built("CUF_StartAll is not built yet"); }

}  // namespace korvanth
