#include "kelp/far_field.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "errors.hpp"
#include "gauss_legendre.hpp"
#include "laser.hpp"

namespace kelp {

double bessel_j0(const double& z) {
  const double a = std::abs(z);
  if (a < 14.0) {
    // sum (-a^2/4)^k / (k!)^2: the largest term at a = 14 is 3e4, so about 1e-11 is lost.
    const double t = -0.25 * (a * a);
    double term = 1.0, sum = 1.0;
    for (double k = 1; std::abs(term) > 1e-17 * std::max(std::abs(sum), 1.0) && k < 80; ++k) {
      term *= t / (k * k);
      sum += term;
    }
    return sum;
  }
  // J0 = sqrt(2/(pi a)) (P cos(a - pi/4) - Q sin(a - pi/4)), P = 1 - c2 + c4 - ..,
  // Q = -c1 + c3 - .., c_k = prod_{j <= k} (2j - 1)^2 / (k! (8a)^k), summed up to the
  // smallest term (about e^(-2a), 1e-12 at a = 14).
  double p = 1.0, q = 0.0, term = 1.0;
  for (int k = 1; k < 100; ++k) {
    const double next = term * ((2.0 * k - 1.0) * (2.0 * k - 1.0)) / (8.0 * k * a);
    if (next >= term) break;
    term = next;
    switch (k % 4) {
      case 1: q -= term; break;
      case 2: p -= term; break;
      case 3: q += term; break;
      default: p += term; break;
    }
    if (term < 1e-17) break;
  }
  const double chi = a - 0.25 * laser::pi;
  return std::sqrt(2.0 / (laser::pi * a)) * (p * std::cos(chi) - q * std::sin(chi));
}

far_field::far_field(const vec<const double>& column_nodes, const double& aperture) {
  if (!(aperture > 0 && aperture < 1))
    throw invalid_argument("closed aperture: aperture_S: expected a linear transmittance between 0 and 1, got " +
                           std::to_string(aperture));
  const index n = column_nodes.size();
  nodes_ = buffer<double>(n);
  barycentric_ = buffer<double>(n);
  for (index j = 0; j < n; ++j) {
    nodes_[j] = column_nodes(j + 1);
    // 1 / prod (y_j - y_k), each factor times 4 (the capacity of [0, 1]) so that a hundred
    // nodes neither overflow nor underflow; a common factor cancels in the barycentric form.
    double product = 1.0;
    for (index k = 0; k < n; ++k)
      if (k != j) product *= 4.0 * (column_nodes(j + 1) - column_nodes(k + 1));
    barycentric_[j] = 1.0 / product;
  }
  rho2_ = buffer<double>(aperture_nodes);
  rho_weights_ = buffer<double>(aperture_nodes);
  quadrature::gauss_legendre(rho2_.view(), rho_weights_.view());
  const double rho2_a = -0.5 * std::log1p(-aperture);
  for (index m = 0; m < aperture_nodes; ++m) {
    rho2_[m] *= rho2_a;
    rho_weights_[m] *= rho2_a;
  }
}

index far_field::radial_points(const double& x) {
  const double wanted = 16.0 + 4.0 * std::abs(x);
  if (!(wanted < 512.0)) return 512;  // NaN too
  return std::max<index>(32, 8 * static_cast<index>(std::ceil(wanted / 8.0)));
}

double far_field::transmittance(const double& x, const double* transmittance, const double* phase,
                                const vec<const double>& pulse, const double& linear) const {
  return this->transmittance(x, transmittance, phase, pulse, linear, radial_points(x));
}

namespace {

// A column's transmittance and phase interpolated at one y: the barycentric weights b_j of y,
// their sum, and the node y equals, if any (the weights are then not finite).
struct interpolation {
  double weight_sum = 0;
  index hit = -1;
  double value(const double* b, const double* values, index n, index stride) const {
    if (hit >= 0) return values[hit * stride];
    double sum = 0.0;
    for (index j = 0; j < n; ++j) sum += b[j] * values[j * stride];
    return sum / weight_sum;
  }
};

}  // namespace

double far_field::transmittance(const double& x, const double* transmittance, const double* phase,
                                const vec<const double>& pulse, const double& linear, index points) const {
  const index n_c = nodes_.size(), n_t = pulse.size(), n_u = points, n_r = aperture_nodes;
  // The rule in u, and at each node (and at y = 0, the last row) the interpolation weights.
  buffer<double> u(n_u), w(n_u), b((n_u + 1) * n_c);
  quadrature::gauss_legendre(u.view(), w.view());
  std::vector<interpolation> at(static_cast<std::size_t>(n_u + 1));
  for (index i = 0; i <= n_u; ++i) {
    if (i < n_u) {
      u[i] *= radius;
      w[i] *= radius;
    }
    const double y = i < n_u ? std::exp(-2.0 * (u[i] * u[i])) : 0.0;
    interpolation& p = at[static_cast<std::size_t>(i)];
    for (index j = 0; j < n_c; ++j) {
      if (y == nodes_[j]) p.hit = j;
      b[i * n_c + j] = barycentric_[j] / (y - nodes_[j]);
      p.weight_sum += b[i * n_c + j];
    }
  }
  // The transform's kernel: w u exp(-u^2) exp(-i x u^2) J0(2 sqrt(1 + x^2) u rho) at each
  // aperture node (rows) and u node; and the linear beam's far field there.
  buffer<double> kernel_re(n_r * n_u), kernel_im(n_r * n_u), linear_re(n_r), linear_im(n_r);
  const double spread = 2.0 * std::sqrt(1.0 + x * x);
  for (index m = 0; m < n_r; ++m) {
    const double rho = std::sqrt(rho2_[m]);
    for (index i = 0; i < n_u; ++i) {
      const double u2 = u[i] * u[i];
      const double amplitude = w[i] * u[i] * std::exp(-u2) * bessel_j0(spread * u[i] * rho);
      kernel_re[m * n_u + i] = amplitude * std::cos(x * u2);
      kernel_im[m * n_u + i] = -(amplitude * std::sin(x * u2));
    }
    // exp(-(1 - i x) rho^2) / (2 (1 + i x)) = exp(-rho^2) e^(i x rho^2) (1 - i x) / (2 (1 + x^2))
    const double scale = std::exp(-rho2_[m]) / (2.0 * (1.0 + x * x));
    const double c = std::cos(x * rho2_[m]), s = std::sin(x * rho2_[m]);
    linear_re[m] = scale * (c + x * s);
    linear_im[m] = scale * (s - x * c);
  }

  // Energy through the aperture of one time sample from the columns' values there.
  buffer<double> g_re(n_u), g_im(n_u);
  const auto energy = [&](const double* t, const double* phi, index stride) {
    const auto field = [&](index i, double& re, double& im) {
      const interpolation& p = at[static_cast<std::size_t>(i)];
      const double* bi = b.data() + i * n_c;
      const double amplitude = std::sqrt(std::max(p.value(bi, t, n_c, stride), 0.0)), angle = p.value(bi, phi, n_c, stride);
      re = amplitude * std::cos(angle);
      im = -(amplitude * std::sin(angle));
    };
    double f0_re, f0_im;
    field(n_u, f0_re, f0_im);
    for (index i = 0; i < n_u; ++i) {
      field(i, g_re[i], g_im[i]);
      g_re[i] -= f0_re;
      g_im[i] -= f0_im;
    }
    double sum = 0.0;
    for (index m = 0; m < n_r; ++m) {
      double re = f0_re * linear_re[m] - f0_im * linear_im[m], im = f0_re * linear_im[m] + f0_im * linear_re[m];
      const double* k_re = kernel_re.data() + m * n_u;
      const double* k_im = kernel_im.data() + m * n_u;
      for (index i = 0; i < n_u; ++i) {
        re += k_re[i] * g_re[i] - k_im[i] * g_im[i];
        im += k_re[i] * g_im[i] + k_im[i] * g_re[i];
      }
      sum += rho_weights_[m] * (re * re + im * im);
    }
    return sum;
  };

  // The linear beam: every column transmitting 1 with no phase, through the same arithmetic.
  buffer<double> ones(n_c), zeros(n_c);
  for (index j = 0; j < n_c; ++j) {
    ones[j] = 1.0;
    zeros[j] = 0.0;
  }
  const double reference = energy(ones.data(), zeros.data(), 1);
  double through = 0.0, through_linear = 0.0;
  for (index k = 0; k < n_t; ++k) {
    through += pulse(k + 1) * energy(transmittance + k, phase + k, n_t);
    through_linear += pulse(k + 1) * reference;
  }
  return through / (linear * through_linear);
}

}  // namespace kelp
