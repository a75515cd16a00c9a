#include "chem/evaluations.hpp"

namespace chem {

namespace {
thread_local evaluation_counter* current = nullptr;
}  // namespace

counting_scope::counting_scope(evaluation_counter& counter) noexcept : previous_(current) { current = &counter; }

counting_scope::~counting_scope() { current = previous_; }

evaluation_counter* current_counter() noexcept { return current; }

void count_evaluation() noexcept {
  if (evaluation_counter* c = current) c->count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace chem
