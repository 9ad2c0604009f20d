// The dense working matrices of the kernels: the choice between fixed-size
// and dynamic-size Eigen types by the order of the matrices, and the copies
// between a batch's matrices and those types. Private to the library: not
// installed.
#pragma once

#include <Eigen/Core>
#include <Eigen/SVD>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "checks.h"
#include "stack.h"
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg::kernels {

/// An order known at compile time (2, 3 or 4), or Eigen::Dynamic.
template <int N>
using Order = std::integral_constant<int, N>;

/// body(Order<N>{}) with every call inside inlined: a small engine left as
/// calls keeps its matrices in memory between them, and the round trips cost
/// several times the arithmetic at these orders. Sanitized builds, which are
/// not timed, keep the calls: there the inlined engines take GCC minutes and
/// gigabytes per source.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZORVANE_SANITIZED_BUILD
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZORVANE_SANITIZED_BUILD
#endif
#endif
#ifdef ZORVANE_SANITIZED_BUILD
#define ZORVANE_FLATTEN
#else
#define ZORVANE_FLATTEN [[gnu::flatten]]
#endif
template <int N, class Body>
ZORVANE_FLATTEN decltype(auto) with_fixed_order(Body& body) {
  return body(Order<N>{});
}

/// Runs body(Order<N>{}) with N the order `n` where n is 2, 3 or 4, and
/// Order<Eigen::Dynamic> for every other n (or a negative n, which callers
/// pass for a non-square shape). Small matrices then run the same engines
/// over fixed-size types: no heap allocation, loops unrolled.
template <class Body>
decltype(auto) with_order(std::int64_t n, Body&& body) {
  switch (n) {
    case 2:
      return with_fixed_order<2>(body);
    case 3:
      return with_fixed_order<3>(body);
    case 4:
      return with_fixed_order<4>(body);
    default:
      return body(Order<Eigen::Dynamic>{});
  }
}

/// The order of a square shape, or -1 (dynamic) for any other.
inline std::int64_t square_order(std::int64_t rows, std::int64_t cols) {
  return rows == cols ? rows : -1;
}

template <int N>
using Square = Eigen::Matrix<double, N, N>;
template <int N>
using Column = Eigen::Matrix<double, N, 1>;
template <int Rows, int Cols>
using RowMajor =
    Eigen::Matrix<double, Rows, Cols, (Cols == 1 && Rows != 1) ? Eigen::ColMajor : Eigen::RowMajor>;

/// A working matrix of `rows` x `cols` (which a fixed dimension must equal);
/// unlike the two-argument constructor, never read as two coefficients.
template <class Dense>
Dense sized(Eigen::Index rows, Eigen::Index cols) {
  Dense m;
  m.resize(rows, cols);
  return m;
}

/// A row-major destination of `rows` x `cols` at `out`, of the fixed shape
/// of Dense where it has one.
template <class Dense>
auto row_major_map(double* out, Eigen::Index rows, Eigen::Index cols) {
  return Eigen::Map<RowMajor<Dense::RowsAtCompileTime, Dense::ColsAtCompileTime>>(out, rows, cols);
}

using RowMajorMap = Eigen::Map<detail::RowMajorMatrix>;
using VectorMap = Eigen::Map<Eigen::VectorXd>;

/// dst = src in square tiles, for a destination and a source of opposite
/// storage orders: copied element by element, one side walks memory a whole
/// row apart, and at large orders nearly every access misses the cache (a
/// 1024 x 1024 copy took 4.3 ms that way and 0.9 ms in tiles). The values
/// copied, and so every result, are the same.
template <class Dst, class Src>
void copy_in_tiles(Dst&& dst, const Src& src) {
  constexpr Eigen::Index kTile = detail::kCacheTile;
  for (Eigen::Index j = 0; j < src.cols(); j += kTile) {
    const Eigen::Index width = std::min(kTile, src.cols() - j);
    for (Eigen::Index i = 0; i < src.rows(); i += kTile) {
      const Eigen::Index height = std::min(kTile, src.rows() - i);
      dst.block(i, j, height, width) = src.block(i, j, height, width);
    }
  }
}

/// Copies each matrix of a batch into a working matrix of type Dense. A
/// contiguous row-major matrix is copied as it lies; any other layout goes
/// through a row-major staging buffer first, so that the copy into the
/// working matrix is the same straight-line code for every layout: a branch
/// between a block copy and an element loop there made the compiler keep
/// small working matrices in memory, at twice the cost of a 2 x 2
/// factorisation.
template <class Dense, bool TileLarge = true>
class Gather {
 public:
  Gather(const Matrices& layout, Eigen::Index rows, Eigen::Index cols)
      : layout_(layout),
        contiguous_(Dense::ColsAtCompileTime == 1
                        ? layout.row_stride == 1
                        : layout.col_stride == 1 && layout.row_stride == cols),
        rows_(rows),
        cols_(cols),
        staging_(contiguous_ ? Staging() : sized<Staging>(rows, cols)) {}

  void operator()(const double* matrix, Dense& m) {
    if (!contiguous_) {
      detail::gather_into(matrix, layout_.row_stride, layout_.col_stride, staging_);
      matrix = staging_.data();
    }
    if constexpr (kTiled) {
      m.resize(rows_, cols_);
      copy_in_tiles(m, Eigen::Map<const Staging>(matrix, rows_, cols_));
    } else {
      m = Eigen::Map<const Staging>(matrix, rows_, cols_);
    }
  }

 private:
  using Staging = RowMajor<Dense::RowsAtCompileTime, Dense::ColsAtCompileTime>;
  // A dynamic column-major matrix may be large; the fixed ones are copied
  // as straight-line code.
  static constexpr bool kTiled = TileLarge && Dense::RowsAtCompileTime == Eigen::Dynamic &&
                                 Dense::ColsAtCompileTime == Eigen::Dynamic &&
                                 !Dense::IsRowMajor;

  const Matrices& layout_;
  bool contiguous_;
  Eigen::Index rows_;
  Eigen::Index cols_;
  Staging staging_;
};

/// A decomposition over one working matrix, made once and recomputed for
/// every matrix of a batch: the same elimination as a fresh object, without
/// its allocations. An in-place one (over a Ref, the dynamic orders) can
/// only be made with its matrix, at the first matrix of the batch; an owning
/// one (the fixed orders) is made up front, which spares the small
/// factorisations a test of every matrix.
template <class Decomposition, class Work>
class ReusedDecomposition {
 public:
  Decomposition& compute(Work& work) {
    if constexpr (kInPlace) {
      if (decomposition_) {
        decomposition_->compute(work);
      } else {
        decomposition_.emplace(work);
      }
      return *decomposition_;
    } else {
      decomposition_.compute(work);
      return decomposition_;
    }
  }

 private:
  static constexpr bool kInPlace =
      !std::is_same_v<typename Decomposition::MatrixType, std::decay_t<Work>>;
  std::conditional_t<kInPlace, std::optional<Decomposition>, Decomposition> decomposition_;
};

/// The singular value engine shared by svd, pinv and the spectral norm, over
/// dynamic-size matrices, and the options of the thin factors.
using SvdEngine = Eigen::JacobiSVD<Eigen::MatrixXd>;
inline constexpr unsigned kThinSvdOptions = Eigen::ComputeThinU | Eigen::ComputeThinV;

}  // namespace zorvane::linalg::kernels
