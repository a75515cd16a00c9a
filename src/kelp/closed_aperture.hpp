// The resolved model behind either detector: the open aperture (all the transmitted energy,
// open_aperture.hpp), a closed aperture in the far field (far_field.hpp), or the closed over
// the open one.  One evaluation integrates each column once and gives all three.
#pragma once

#include <cstdint>
#include <vector>

#include "chem/phase.hpp"
#include "kelp/open_aperture.hpp"

namespace kelp {

// detector, aperture_options and resolved_curves are declared in kelp/api/model.hpp.

}  // namespace kelp
