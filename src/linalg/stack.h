// The matrices of a tensor, and the walk over them that every kernel runs:
// the last two dimensions are the matrix, the leading ones the batch (none
// for a plain matrix). Private to the library: not installed.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zorvane/core/tensor.h"

namespace zorvane::linalg::kernels {

using Extents = std::vector<std::int64_t>;

/// Where the matrices of one operand lie: the first element of the first
/// matrix, the matrix's shape and element strides, and the operand's strides
/// over the batch dimensions (0 along a dimension it is repeated in).
struct Matrices {
  const double* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;
  Extents batch_strides;
};

/// The leading extents of a tensor of two or more dimensions.
inline Extents batch_extents(const Tensor& t) {
  return Extents(t.shape().begin(), t.shape().end() - 2);
}

/// The matrices of a tensor of two or more dimensions.
inline Matrices matrices_of(const Tensor& t) {
  const std::int64_t nd = t.ndim();
  return Matrices{t.data(),         t.shape()[nd - 2],   t.shape()[nd - 1],
                  t.strides()[nd - 2], t.strides()[nd - 1],
                  Extents(t.strides().begin(), t.strides().end() - 2)};
}

/// A vector (a 1-D tensor) as the one n x 1 matrix of a plain operand.
inline Matrices column_of(const Tensor& t) {
  return Matrices{t.data(), t.shape()[0], 1, t.strides()[0], 0, {}};
}

/// The number of matrices in a batch; a count that does not fit cannot be
/// allocated.
inline std::int64_t batch_count(const Extents& extents) {
  if (std::find(extents.begin(), extents.end(), 0) != extents.end()) return 0;
  std::int64_t count = 1;
  for (const std::int64_t extent : extents) {
    if (__builtin_mul_overflow(count, extent, &count)) throw std::bad_alloc();
  }
  return count;
}

/// " (at batch index (3, 1))" for matrix `b` of a batch of `extents`.
inline std::string batch_index_suffix(const Extents& extents, std::int64_t b) {
  Extents index(extents.size());
  for (std::size_t d = extents.size(); d-- > 0;) {
    index[d] = b % extents[d];
    b /= extents[d];
  }
  std::string text = " (at batch index (";
  for (std::size_t d = 0; d < index.size(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(index[d]);
  }
  return text + "))";
}

/// Walks a batch in row-major order and gives, for each of `Operands`
/// operands, the element offset of its matrix b. Dimensions of extent 1
/// are dropped and neighbours that step evenly are merged, so a contiguous
/// stack (or any evenly strided one) advances by one step per matrix.
template <std::size_t Operands>
class BatchWalk {
 public:
  using Offsets = std::array<std::int64_t, Operands>;

  BatchWalk(const Extents& extents, const std::array<const Extents*, Operands>& strides)
      : extents_(extents), count_(batch_count(extents)) {
    for (std::size_t d = 0; d < extents.size(); ++d) {
      if (extents[d] == 1) continue;
      Offsets step{};
      for (std::size_t k = 0; k < Operands; ++k) step[k] = (*strides[k])[d];
      if (!dims_.empty() && merges(dims_.back(), extents[d], step)) {
        dims_.back().extent *= extents[d];
        dims_.back().step = step;
      } else {
        dims_.push_back({extents[d], step});
      }
    }
  }

  /// Calls body(b, offsets) for every matrix b; an error of the body leaves
  /// with the batch index of its matrix appended. A plain matrix (no batch
  /// dimension) fails with the body's message alone. The body is called from
  /// this one place: each copy of an inlined engine may be optimised
  /// differently, and a single matrix must round exactly as its slice of a
  /// batch does.
  template <class Body>
  void run(Body&& body) const {
    std::int64_t b = 0;
    try {
      Extents index(dims_.size(), 0);
      Offsets offsets{};
      for (; b < count_; ++b) {
        body(b, offsets);
        advance(index, offsets);
      }
    } catch (const std::invalid_argument& error) {
      if (extents_.empty()) throw;
      throw std::invalid_argument(error.what() + batch_index_suffix(extents_, b));
    } catch (const std::runtime_error& error) {
      if (extents_.empty()) throw;
      throw std::runtime_error(error.what() + batch_index_suffix(extents_, b));
    }
  }

 private:
  struct Dim {
    std::int64_t extent;
    Offsets step;
  };

  /// True when `outer` (extent `outer_extent` in the original order, before
  /// `inner`) steps exactly over the whole of `inner` for every operand.
  static bool merges(const Dim& outer, std::int64_t inner_extent, const Offsets& inner_step) {
    for (std::size_t k = 0; k < Operands; ++k) {
      std::int64_t span = 0;
      if (__builtin_mul_overflow(inner_step[k], inner_extent, &span) || outer.step[k] != span) {
        return false;
      }
    }
    return true;
  }

  /// Moves `offsets` to the next matrix, the last dimension fastest; a stack
  /// that steps evenly has a single dimension here, a plain matrix none.
  void advance(Extents& index, Offsets& offsets) const {
    for (std::size_t d = dims_.size(); d-- > 0;) {
      for (std::size_t k = 0; k < Operands; ++k) offsets[k] += dims_[d].step[k];
      if (++index[d] < dims_[d].extent) return;
      for (std::size_t k = 0; k < Operands; ++k) offsets[k] -= dims_[d].step[k] * dims_[d].extent;
      index[d] = 0;
    }
  }

  Extents extents_;
  std::int64_t count_;
  std::vector<Dim> dims_;
};

/// Calls body(b, matrix) with the first element of every matrix of `A`.
template <class Body>
void for_each_matrix(const Extents& batch, const Matrices& A, Body&& body) {
  BatchWalk<1>(batch, {&A.batch_strides}).run([&](std::int64_t b, const auto& offsets) {
    body(b, A.data + offsets[0]);
  });
}

}  // namespace zorvane::linalg::kernels
