// A count of the fit's residual evaluations, for a caller that shows how a long fit is going.
// Like the message sink, one counter may be shared by the threads that work for one call and
// read from any other thread while they run.
#pragma once

#include <atomic>
#include <cstdint>

#include "api.hpp"

namespace chem {

struct evaluation_counter {
  evaluation_counter() = default;
  evaluation_counter(const evaluation_counter&) = delete;
  evaluation_counter& operator=(const evaluation_counter&) = delete;

  std::atomic<std::uint64_t> count{0};  // calls of fcn, each one evaluation of every scan
};

/// Counts this thread's residual evaluations in `counter` while it lives; scopes nest and
/// each restores the counter it found.
class KELP_API counting_scope {
 public:
  explicit counting_scope(evaluation_counter& counter) noexcept;
  ~counting_scope();
  counting_scope(const counting_scope&) = delete;
  counting_scope& operator=(const counting_scope&) = delete;

 private:
  evaluation_counter* previous_;
};

/// This thread's counter; nullptr while none is entered.
KELP_API evaluation_counter* current_counter() noexcept;

/// One residual evaluation on this thread: counted when a counting_scope is entered.
void count_evaluation() noexcept;

}  // namespace chem
