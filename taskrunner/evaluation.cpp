// Task evaluation (probe and scores) and the choice of the best mode.
#include "korvanth.hpp"

namespace korvanth {

Ref runner_evaluate(Call&) { not_built("CUF_EvaluateTask is not built yet"); }
Ref runner_best_mode(Call&) { not_built("CUF_GetBestMode is not built yet"); }

}  // namespace korvanth
