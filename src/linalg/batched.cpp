// The batched operations: the argument checks, the stacked result tensors,
// and one call of the kernel that the single-matrix operation runs, over
// every matrix of the batch.
#include "zorvane/linalg/batched.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "checks.h"
#include "kernels.h"

namespace zorvane::linalg::batched {
namespace {

using kernels::Extents;

constexpr const char* kRequiresMatrices = " requires a tensor of matrices (..., m, n)";
constexpr const char* kRequiresSquareMatrices = " requires a tensor of square matrices (..., n, n)";
constexpr const char* kRequiresRhs = " requires B of shape (n) or (..., n, k)";
constexpr const char* kNoBroadcast =
    " shape mismatch -- the leading dimensions of A and B do not broadcast";

/// Throws unless `t` holds matrices (two or more dimensions), float64, on the
/// CPU; gives where they lie.
kernels::Matrices require_matrices(const Tensor& t, const char* operation) {
  if (t.ndim() < 2) detail::throw_argument_error(operation, kRequiresMatrices);
  detail::require_f64_cpu(t, operation);
  return kernels::matrices_of(t);
}

/// Throws unless `t` holds square matrices, float64, on the CPU; gives where
/// they lie.
kernels::Matrices require_square_matrices(const Tensor& t, const char* operation) {
  if (t.ndim() < 2 || t.shape()[t.ndim() - 1] != t.shape()[t.ndim() - 2]) {
    detail::throw_argument_error(operation, kRequiresSquareMatrices);
  }
  detail::require_f64_cpu(t, operation);
  return kernels::matrices_of(t);
}

/// A new float64 (or `dtype`) CPU tensor of the batch extents followed by `tail`.
Tensor new_stacked(const Extents& batch, std::initializer_list<std::int64_t> tail,
                   DType dtype = DType::Float64) {
  Extents extents = batch;
  extents.insert(extents.end(), tail.begin(), tail.end());
  return Tensor(Shape(extents.data(), extents.size()), dtype, Device{DeviceKind::CPU, -1});
}

Tensor spectral(const Tensor& A, kernels::Spectral f) {
  const kernels::Matrices a = require_square_matrices(A, "eig_sym");
  const Extents batch = kernels::batch_extents(A);
  Tensor result = new_stacked(batch, {a.rows, a.rows});
  kernels::spectral_function(batch, a, f, result.data());
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

/// The message suffix for a right-hand side B that does not fit n x n
/// matrices, or null when it fits.
const char* right_hand_side_error(const Tensor& B, std::int64_t n) {
  if (B.ndim() == 0) return kRequiresRhs;
  if (B.ndim() == 1) return B.shape()[0] != n ? kernels::kLengthMismatch : nullptr;
  return B.shape()[B.ndim() - 2] != n ? kernels::kRowsMismatch : nullptr;
}

}  // namespace

EigenResult eig_sym(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "eig_sym");
  const Extents batch = kernels::batch_extents(A);
  EigenResult result{new_stacked(batch, {a.rows}), new_stacked(batch, {a.rows, a.rows})};
  kernels::eig_sym(batch, a, result.values.data(), result.vectors.data());
  return result;
}

Tensor matrix_sqrt(const Tensor& A) { return spectral(A, kernels::Spectral::Sqrt); }
Tensor matrix_exp(const Tensor& A) { return spectral(A, kernels::Spectral::Exp); }
Tensor matrix_log(const Tensor& A) { return spectral(A, kernels::Spectral::Log); }
Tensor matrix_sign(const Tensor& A) { return spectral(A, kernels::Spectral::Sign); }

Tensor cholesky(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "cholesky");
  const Extents batch = kernels::batch_extents(A);
  Tensor factors = new_stacked(batch, {a.rows, a.rows});
  kernels::cholesky(batch, a, factors.data());
  return factors;
}

LUResult lu(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "lu");
  const Extents batch = kernels::batch_extents(A);
  const std::int64_t n = a.rows;
  LUResult result{new_stacked(batch, {n, n}),           new_stacked(batch, {n, n}),
                  new_stacked(batch, {n, n}),           new_stacked(batch, {n, n}),
                  new_stacked(batch, {}, DType::Int64), new_stacked(batch, {}),
                  new_stacked(batch, {}, DType::Int32)};
  kernels::lu(batch, a,
              {result.L.data(), result.U.data(), result.P.data(), result.Q.data(),
               reinterpret_cast<std::int64_t*>(result.rank.data()), result.determinant.data(),
               reinterpret_cast<std::int32_t*>(result.singular.data())});
  return result;
}

Tensor det(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "det");
  const Extents batch = kernels::batch_extents(A);
  Tensor determinants = new_stacked(batch, {});
  kernels::det(batch, a, determinants.data());
  return determinants;
}

Tensor solve(const Tensor& A, const Tensor& B) {
  kernels::Matrices a = require_square_matrices(A, "solve");
  detail::require_rhs_f64_cpu(B, "solve");
  const std::int64_t n = a.rows;
  // A plain matrix fails as the single-matrix solve does, singular before B's
  // shape is looked at; a stack has its shapes checked before any of its
  // matrices is factorised.
  const bool plain = A.ndim() == 2;
  if (const char* error = right_hand_side_error(B, n)) {
    if (plain) kernels::require_invertible(a, "solve");
    detail::throw_argument_error("solve", error);
  }
  const bool vectors = B.ndim() == 1;
  const std::int64_t k = vectors ? 1 : B.shape()[B.ndim() - 1];
  const Broadcast shape = broadcast_leading(A, B, vectors ? 1 : 2);
  // The kernel factorises a plain A first, unless there is no system at all.
  if (plain && kernels::batch_count(shape.extents) == 0) kernels::require_invertible(a, "solve");
  a.batch_strides = shape.a_strides;
  const std::int64_t nd = B.ndim();
  const kernels::Matrices b{B.data(),
                            n,
                            k,
                            B.strides()[nd - (vectors ? 1 : 2)],
                            vectors ? 0 : B.strides()[nd - 1],
                            shape.b_strides};
  Tensor X = vectors ? new_stacked(shape.extents, {n}) : new_stacked(shape.extents, {n, k});
  kernels::solve(shape.extents, a, b, vectors, X.data());
  return X;
}

Tensor inv(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "inv");
  const Extents batch = kernels::batch_extents(A);
  Tensor inverses = new_stacked(batch, {a.rows, a.rows});
  kernels::inv(batch, a, inverses.data());
  return inverses;
}

QRResult qr(const Tensor& A) {
  const kernels::Matrices a = require_matrices(A, "qr");
  const Extents batch = kernels::batch_extents(A);
  const std::int64_t k = std::min(a.rows, a.cols);
  QRResult result{new_stacked(batch, {a.rows, k}), new_stacked(batch, {k, a.cols})};
  kernels::qr(batch, a, result.Q.data(), result.R.data());
  return result;
}

SVDResult svd(const Tensor& A) {
  const kernels::Matrices a = require_matrices(A, "svd");
  const Extents batch = kernels::batch_extents(A);
  const std::int64_t k = std::min(a.rows, a.cols);
  SVDResult result{new_stacked(batch, {a.rows, k}), new_stacked(batch, {k}),
                   new_stacked(batch, {k, a.cols})};
  kernels::svd(batch, a, result.U.data(), result.S.data(), result.Vt.data());
  return result;
}

Tensor pinv(const Tensor& A, double rcond) {
  const kernels::Matrices a = require_matrices(A, "pinv");
  kernels::require_rcond(rcond);
  const Extents batch = kernels::batch_extents(A);
  Tensor inverses = new_stacked(batch, {a.cols, a.rows});
  kernels::pinv(batch, a, rcond, inverses.data());
  return inverses;
}

Tensor norm(const Tensor& A, NormKind kind) {
  const kernels::Matrices a = require_matrices(A, "norm");
  // An unknown kind is the call's error, not one matrix's; the norm of an
  // empty matrix never looks at it, as in norm.
  if (a.rows > 0 && a.cols > 0) kernels::require_norm_kind(kind);
  const Extents batch = kernels::batch_extents(A);
  Tensor norms = new_stacked(batch, {});
  kernels::norm(batch, a, kind, norms.data());
  return norms;
}

EigResult eig(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "eig");
  const Extents batch = kernels::batch_extents(A);
  const std::int64_t n = a.rows;
  EigResult result{new_stacked(batch, {n}), new_stacked(batch, {n}), new_stacked(batch, {n, n}),
                   new_stacked(batch, {n, n})};
  kernels::eig(batch, a, result.values_real.data(), result.values_imag.data(),
               result.vectors_real.data(), result.vectors_imag.data());
  return result;
}

Tensor trace(const Tensor& A) {
  const kernels::Matrices a = require_square_matrices(A, "trace");
  const Extents batch = kernels::batch_extents(A);
  Tensor traces = new_stacked(batch, {});
  double* out = traces.data();
  kernels::for_each_matrix(batch, a, [&](std::int64_t b, const double* matrix) {
    out[b] = kernels::diagonal_sum(matrix, a.rows, a.row_stride, a.col_stride);
  });
  return traces;
}

}  // namespace zorvane::linalg::batched
