// Evenly spaced grids: the time samples across the pulse and the depth points of the sample.
#pragma once

#include <cstdint>

#include "view.hpp"

namespace global {

/// Fills dest(1 .. n) with n values from start towards stop: value k (0-based) is
/// (k * (stop - start)) / (n - 1) + start, so the first is start exactly and the last may
/// differ from stop in its last bits.  One value is start; n <= 0 writes nothing.
/// dest must hold at least n elements.
void linspace(const double& start, const double& stop, const std::int32_t& n, const kelp::vec<double>& dest);

}  // namespace global
