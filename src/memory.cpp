#include "memory.hpp"

#include <cstdio>

#include "errors.hpp"

namespace kelp {

namespace {
thread_local int allocations_until_failure = 0;
}

void fail_allocation_after(int n) noexcept { allocations_until_failure = n; }

[[noreturn]] void throw_size_overflow() {
  throw memory_error("Integer overflow when calculating the amount of memory to allocate");
}

void* detail::allocate_bytes(std::size_t bytes) {
  bool injected = allocations_until_failure > 0 && --allocations_until_failure == 0;
  void* p = injected ? nullptr : std::malloc(bytes);
  if (!p) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "Error allocating %lu bytes", static_cast<unsigned long>(bytes));
    throw memory_error(msg);
  }
  return p;
}

}  // namespace kelp
