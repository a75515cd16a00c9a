// The per-call context inside the core (its public part: kelp/api/calls.hpp).  The lowest
// layer: the integrator's message routine, the thread pool and the fit all read it, and it
// reads none of them.
#pragma once

#include "kelp/api/calls.hpp"

namespace kelp {

/// One residual evaluation on this thread: counted in the context's counter, if any.
void count_evaluation() noexcept;

}  // namespace kelp
