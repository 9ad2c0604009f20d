// The full-pivot LU family: the factors with rank, determinant and singular
// flag, the determinant alone, and the linear solve and inverse, which reject
// what the factorisation judges singular. All of them run one FullPivLU.
#include <Eigen/LU>
#include <algorithm>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

using kernels::Square;

constexpr const char* kSingular = " failed -- matrix A is singular or numerically singular";
constexpr entry::RowMismatch kRowMismatch{" shape mismatch -- A is n x n but B has rows != n",
                                          " shape mismatch -- A is n x n but B has length != n"};

/// The gather without tiles: with the tiled copy in the kernels, the
/// full-pivot elimination itself ran 20 to 45 % slower at every order from
/// 64 to 1024 (the same arithmetic and bits, different code around it), far
/// more than the tiles save on its O(n²) copy.
template <class Dense>
using StraightGather = kernels::Gather<Dense, /*TileLarge=*/false>;

/// FullPivLU with its default threshold: in place over the dynamic working
/// matrix, which gives the bits of a FullPivLU over a copy without its
/// second n x n buffer.
template <int N>
using FullPivLUOf =
    std::conditional_t<N == Eigen::Dynamic, Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>,
                       Eigen::FullPivLU<Square<N>>>;

/// +1 or -1, the sign of a permutation, from the parity of its number of
/// inversions; arithmetic rather than branches, which random matrices would
/// mispredict half the time.
template <class Indices>
double sign_of(const Indices& p) {
  int inversions = 0;
  for (Eigen::Index i = 0; i < p.size(); ++i) {
    for (Eigen::Index j = i + 1; j < p.size(); ++j) inversions += static_cast<int>(p(i) > p(j));
  }
  return 1.0 - 2.0 * (inversions & 1);
}

/// The working matrix, the gather into it and the decomposition of one
/// order, each a local of the kernel that factorises: bundled into one object
/// whose address the compiler must track, they ran a 2 x 2 factorisation at
/// half speed.
template <int N>
using Decomposer = kernels::ReusedDecomposition<FullPivLUOf<N>, Square<N>>;

/// The determinant as the dynamic decomposition gives it: the pivots
/// multiplied in order, with the permutations' sign, so that every order
/// gives the same determinant bits.
template <class LU>
double determinant_of(const LU& lu) {
  constexpr int N = LU::MatrixType::RowsAtCompileTime;
  if constexpr (N == Eigen::Dynamic) {
    return lu.determinant();
  } else {
    double product = lu.matrixLU()(0, 0);
    for (Eigen::Index k = 1; k < N; ++k) product *= lu.matrixLU()(k, k);
    return sign_of(lu.permutationP().indices()) * sign_of(lu.permutationQ().indices()) * product;
  }
}

template <class LU>
void require_invertible_lu(const LU& lu, const char* operation) {
  if (!lu.isInvertible()) detail::throw_numerical_error(operation, kSingular);
}

/// The dense form of a permutation into the n x n row-major `out`: column i
/// holds its single 1 in row indices(i).
template <int N, class Permutation>
void dense_permutation(const Permutation& permutation, Eigen::Index n, double* out) {
  auto dense = kernels::row_major_map<Square<N>>(out, n, n);
  dense.setZero();
  for (Eigen::Index i = 0; i < n; ++i) dense(permutation.indices()(i), i) = 1.0;
}

/// The solution of A · X = rhs into `dst` for an invertible, non-empty A:
/// the steps of FullPivLU's own solve, on a buffer `c` of rhs's type made
/// once per call instead of once per matrix. The matrix is invertible, so
/// every one of its n pivots counts.
template <class LU, class Rhs, class Work, class Dst>
void solve_into(const LU& lu, const Rhs& rhs, Work& c, Dst&& dst) {
  const Eigen::Index n = lu.rows();
  c = lu.permutationP() * rhs;
  lu.matrixLU().topLeftCorner(n, n).template triangularView<Eigen::UnitLower>().solveInPlace(
      c.topRows(n));
  lu.matrixLU().topLeftCorner(n, n).template triangularView<Eigen::Upper>().solveInPlace(
      c.topRows(n));
  const auto& q = lu.permutationQ().indices();
  for (Eigen::Index i = 0; i < n; ++i) dst.row(q.coeff(i)) = c.row(i);
}

/// The right-hand sides of solve: vectors, or n x k matrices.
template <int N, bool Vectors>
using RhsOf =
    std::conditional_t<Vectors, kernels::Column<N>, Eigen::Matrix<double, N, Eigen::Dynamic>>;

template <int N, bool Vectors>
void solve_each(const kernels::Extents& batch, const kernels::Matrices& A,
                const kernels::Matrices& B, double* X) {
  const Eigen::Index n = A.rows;
  const Eigen::Index k = B.cols;
  Square<N> a(n, n);
  StraightGather<Square<N>> gather(A, n, n);
  Decomposer<N> decomposer;
  const FullPivLUOf<N>* lu = nullptr;
  std::int64_t factorised_offset = 0;
  auto rhs = kernels::sized<RhsOf<N, Vectors>>(n, k);
  auto work = kernels::sized<RhsOf<N, Vectors>>(n, k);
  StraightGather<RhsOf<N, Vectors>> gather_rhs(B, n, k);
  kernels::BatchWalk<2>(batch, {&A.batch_strides, &B.batch_strides})
      .run([&](std::int64_t b, const auto& offsets) {
        // The empty system has nothing to factorise and nothing to solve.
        if (n == 0) return;
        // An A repeated along a broadcast dimension is factorised once.
        if (!lu || offsets[0] != factorised_offset) {
          gather(A.data + offsets[0], a);
          lu = &decomposer.compute(a);
          factorised_offset = offsets[0];
          require_invertible_lu(*lu, "solve");
        }
        // Right-hand sides without columns leave nothing to write, but each A
        // is still factorised and tested.
        if (k == 0) return;
        gather_rhs(B.data + offsets[1], rhs);
        solve_into(*lu, rhs, work, kernels::row_major_map<RhsOf<N, Vectors>>(X + b * n * k, n, k));
      });
}

/// Where the factorisation writes each matrix's results: four n x n factors
/// of P · A · Q = L · U, then the rank, determinant and singular flag.
struct LUOutputs {
  double* L;
  double* U;
  double* P;
  double* Q;
  std::int64_t* rank;
  double* determinant;
  std::int32_t* singular;
};

/// The full-pivot LU of each of the operand's matrices, with the
/// decomposition's default threshold; singularity is data, never an error.
/// The empty matrix has rank 0, the empty product 1 as its determinant, and
/// is invertible.
ZORVANE_ONE_COPY void factorise(const entry::Operand& operand, const LUOutputs& out) {
  const kernels::Matrices& A = operand.matrices;
  const std::int64_t n = A.rows;
  kernels::with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    StraightGather<Square<N>> gather(A, n, n);
    Decomposer<N> decomposer;
    kernels::for_each_matrix(operand.batch, A, [&](std::int64_t b, const double* matrix) {
      out.rank[b] = 0;
      out.determinant[b] = 1.0;  // the empty product
      out.singular[b] = 0;
      if (n == 0) return;
      gather(matrix, a);
      const FullPivLUOf<N>& lu = decomposer.compute(a);
      const std::int64_t at = b * n * n;
      kernels::row_major_map<Square<N>>(out.L + at, n, n) =
          lu.matrixLU().template triangularView<Eigen::UnitLower>();
      kernels::row_major_map<Square<N>>(out.U + at, n, n) =
          lu.matrixLU().template triangularView<Eigen::Upper>();
      dense_permutation<N>(lu.permutationP(), n, out.P + at);
      dense_permutation<N>(lu.permutationQ(), n, out.Q + at);
      out.rank[b] = lu.rank();
      out.determinant[b] = determinant_of(lu);
      out.singular[b] = lu.isInvertible() ? 0 : 1;
    });
  });
}

/// The determinants of the operand's matrices into `determinants`, as lu
/// gives them.
ZORVANE_ONE_COPY void determinants_of(const entry::Operand& A, double* determinants) {
  const std::int64_t n = A.matrices.rows;
  kernels::with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    StraightGather<Square<N>> gather(A.matrices, n, n);
    Decomposer<N> decomposer;
    kernels::for_each_matrix(A.batch, A.matrices, [&](std::int64_t b, const double* matrix) {
      if (n == 0) {
        determinants[b] = 1.0;  // the empty product
        return;
      }
      gather(matrix, a);
      determinants[b] = determinant_of(decomposer.compute(a));
    });
  });
}

/// The inverses (..., n, n) of the operand's matrices; throws inv's singular message.
ZORVANE_ONE_COPY Tensor inverses_of(const entry::Operand& A) {
  const std::int64_t n = A.matrices.rows;
  Tensor inverses = entry::stacked(A.batch, {n, n});
  if (n == 0) return inverses;  // the empty matrix is its own inverse
  double* out = inverses.data();
  kernels::with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    StraightGather<Square<N>> gather(A.matrices, n, n);
    Decomposer<N> decomposer;
    Square<N> work(n, n);
    kernels::for_each_matrix(A.batch, A.matrices, [&](std::int64_t b, const double* matrix) {
      gather(matrix, a);
      const FullPivLUOf<N>& lu = decomposer.compute(a);
      require_invertible_lu(lu, "inv");
      solve_into(lu, Square<N>::Identity(n, n), work,
                 kernels::row_major_map<Square<N>>(out + b * n * n, n, n));
    });
  });
  return inverses;
}

/// Throws solve's singular message if the plain matrix A is singular.
void require_invertible(const kernels::Matrices& A) {
  if (A.rows == 0) return;  // the empty matrix is invertible
  kernels::with_order(A.rows, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(A.rows, A.rows);
    StraightGather<Square<N>>(A, A.rows, A.rows)(A.data, a);
    Decomposer<N> decomposer;
    require_invertible_lu(decomposer.compute(a), "solve");
  });
}

/// The leading extents of A and B broadcast together, and each operand's
/// strides over them (0 where it is repeated).
struct Broadcast {
  kernels::Extents extents;
  kernels::Extents a_strides;
  kernels::Extents b_strides;
};

Broadcast broadcast_leading(const Tensor& A, const Tensor& B, std::int64_t b_matrix_dims) {
  const std::int64_t a_lead = A.ndim() - 2;
  const std::int64_t b_lead = B.ndim() - b_matrix_dims;
  const std::int64_t r = std::max(a_lead, b_lead);
  Broadcast result{kernels::Extents(r, 1), kernels::Extents(r, 0), kernels::Extents(r, 0)};
  const auto merge = [&](const Tensor& t, std::int64_t lead, kernels::Extents& strides) {
    for (std::int64_t d = 0; d < lead; ++d) {
      const std::int64_t out = r - lead + d;
      const std::int64_t extent = t.shape()[d];
      if (extent == 1) continue;  // repeated: stride 0
      if (result.extents[out] != 1 && result.extents[out] != extent) {
        detail::throw_argument_error(
            "solve", " shape mismatch -- the leading dimensions of A and B do not broadcast");
      }
      result.extents[out] = extent;
      strides[out] = t.strides()[d];
    }
  };
  merge(A, a_lead, result.a_strides);
  merge(B, b_lead, result.b_strides);
  return result;
}

/// X with A · X = B for every pair of matrices, A's leading dimensions
/// broadcast against B's. A plain A fails as the single-matrix solve does,
/// singular before B's shape is looked at; a stack has its shapes checked
/// before any of its matrices is factorised.
ZORVANE_ONE_COPY Tensor solution_of(const Tensor& A, const Tensor& B, entry::Form form) {
  entry::Operand a = entry::square_matrices(A, "solve", form);
  detail::require_rhs_f64_cpu(B, "solve");
  const std::int64_t n = a.matrices.rows;
  const bool plain = A.ndim() == 2;
  if (const char* error = entry::right_hand_side_error(B, n, form, kRowMismatch)) {
    if (plain) require_invertible(a.matrices);
    detail::throw_argument_error("solve", error);
  }
  const bool vectors = B.ndim() == 1;
  const std::int64_t k = vectors ? 1 : B.shape()[B.ndim() - 1];
  const Broadcast shape = broadcast_leading(A, B, vectors ? 1 : 2);
  // The walk factorises a plain A first, unless there is no system at all.
  if (plain && kernels::batch_count(shape.extents) == 0) require_invertible(a.matrices);
  a.matrices.batch_strides = shape.a_strides;
  kernels::Matrices b = entry::right_hand_sides(B);
  b.batch_strides = shape.b_strides;
  Tensor X = vectors ? entry::stacked(shape.extents, {n}) : entry::stacked(shape.extents, {n, k});
  kernels::with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    // One column is solved as a vector: through the matrix path, whose
    // triangular solves take any number of columns, a right-hand side per
    // 2 x 2 matrix took 62 ns against 37 ns for one vector shared by all.
    if (k == 1) {
      solve_each<N, true>(shape.extents, a.matrices, b, X.data());
    } else {
      solve_each<N, false>(shape.extents, a.matrices, b, X.data());
    }
  });
  return X;
}

}  // namespace

namespace detail {

LUResult lu_factor(const Tensor& A) {
  const entry::Operand matrix = entry::operand_of(A);
  const std::int64_t n = matrix.matrices.rows;
  const auto factor = [n] { return entry::stacked({}, {n, n}); };
  LUResult result{factor(), factor(), factor(), factor(), 0, 0.0, false};
  std::int32_t singular = 0;
  factorise(matrix, {result.L.data(), result.U.data(), result.P.data(), result.Q.data(),
                     &result.rank, &result.determinant, &singular});
  result.singular = singular != 0;
  return result;
}

}  // namespace detail

LUResult lu(const Tensor& A) {
  detail::require_square_f64_cpu(A, "lu");
  return detail::lu_factor(A);
}

batched::LUResult batched::lu(const Tensor& A) {
  const entry::Operand stack = entry::square_matrices(A, "lu", entry::Form::Stack);
  const std::int64_t n = stack.matrices.rows;
  const kernels::Extents& batch = stack.batch;
  batched::LUResult result{entry::stacked(batch, {n, n}),           entry::stacked(batch, {n, n}),
                           entry::stacked(batch, {n, n}),           entry::stacked(batch, {n, n}),
                           entry::stacked(batch, {}, DType::Int64), entry::stacked(batch, {}),
                           entry::stacked(batch, {}, DType::Int32)};
  factorise(stack, {result.L.data(), result.U.data(), result.P.data(), result.Q.data(),
                    reinterpret_cast<std::int64_t*>(result.rank.data()), result.determinant.data(),
                    reinterpret_cast<std::int32_t*>(result.singular.data())});
  return result;
}

double det(const Tensor& A) {
  return entry::one_number(entry::square_matrices(A, "det", entry::Form::Matrix), determinants_of);
}

Tensor batched::det(const Tensor& A) {
  return entry::numbers(entry::square_matrices(A, "det", entry::Form::Stack), determinants_of);
}

Tensor solve(const Tensor& A, const Tensor& B) { return solution_of(A, B, entry::Form::Matrix); }

Tensor batched::solve(const Tensor& A, const Tensor& B) {
  return solution_of(A, B, entry::Form::Stack);
}

Tensor inv(const Tensor& A) {
  return inverses_of(entry::square_matrices(A, "inv", entry::Form::Matrix));
}

Tensor batched::inv(const Tensor& A) {
  return inverses_of(entry::square_matrices(A, "inv", entry::Form::Stack));
}

}  // namespace zorvane::linalg
