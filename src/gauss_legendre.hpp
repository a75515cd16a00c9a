// Gauss-Legendre quadrature on [0, 1]: the radial rule of the open-aperture model, where the
// beam's energy is spread evenly over the local fraction of the peak fluence.
#pragma once

#include "view.hpp"

namespace quadrature {

/// nodes(1 .. n) in increasing order and weights(1 .. n), summing to 1, of the n-point
/// Gauss-Legendre rule on [0, 1]: exact for polynomials of degree up to 2n - 1.  Both views
/// hold n = nodes.size() >= 1 elements; throws kelp::invalid_argument otherwise.
void gauss_legendre(const kelp::vec<double>& nodes, const kelp::vec<double>& weights);

}  // namespace quadrature
