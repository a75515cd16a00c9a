#include "integrator/messages.hpp"

#include "integrator/sink.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace odepack {

namespace {

// Fortran's I10: right-justified in 10 columns, ten asterisks when the value needs more.
void edit_i10(char (&out)[11], f_int v) {
  if (std::snprintf(out, sizeof out, "%10d", v) > 10) std::memset(out, '*', 10), out[10] = '\0';
}

// Fortran's D21.13 as gfortran writes it: 0.ddddddddddddd with 13 digits and the exponent as
// D+ee, or +eee without the letter when it needs three digits; Infinity and NaN
// right-justified.  The 13 digits are the correctly rounded ones printf gives for %.12e.
void edit_d21_13(char (&out)[22], double v) {
  char body[32];
  if (std::isnan(v)) {
    std::snprintf(body, sizeof body, "NaN");
  } else if (std::isinf(v)) {
    std::snprintf(body, sizeof body, "%sInfinity", v < 0 ? "-" : "");
  } else {
    char e[32];  // d.dddddddddddde+XX
    std::snprintf(e, sizeof e, "%.12e", std::fabs(v));
    const int exponent = v == 0 ? 0 : static_cast<int>(std::strtol(e + 15, nullptr, 10)) + 1;
    const int magnitude = std::abs(exponent);
    std::snprintf(body, sizeof body, magnitude <= 99 ? "%s0.%c%.12sD%c%02d" : "%s0.%c%.12s%c%03d",
                  std::signbit(v) ? "-" : "", e[0], e + 2, exponent < 0 ? '-' : '+', magnitude);
  }
  // Right-justified; every form above has at most 21 characters.
  const std::size_t n = std::strlen(body), width = sizeof out - 1;
  std::memset(out, ' ', width);
  std::memcpy(out + (n < width ? width - n : 0), body, n < width ? n : width);
  out[width] = '\0';
}

}  // namespace

namespace detail {

std::size_t message_text(char* out, std::size_t capacity, const char* msg, std::size_t msg_len, f_int ni,
                         f_int i1, f_int i2, f_int nr, double r1, double r2) {
  if (capacity == 0) return 0;
  std::size_t used = 0;
  auto append_n = [&](const char* text, std::size_t n) {
    const std::size_t room = capacity - 1 - used;
    if (n > room) n = room;
    std::memcpy(out + used, text, n);
    used += n;
  };
  auto append = [&](const char* text) { append_n(text, std::strlen(text)); };
  // FORMAT(1X,A): the whole of MSG, as long as the caller declared it.
  append(" ");
  append_n(msg, msg_len);
  append("\n");
  char a[11], b[11];
  char x[22], y[22];
  if (ni == 1) {
    edit_i10(a, i1);
    append("      In above message,  I1 ="), append(a), append("\n");
  } else if (ni == 2) {
    edit_i10(a, i1), edit_i10(b, i2);
    append("      In above message,  I1 ="), append(a), append("   I2 ="), append(b), append("\n");
  }
  if (nr == 1) {
    edit_d21_13(x, r1);
    append("      In above message,  R1 ="), append(x), append("\n");
  } else if (nr == 2) {
    edit_d21_13(x, r1), edit_d21_13(y, r2);
    append("      In above,  R1 ="), append(x), append("   R2 ="), append(y), append("\n");
  }
  out[used] = '\0';
  return used;
}

}  // namespace detail

extern "C" void kelp_xerrwd_(const char* msg, const f_int* nmes, const f_int* nerr, const f_int* level,
                             const f_int* ni, const f_int* i1, const f_int* i2, const f_int* nr, const double* r1,
                             const double* r2, std::size_t msg_len) noexcept {
  (void)nmes, (void)nerr, (void)level;
  // DLSODA's messages are at most 60 characters; a message longer than the buffer is cut.
  char text[512];
  const std::size_t n = detail::message_text(text, sizeof text, msg, msg_len, *ni, *i1, *i2, *nr, *r1, *r2);
  write_message(text, n);
}

}  // namespace odepack
