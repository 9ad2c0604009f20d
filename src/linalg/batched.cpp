// The batched operations: a walk over the leading dimensions that gathers
// each matrix into a working matrix allocated once per call and hands it to
// the single-matrix operation's kernel.
#include "zorvane/linalg/batched.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels.h"

namespace zorvane::linalg::batched {
namespace {

using Extents = std::vector<std::int64_t>;

constexpr const char* kRequiresMatrices = " requires a tensor of matrices (..., m, n)";
constexpr const char* kRequiresSquareMatrices = " requires a tensor of square matrices (..., n, n)";
constexpr const char* kRequiresRhs = " requires B of shape (n) or (..., n, k)";
constexpr const char* kNoBroadcast =
    " shape mismatch -- the leading dimensions of A and B do not broadcast";

/// Throws unless `t` holds matrices (two or more dimensions), float64, on the CPU.
void require_matrices(const Tensor& t, const char* operation) {
  if (t.ndim() < 2) detail::throw_argument_error(operation, kRequiresMatrices);
  detail::require_f64_cpu(t, operation);
}

/// Throws unless `t` holds square matrices, float64, on the CPU.
void require_square_matrices(const Tensor& t, const char* operation) {
  if (t.ndim() < 2 || t.shape()[t.ndim() - 1] != t.shape()[t.ndim() - 2]) {
    detail::throw_argument_error(operation, kRequiresSquareMatrices);
  }
  detail::require_f64_cpu(t, operation);
}

/// The first `count` extents (or strides) of a dimension array.
template <class Dims>
Extents leading(const Dims& dims, std::int64_t count) {
  return Extents(dims.begin(), dims.begin() + count);
}

Extents leading_extents(const Tensor& t) { return leading(t.shape(), t.ndim() - 2); }

/// Rows and columns of the matrices of `t`.
std::int64_t rows_of(const Tensor& t) { return t.shape()[t.ndim() - 2]; }
std::int64_t cols_of(const Tensor& t) { return t.shape()[t.ndim() - 1]; }

/// A new float64 (or `dtype`) CPU tensor of the leading extents followed by `tail`.
Tensor new_stacked(const Extents& lead, std::initializer_list<std::int64_t> tail,
                   DType dtype = DType::Float64) {
  Extents extents = lead;
  extents.insert(extents.end(), tail.begin(), tail.end());
  return Tensor(Shape(extents.data(), extents.size()), dtype, Device{DeviceKind::CPU, -1});
}

/// The number of matrices; a count that does not fit cannot be allocated.
std::int64_t count_of(const Extents& lead) {
  if (std::find(lead.begin(), lead.end(), 0) != lead.end()) return 0;
  std::int64_t count = 1;
  for (const std::int64_t extent : lead) {
    if (__builtin_mul_overflow(count, extent, &count)) throw std::bad_alloc();
  }
  return count;
}

/// " (at batch index (3, 1))" for the leading index `index`.
std::string batch_index_suffix(const Extents& index) {
  std::string text = " (at batch index (";
  for (std::size_t d = 0; d < index.size(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(index[d]);
  }
  return text + "))";
}

/// Walks the leading index in row-major order and keeps, for each of
/// `Operands` tensors, the element offset of its current matrix. A stride of
/// 0 repeats an operand's matrix along a broadcast dimension.
template <std::size_t Operands>
class BatchWalk {
 public:
  BatchWalk(Extents extents, std::array<Extents, Operands> strides)
      : extents_(std::move(extents)), strides_(std::move(strides)), index_(extents_.size(), 0) {}

  /// Calls body(b, offsets) for every matrix b; an error of the body is
  /// thrown again with the batch index of its matrix appended. A single
  /// matrix (no leading dimension) fails with the single-matrix message alone.
  template <class Body>
  void run(Body&& body) {
    const std::int64_t count = count_of(extents_);
    if (extents_.empty()) {
      body(0, offsets_);
      return;
    }
    try {
      for (std::int64_t b = 0; b < count; ++b) {
        body(b, offsets_);
        advance();
      }
    } catch (const std::invalid_argument& error) {
      throw std::invalid_argument(error.what() + batch_index_suffix(index_));
    } catch (const std::runtime_error& error) {
      throw std::runtime_error(error.what() + batch_index_suffix(index_));
    }
  }

 private:
  void advance() {
    for (std::size_t d = extents_.size(); d-- > 0;) {
      for (std::size_t k = 0; k < Operands; ++k) offsets_[k] += strides_[k][d];
      if (++index_[d] < extents_[d]) return;
      for (std::size_t k = 0; k < Operands; ++k) offsets_[k] -= strides_[k][d] * extents_[d];
      index_[d] = 0;
    }
  }

  Extents extents_;
  std::array<Extents, Operands> strides_;
  Extents index_;
  std::array<std::int64_t, Operands> offsets_{};
};

/// The walk over the matrices of one tensor.
BatchWalk<1> walk_of(const Tensor& A) {
  return BatchWalk<1>(leading_extents(A), {leading(A.strides(), A.ndim() - 2)});
}

/// The strides of the matrix within `t`: (row, column).
std::int64_t row_stride(const Tensor& t) { return t.strides()[t.ndim() - 2]; }
std::int64_t col_stride(const Tensor& t) { return t.strides()[t.ndim() - 1]; }

/// Gathers matrix `offset` of `A` into the working matrix `a`.
void gather_matrix_at(const Tensor& A, std::int64_t offset, Eigen::MatrixXd& a) {
  detail::gather_into(A.data() + offset, row_stride(A), col_stride(A), a);
}

/// Factorises matrix `offset` of `A` with the full-pivot LU `lu`.
void factorise_matrix_at(const Tensor& A, std::int64_t offset, kernels::FullPivotLU& lu) {
  lu.factorise(A.data() + offset, row_stride(A), col_stride(A));
}

Tensor spectral(const Tensor& A, kernels::Spectral f) {
  require_square_matrices(A, "eig_sym");
  const std::int64_t n = rows_of(A);
  Tensor result = new_stacked(leading_extents(A), {n, n});
  if (n == 0) return result;  // an empty matrix is symmetric and has nothing to map
  Eigen::MatrixXd a(n, n);
  kernels::SymmetricSolver solver;
  kernels::SpectralWork work;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    kernels::symmetric_eigen(a, solver);
    kernels::spectral_function(f, solver, work, result.data() + b * n * n);
  });
  return result;
}

/// The leading extents of A and B broadcast together, and each operand's
/// strides over them (0 where it is repeated).
struct Broadcast {
  Extents extents;
  Extents a_strides;
  Extents b_strides;
};

Broadcast broadcast_leading(const Tensor& A, const Tensor& B, std::int64_t b_matrix_dims) {
  const std::int64_t a_lead = A.ndim() - 2;
  const std::int64_t b_lead = B.ndim() - b_matrix_dims;
  const std::int64_t r = std::max(a_lead, b_lead);
  Broadcast result{Extents(r, 1), Extents(r, 0), Extents(r, 0)};
  const auto merge = [&](const Tensor& t, std::int64_t lead, Extents& strides) {
    for (std::int64_t d = 0; d < lead; ++d) {
      const std::int64_t out = r - lead + d;
      const std::int64_t extent = t.shape()[d];
      if (extent == 1) continue;  // repeated: stride 0
      if (result.extents[out] != 1 && result.extents[out] != extent) {
        detail::throw_argument_error("solve", kNoBroadcast);
      }
      result.extents[out] = extent;
      strides[out] = t.strides()[d];
    }
  };
  merge(A, a_lead, result.a_strides);
  merge(B, b_lead, result.b_strides);
  return result;
}

/// Solves every system with one dense right-hand side type (VectorXd for a
/// vector B, MatrixXd otherwise) as the single-matrix solve does. `lu` holds
/// the factorisation of a plain matrix A already.
template <class Dense>
Tensor solve_stack(const Tensor& A, const Tensor& B, const Broadcast& shape, Tensor X, Dense rhs,
                   kernels::FullPivotLU& lu) {
  const std::int64_t n = rows_of(A);
  const std::int64_t slice = rhs.size();
  const std::int64_t b_row_stride = B.strides()[B.ndim() - (Dense::ColsAtCompileTime == 1 ? 1 : 2)];
  const std::int64_t b_col_stride = Dense::ColsAtCompileTime == 1 ? 0 : col_stride(B);
  bool factorised = A.ndim() == 2;
  std::int64_t factorised_offset = 0;
  BatchWalk<2>(shape.extents, {shape.a_strides, shape.b_strides})
      .run([&](std::int64_t b, const auto& offsets) {
        // A repeated along a broadcast dimension is factorised once.
        if (!factorised || offsets[0] != factorised_offset) {
          factorise_matrix_at(A, offsets[0], lu);
          factorised = true;
          factorised_offset = offsets[0];
          lu.require_invertible("solve");
        }
        // Right-hand sides without entries (and the empty system) leave
        // nothing to write, but each A is still factorised and tested, as the
        // single-matrix solve does.
        if (slice == 0) return;
        detail::gather_into(B.data() + offsets[1], b_row_stride, b_col_stride, rhs);
        kernels::RowMajorMap(X.data() + b * slice, n, rhs.cols()) = lu.solve(rhs);
      });
  return X;
}

}  // namespace

EigenResult eig_sym(const Tensor& A) {
  require_square_matrices(A, "eig_sym");
  const std::int64_t n = rows_of(A);
  const Extents lead = leading_extents(A);
  EigenResult result{new_stacked(lead, {n}), new_stacked(lead, {n, n})};
  if (n == 0) return result;  // an empty matrix is symmetric and has no eigenvalue
  Eigen::MatrixXd a(n, n);
  kernels::SymmetricSolver solver;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    kernels::symmetric_eigen(a, solver);
    kernels::VectorMap(result.values.data() + b * n, n) = solver.eigenvalues();
    kernels::RowMajorMap(result.vectors.data() + b * n * n, n, n) = solver.eigenvectors();
  });
  return result;
}

Tensor matrix_sqrt(const Tensor& A) { return spectral(A, kernels::Spectral::Sqrt); }
Tensor matrix_exp(const Tensor& A) { return spectral(A, kernels::Spectral::Exp); }
Tensor matrix_log(const Tensor& A) { return spectral(A, kernels::Spectral::Log); }
Tensor matrix_sign(const Tensor& A) { return spectral(A, kernels::Spectral::Sign); }

Tensor cholesky(const Tensor& A) {
  require_square_matrices(A, "cholesky");
  const std::int64_t n = rows_of(A);
  Tensor factors = new_stacked(leading_extents(A), {n, n});
  if (n == 0) return factors;  // an empty matrix is symmetric and its own factor
  Eigen::MatrixXd a(n, n);
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    kernels::cholesky(a, factors.data() + b * n * n);
  });
  return factors;
}

LUResult lu(const Tensor& A) {
  require_square_matrices(A, "lu");
  const std::int64_t n = rows_of(A);
  const Extents lead = leading_extents(A);
  LUResult result{new_stacked(lead, {n, n}),           new_stacked(lead, {n, n}),
                  new_stacked(lead, {n, n}),           new_stacked(lead, {n, n}),
                  new_stacked(lead, {}, DType::Int64), new_stacked(lead, {}),
                  new_stacked(lead, {}, DType::Int32)};
  auto* rank = reinterpret_cast<std::int64_t*>(result.rank.data());
  auto* singular = reinterpret_cast<std::int32_t*>(result.singular.data());
  double* determinant = result.determinant.data();
  kernels::FullPivotLU lu(n);
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    factorise_matrix_at(A, offsets[0], lu);
    const std::int64_t at = b * n * n;
    lu.factors(result.L.data() + at, result.U.data() + at, result.P.data() + at,
               result.Q.data() + at);
    rank[b] = lu.rank();
    determinant[b] = lu.determinant();
    singular[b] = lu.singular() ? 1 : 0;
  });
  return result;
}

Tensor det(const Tensor& A) {
  require_square_matrices(A, "det");
  Tensor determinants = new_stacked(leading_extents(A), {});
  double* out = determinants.data();
  kernels::FullPivotLU lu(rows_of(A));
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    factorise_matrix_at(A, offsets[0], lu);
    out[b] = lu.determinant();
  });
  return determinants;
}

Tensor solve(const Tensor& A, const Tensor& B) {
  require_square_matrices(A, "solve");
  detail::require_rhs_f64_cpu(B, "solve");
  const std::int64_t n = rows_of(A);
  kernels::FullPivotLU lu(n);
  // A plain matrix fails as the single-matrix solve does, singular before B's
  // shape is looked at; a stack has its shapes checked before any of its
  // matrices is factorised.
  if (A.ndim() == 2) {
    lu.factorise(A);
    lu.require_invertible("solve");
  }
  if (B.ndim() == 0) detail::throw_argument_error("solve", kRequiresRhs);
  if (B.ndim() == 1) {
    if (B.shape()[0] != n) detail::throw_argument_error("solve", kernels::kLengthMismatch);
    const Broadcast shape = broadcast_leading(A, B, 1);
    return solve_stack(A, B, shape, new_stacked(shape.extents, {n}), Eigen::VectorXd(n), lu);
  }
  if (rows_of(B) != n) detail::throw_argument_error("solve", kernels::kRowsMismatch);
  const std::int64_t k = cols_of(B);
  const Broadcast shape = broadcast_leading(A, B, 2);
  return solve_stack(A, B, shape, new_stacked(shape.extents, {n, k}), Eigen::MatrixXd(n, k), lu);
}

Tensor inv(const Tensor& A) {
  require_square_matrices(A, "inv");
  const std::int64_t n = rows_of(A);
  Tensor inverses = new_stacked(leading_extents(A), {n, n});
  kernels::FullPivotLU lu(n);
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    factorise_matrix_at(A, offsets[0], lu);
    lu.require_invertible("inv");
    lu.inverse(inverses.data() + b * n * n);
  });
  return inverses;
}

QRResult qr(const Tensor& A) {
  require_matrices(A, "qr");
  const std::int64_t m = rows_of(A);
  const std::int64_t n = cols_of(A);
  const std::int64_t k = std::min(m, n);
  const Extents lead = leading_extents(A);
  QRResult result{new_stacked(lead, {m, k}), new_stacked(lead, {k, n})};
  if (k == 0) return result;  // nothing to reflect
  Eigen::MatrixXd packed(m, n);
  kernels::ReusedDecomposition<kernels::InPlaceQR> reused;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], packed);
    kernels::qr_factors(reused.compute(packed), result.Q.data() + b * m * k,
                        result.R.data() + b * k * n);
  });
  return result;
}

SVDResult svd(const Tensor& A) {
  require_matrices(A, "svd");
  const std::int64_t m = rows_of(A);
  const std::int64_t n = cols_of(A);
  const std::int64_t k = std::min(m, n);
  const Extents lead = leading_extents(A);
  SVDResult result{new_stacked(lead, {m, k}), new_stacked(lead, {k}), new_stacked(lead, {k, n})};
  if (k == 0) return result;  // the engine cannot take an empty matrix
  Eigen::MatrixXd a(m, n);
  kernels::SvdEngine engine;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    kernels::svd(a, engine);
    kernels::svd_factors(engine, result.U.data() + b * m * k, result.S.data() + b * k,
                         result.Vt.data() + b * k * n);
  });
  return result;
}

Tensor pinv(const Tensor& A, double rcond) {
  require_matrices(A, "pinv");
  kernels::require_rcond(rcond);
  const std::int64_t m = rows_of(A);
  const std::int64_t n = cols_of(A);
  Tensor inverses = new_stacked(leading_extents(A), {n, m});
  if (std::min(m, n) == 0) return inverses;  // the engine cannot take an empty matrix
  Eigen::MatrixXd a(m, n);
  kernels::PseudoInverseWork work;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    kernels::pinv(a, rcond, work, inverses.data() + b * n * m);
  });
  return inverses;
}

Tensor norm(const Tensor& A, NormKind kind) {
  require_matrices(A, "norm");
  const std::int64_t m = rows_of(A);
  const std::int64_t n = cols_of(A);
  // An unknown kind is the call's error, not one matrix's; the norm of an
  // empty matrix never looks at it, as in norm.
  if (m > 0 && n > 0) kernels::require_norm_kind(kind);
  Tensor norms = new_stacked(leading_extents(A), {});
  double* out = norms.data();
  Eigen::MatrixXd a(m, n);
  kernels::SvdEngine engine;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    out[b] = kernels::norm(a, kind, engine);
  });
  return norms;
}

EigResult eig(const Tensor& A) {
  require_square_matrices(A, "eig");
  const std::int64_t n = rows_of(A);
  const Extents lead = leading_extents(A);
  EigResult result{new_stacked(lead, {n}), new_stacked(lead, {n}), new_stacked(lead, {n, n}),
                   new_stacked(lead, {n, n})};
  if (n == 0) return result;  // the solver cannot take an empty matrix
  Eigen::MatrixXd a(n, n);
  kernels::GeneralSolver solver;
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    gather_matrix_at(A, offsets[0], a);
    kernels::eig(a, solver, result.values_real.data() + b * n, result.values_imag.data() + b * n,
                 result.vectors_real.data() + b * n * n, result.vectors_imag.data() + b * n * n);
  });
  return result;
}

Tensor trace(const Tensor& A) {
  require_square_matrices(A, "trace");
  const std::int64_t n = rows_of(A);
  Tensor traces = new_stacked(leading_extents(A), {});
  double* out = traces.data();
  walk_of(A).run([&](std::int64_t b, const auto& offsets) {
    out[b] = kernels::diagonal_sum(A.data() + offsets[0], n, row_stride(A), col_stride(A));
  });
  return traces;
}

}  // namespace zorvane::linalg::batched
