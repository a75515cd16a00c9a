// Heap arrays of the core.  Every allocation goes through allocate(), so that a failure is
// always the same memory_error (the host process keeps running) and so that tests can make
// the n-th allocation on a thread fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include "view.hpp"

namespace kelp {

namespace detail {
void* allocate_bytes(std::size_t bytes);  // throws memory_error
struct free_deleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
}  // namespace detail

// An owned, uninitialised array of trivially copyable T.
template <class T>
class buffer {
 public:
  buffer() = default;
  /// \param count number of elements; zero or less gives an empty (but allocated) buffer
  explicit buffer(index count) : size_(count > 0 ? count : 0), allocated_(true) {
    if (size_ > 0) {
      if (static_cast<std::uint64_t>(size_) > SIZE_MAX / sizeof(T)) throw_overflow();
      data_.reset(static_cast<T*>(detail::allocate_bytes(static_cast<std::size_t>(size_) * sizeof(T))));
    }
  }
  buffer(buffer&& o) noexcept : data_(std::move(o.data_)), size_(o.size_), allocated_(o.allocated_) { o.reset(); }
  buffer& operator=(buffer&& o) noexcept {
    data_ = std::move(o.data_);
    size_ = o.size_;
    allocated_ = o.allocated_;
    o.reset();
    return *this;
  }

  T* data() const { return data_.get(); }
  index size() const { return size_; }
  vec<T> view() const { return vec<T>(data_.get(), size_); }
  T& operator[](index i) const { return data_[i]; }
  /// Whether the buffer was allocated (an empty allocation counts) and not released since.
  explicit operator bool() const { return allocated_; }
  void reset() noexcept {
    data_.reset();
    size_ = 0;
    allocated_ = false;
  }

 private:
  [[noreturn]] static void throw_overflow();
  std::unique_ptr<T[], detail::free_deleter> data_;
  index size_ = 0;
  bool allocated_ = false;
};

[[noreturn]] void throw_size_overflow();
template <class T>
void buffer<T>::throw_overflow() {
  throw_size_overflow();
}

// Test hook: the n-th allocation from now on this thread (1 = the next one) fails as if the
// system had no memory left.  0 switches the injection off.
void fail_allocation_after(int n) noexcept;

}  // namespace kelp
