// Array views of the numerical core: a pointer with its extents and strides, indexed from 1
// like the Fortran-style formulas they serve.  A view owns nothing; the owner keeps the storage
// alive for as long as the view is used.  Bounds are asserted in debug builds only: the hot
// loops of the model index through these.
#pragma once

#include <cassert>
#include <cstdint>

namespace kelp {

using index = std::int64_t;

// Rank-1 view: element i (1 .. size) lives at data[(i - 1) * stride].
template <class T>
class vec {
 public:
  constexpr vec() = default;
  /// \param data first element; \param size number of elements; \param stride distance
  /// between neighbours, in elements
  constexpr vec(T* data, index size, index stride = 1) : data_(data), size_(size), stride_(stride) {
    assert(size >= 0);
  }
  // A view of T converts to a read-only view of T.
  template <class U>
  constexpr vec(const vec<U>& other) : vec(other.data(), other.size(), other.stride()) {}

  constexpr T& operator()(index i) const {
    assert(i >= 1 && i <= size_);
    return data_[(i - 1) * stride_];
  }
  /// Elements lo .. hi (1-based, inclusive) as a view of their own, again indexed from 1.
  constexpr vec sub(index lo, index hi) const {
    assert(lo >= 1 && hi >= lo - 1 && hi <= size_);
    return vec(data_ + (lo - 1) * stride_, hi - lo + 1, stride_);
  }
  constexpr T* data() const { return data_; }
  constexpr index size() const { return size_; }
  constexpr index stride() const { return stride_; }
  constexpr bool is_set() const { return data_ != nullptr || size_ == 0; }

 private:
  T* data_ = nullptr;
  index size_ = 0;
  index stride_ = 1;
};

// Rank-2 view, first index fastest when row_stride is 1: element (i, j) lives at
// data[(i - 1) * row_stride + (j - 1) * col_stride].
template <class T>
class mat {
 public:
  constexpr mat() = default;
  /// \param rows, cols extents; \param col_stride elements from one column to the next
  /// (the leading dimension); \param row_stride elements from one row to the next
  constexpr mat(T* data, index rows, index cols, index col_stride, index row_stride = 1)
      : data_(data), rows_(rows), cols_(cols), col_stride_(col_stride), row_stride_(row_stride) {
    assert(rows >= 0 && cols >= 0);
  }
  template <class U>
  constexpr mat(const mat<U>& o) : mat(o.data(), o.rows(), o.cols(), o.col_stride(), o.row_stride()) {}

  constexpr T& operator()(index i, index j) const {
    assert(i >= 1 && i <= rows_ && j >= 1 && j <= cols_);
    return data_[(i - 1) * row_stride_ + (j - 1) * col_stride_];
  }
  constexpr T* data() const { return data_; }
  constexpr index rows() const { return rows_; }
  constexpr index cols() const { return cols_; }
  constexpr index col_stride() const { return col_stride_; }
  constexpr index row_stride() const { return row_stride_; }

 private:
  T* data_ = nullptr;
  index rows_ = 0, cols_ = 0, col_stride_ = 0, row_stride_ = 1;
};

// Rank-3 column-major view (first index fastest), as the irradiance table is laid out.
template <class T>
class cube {
 public:
  constexpr cube() = default;
  constexpr cube(T* data, index n1, index n2, index n3) : data_(data), n1_(n1), n2_(n2), n3_(n3) {
    assert(n1 >= 0 && n2 >= 0 && n3 >= 0);
  }
  template <class U>
  constexpr cube(const cube<U>& o) : cube(o.data(), o.extent(1), o.extent(2), o.extent(3)) {}

  constexpr T& operator()(index i, index j, index k) const {
    assert(i >= 1 && i <= n1_ && j >= 1 && j <= n2_ && k >= 1 && k <= n3_);
    return data_[(i - 1) + n1_ * ((j - 1) + n2_ * (k - 1))];
  }
  /// The plane (:, :, k).
  constexpr mat<T> plane(index k) const {
    assert(k >= 1 && k <= n3_);
    return mat<T>(data_ + n1_ * n2_ * (k - 1), n1_, n2_, n1_);
  }
  constexpr T* data() const { return data_; }
  constexpr index extent(int dim) const { return dim == 1 ? n1_ : dim == 2 ? n2_ : n3_; }

 private:
  T* data_ = nullptr;
  index n1_ = 0, n2_ = 0, n3_ = 0;
};

}  // namespace kelp
