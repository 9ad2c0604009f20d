// Every operation the library exports, written once. The library holds one
// implementation of each per instruction-set level, and its exported entry
// points forward to the implementation of the level the process runs,
// through a table of this shape. Private to the library: not installed.
#pragma once

#include <cstdint>

#include "zorvane/linalg/batched.h"
#include "zorvane/linalg/detail.h"

// X(result, field, function, parameters, arguments) for every exported
// operation: `field` names its entry in the table; `result` and `function`
// are written as seen from namespace zorvane.
#define ZORVANE_LINALG_OPERATIONS(X)                                                           \
  X(double, trace, linalg::trace, (const Tensor& A), (A))                                      \
  X(linalg::EigenResult, eig_sym, linalg::eig_sym, (const Tensor& A), (A))                     \
  X(Tensor, matrix_sqrt, linalg::matrix_sqrt, (const Tensor& A), (A))                          \
  X(Tensor, matrix_exp, linalg::matrix_exp, (const Tensor& A), (A))                            \
  X(Tensor, matrix_log, linalg::matrix_log, (const Tensor& A), (A))                            \
  X(Tensor, matrix_sign, linalg::matrix_sign, (const Tensor& A), (A))                          \
  X(Tensor, cholesky, linalg::cholesky, (const Tensor& A), (A))                                \
  X(linalg::LUResult, lu, linalg::lu, (const Tensor& A), (A))                                  \
  X(double, det, linalg::det, (const Tensor& A), (A))                                          \
  X(Tensor, solve, linalg::solve, (const Tensor& A, const Tensor& B), (A, B))                  \
  X(Tensor, inv, linalg::inv, (const Tensor& A), (A))                                          \
  X(linalg::QRResult, qr, linalg::qr, (const Tensor& A), (A))                                  \
  X(linalg::SVDResult, svd, linalg::svd, (const Tensor& A), (A))                               \
  X(Tensor, pinv, linalg::pinv, (const Tensor& A, double rcond), (A, rcond))                   \
  X(linalg::LstsqResult, lstsq, linalg::lstsq, (const Tensor& A, const Tensor& B), (A, B))     \
  X(double, norm, linalg::norm, (const Tensor& A, NormKind kind), (A, kind))                   \
  X(linalg::EigResult, eig, linalg::eig, (const Tensor& A), (A))                               \
  X(linalg::LMResult, levenberg_marquardt, linalg::levenberg_marquardt,                        \
    (const LMCallback& residual, const LMCallback& jacobian, const Tensor& x0, std::int64_t m, \
     const LMParameters& params),                                                              \
    (residual, jacobian, x0, m, params))                                                       \
  X(linalg::LUResult, lu_factor, linalg::detail::lu_factor, (const Tensor& A), (A))            \
  X(linalg::EigenResult, batched_eig_sym, linalg::batched::eig_sym, (const Tensor& A), (A))    \
  X(Tensor, batched_matrix_sqrt, linalg::batched::matrix_sqrt, (const Tensor& A), (A))         \
  X(Tensor, batched_matrix_exp, linalg::batched::matrix_exp, (const Tensor& A), (A))           \
  X(Tensor, batched_matrix_log, linalg::batched::matrix_log, (const Tensor& A), (A))           \
  X(Tensor, batched_matrix_sign, linalg::batched::matrix_sign, (const Tensor& A), (A))         \
  X(Tensor, batched_cholesky, linalg::batched::cholesky, (const Tensor& A), (A))               \
  X(linalg::batched::LUResult, batched_lu, linalg::batched::lu, (const Tensor& A), (A))        \
  X(Tensor, batched_det, linalg::batched::det, (const Tensor& A), (A))                         \
  X(Tensor, batched_solve, linalg::batched::solve, (const Tensor& A, const Tensor& B), (A, B)) \
  X(Tensor, batched_inv, linalg::batched::inv, (const Tensor& A), (A))                         \
  X(linalg::QRResult, batched_qr, linalg::batched::qr, (const Tensor& A), (A))                 \
  X(linalg::SVDResult, batched_svd, linalg::batched::svd, (const Tensor& A), (A))              \
  X(Tensor, batched_pinv, linalg::batched::pinv, (const Tensor& A, double rcond), (A, rcond))  \
  X(Tensor, batched_norm, linalg::batched::norm, (const Tensor& A, NormKind kind), (A, kind))  \
  X(linalg::EigResult, batched_eig, linalg::batched::eig, (const Tensor& A), (A))              \
  X(Tensor, batched_trace, linalg::batched::trace, (const Tensor& A), (A))

// X(field) for the operations every level runs at the baseline: the
// full-pivot LU family gains nothing from the wider instruction sets (its
// pivot search and rank-one updates are bound by memory; at n = 1024 it
// measured 190.6 ms at the baseline, 197.6 ms at x86-64-v3 and 196.0 ms at
// x86-64-v4), so it runs the baseline's code everywhere, and its results
// are the same bits on every CPU.
#define ZORVANE_LINALG_BASELINE_OPERATIONS(X)                                             \
  X(lu) X(det) X(solve) X(inv) X(lu_factor) X(batched_lu) X(batched_det) X(batched_solve) \
      X(batched_inv)

namespace zorvane::linalg::dispatch {

/// One level's implementation of every exported operation.
struct Operations {
#define ZORVANE_LINALG_OPERATION_FIELD(result, field, function, parameters, arguments) \
  result(*field) parameters;
  ZORVANE_LINALG_OPERATIONS(ZORVANE_LINALG_OPERATION_FIELD)
#undef ZORVANE_LINALG_OPERATION_FIELD
};

}  // namespace zorvane::linalg::dispatch

extern "C" {
// Each level's table, one symbol per level compiled in: the only symbol of
// a level's code that the rest of the library sees.
const zorvane::linalg::dispatch::Operations* zorvane_linalg_operations_baseline();
const zorvane::linalg::dispatch::Operations* zorvane_linalg_operations_x86_64_v3();
const zorvane::linalg::dispatch::Operations* zorvane_linalg_operations_x86_64_v4();
}
