// The library's checks beyond the exported ones of detail.h: the symmetry
// test, the right-hand side's dtype and device, and the numerical-failure
// raiser. Private to the library: not installed, not exported.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "zorvane/linalg/detail.h"

namespace zorvane::linalg::detail {

/// Machine epsilon of float64, 2^-52.
inline constexpr double kEpsilon = 2.220446049250313e-16;

/// The order of the square tiles in which large matrices are walked where a
/// straight walk would read one of two layouts a whole row apart: 32 x 32
/// doubles of each side stay in the L1 cache together.
inline constexpr Eigen::Index kCacheTile = 32;

inline constexpr const char* kRequiresFloat64Rhs =
    " requires float64 right-hand side (ADR-05: no silent dtype conversion)";
inline constexpr const char* kRequiresSymmetric = " requires a symmetric matrix";

/// Throws std::runtime_error("zorvane: " + operation + suffix).
[[noreturn]] inline void throw_numerical_error(const char* operation, const char* suffix) {
  throw std::runtime_error(std::string("zorvane: ") + operation + suffix);
}

/// Throws unless the right-hand side `B` is float64 and on the CPU; its shape
/// is the operation's own business.
inline void require_rhs_f64_cpu(const Tensor& B, const char* operation) {
  require_f64_cpu(B, operation, kRequiresFloat64Rhs);
}

/// Throws unless the square matrix `a` is symmetric to n · ε times its largest
/// entry. NaN entries take no part in either maximum, so a NaN never makes a
/// matrix asymmetric and never hides the scale of the other entries.
template <class Dense>
void require_symmetric(const Dense& a, const char* operation) {
  const Eigen::Index n = a.rows();
  double largest = 0.0;
  double asymmetry = 0.0;
  // larger() keeps its first argument for a NaN second one, and compiles to
  // a branch-free maximum: on random entries a branch per entry mispredicts
  // often enough to cost more than a small factorisation.
  const auto larger = [](double current, double candidate) {
    return candidate > current ? candidate : current;
  };
  if constexpr (Dense::RowsAtCompileTime != Eigen::Dynamic) {
    for (Eigen::Index j = 0; j < n; ++j) {
      for (Eigen::Index i = 0; i < n; ++i) largest = larger(largest, std::abs(a(i, j)));
      for (Eigen::Index i = 0; i < j; ++i) {
        asymmetry = larger(asymmetry, std::abs(a(i, j) - a(j, i)));
      }
    }
  } else {
    for (Eigen::Index j = 0; j < n; ++j) {
      for (Eigen::Index i = 0; i < n; ++i) largest = larger(largest, std::abs(a(i, j)));
    }
    // a(j, i) walks a row: in tiles, as the copies do.
    constexpr Eigen::Index kTile = kCacheTile;
    for (Eigen::Index j0 = 0; j0 < n; j0 += kTile) {
      for (Eigen::Index i0 = 0; i0 <= j0; i0 += kTile) {
        for (Eigen::Index j = j0; j < std::min(j0 + kTile, n); ++j) {
          for (Eigen::Index i = i0; i < std::min(i0 + kTile, j); ++i) {
            asymmetry = larger(asymmetry, std::abs(a(i, j) - a(j, i)));
          }
        }
      }
    }
  }
  const double scale = largest > 0.0 ? largest : 1.0;
  const double tolerance = (static_cast<double>(n) * kEpsilon) * scale;
  if (asymmetry > tolerance) throw_argument_error(operation, kRequiresSymmetric);
}

}  // namespace zorvane::linalg::detail
