// Eigendecomposition of general real matrices.
#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using Eigen::MatrixXcd;
using Eigen::MatrixXd;
using Eigen::VectorXcd;
using Eigen::VectorXd;
using test::kEps;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::mat;
using test::matrix_of;
using test::tensor_from;
using test::vector_of;

const char* const kNoConvergence = "zorvane: eig failed to converge";

struct Eig {
  VectorXd values_real, values_imag;
  MatrixXd vectors_real, vectors_imag;

  VectorXcd values() const {
    VectorXcd v(values_real.size());
    v.real() = values_real;
    v.imag() = values_imag;
    return v;
  }
  MatrixXcd vectors() const {
    MatrixXcd v(vectors_real.rows(), vectors_real.cols());
    v.real() = vectors_real;
    v.imag() = vectors_imag;
    return v;
  }
};

Eig eig_of(const Tensor& A) {
  const linalg::EigResult r = linalg::eig(A);
  EXPECT_EQ(r.values_real.ndim(), 1);
  EXPECT_EQ(r.values_imag.ndim(), 1);
  return Eig{vector_of(r.values_real), vector_of(r.values_imag), matrix_of(r.vectors_real),
             matrix_of(r.vectors_imag)};
}

TEST(Eig, RotationHasPlusIFirstAndConjugateColumns) {
  const Eig e = eig_of(tensor_from({{0, -1}, {1, 0}}));
  EXPECT_EQ(e.values_real, VectorXd::Zero(2));
  EXPECT_EQ(e.values_imag, VectorXd(Eigen::Vector2d(1, -1)));
  EXPECT_EQ(e.vectors_real.col(1), e.vectors_real.col(0));
  EXPECT_EQ(e.vectors_imag.col(1), -e.vectors_imag.col(0));
  const MatrixXcd a = mat({{0, -1}, {1, 0}}).cast<std::complex<double>>();
  EXPECT_LE((a * e.vectors() - e.vectors() * e.values().asDiagonal()).cwiseAbs().maxCoeff(),
            4 * kEps);
}

TEST(Eig, DiagonalKeepsTheSolverOrder) {
  const Eig e = eig_of(tensor_from({{3, 0}, {0, 1}}));
  EXPECT_EQ(e.values_real, VectorXd(Eigen::Vector2d(3, 1)));
  EXPECT_EQ(e.values_imag, VectorXd::Zero(2));
  EXPECT_EQ(e.vectors_real, MatrixXd::Identity(2, 2));
  EXPECT_EQ(e.vectors_imag, MatrixXd::Zero(2, 2));
}

TEST(Eig, UpperTriangularExample) {
  const MatrixXd a = mat({{1, 2}, {0, 3}});
  const Eig e = eig_of(tensor_from(a));
  std::vector<double> values(e.values_real.data(), e.values_real.data() + 2);
  std::sort(values.begin(), values.end());
  EXPECT_NEAR(values[0], 1.0, 4 * kEps);
  EXPECT_NEAR(values[1], 3.0, 4 * kEps);
  EXPECT_EQ(e.values_imag, VectorXd::Zero(2));
  EXPECT_EQ(e.vectors_imag, MatrixXd::Zero(2, 2));
  EXPECT_LE(
      (a * e.vectors_real - e.vectors_real * e.values_real.asDiagonal()).cwiseAbs().maxCoeff(),
      8 * kEps);
}

TEST(Eig, ZeroMatrixAndOneByOne) {
  Eig e = eig_of(tensor_from(MatrixXd::Zero(3, 3)));
  EXPECT_EQ(e.values_real, VectorXd::Zero(3));
  EXPECT_EQ(e.values_imag, VectorXd::Zero(3));
  EXPECT_EQ(e.vectors_real, MatrixXd::Identity(3, 3));
  EXPECT_EQ(e.vectors_imag, MatrixXd::Zero(3, 3));
  for (const double a : {-4.25, 0.0, 9.0}) {
    e = eig_of(tensor_from({{a}}));
    EXPECT_EQ(e.values_real, VectorXd::Constant(1, a));
    EXPECT_EQ(e.values_imag, VectorXd::Zero(1));
    EXPECT_EQ(e.vectors_real, mat({{1}}));
    EXPECT_EQ(e.vectors_imag, mat({{0}}));
  }
}

class EigIdentities : public ::testing::TestWithParam<int> {};

TEST_P(EigIdentities, EigenpairsOfRandomMatrices) {
  const int n = GetParam();
  const MatrixXd a = test::random_matrix(n, n, 700 + static_cast<unsigned>(n));
  const Eig e = eig_of(tensor_from(a));
  const VectorXcd values = e.values();
  const MatrixXcd vectors = e.vectors();
  ASSERT_EQ(values.size(), n);
  ASSERT_EQ(vectors.rows(), n);
  ASSERT_EQ(vectors.cols(), n);
  const MatrixXcd residual =
      a.cast<std::complex<double>>() * vectors - vectors * values.asDiagonal();
  EXPECT_LE(residual.cwiseAbs().maxCoeff(), 16 * n * kEps * a.norm());
  for (int j = 0; j < n; ++j) EXPECT_NEAR(vectors.col(j).norm(), 1.0, 4 * n * kEps) << j;

  // Real eigenvalues have real vectors; a conjugate pair sits side by side,
  // the non-negative imaginary part first, with conjugate columns.
  for (int j = 0; j < n; ++j) {
    if (e.values_imag(j) == 0.0) {
      EXPECT_EQ(e.vectors_imag.col(j), VectorXd::Zero(n)) << j;
      continue;
    }
    ASSERT_LT(j + 1, n);
    EXPECT_GT(e.values_imag(j), 0.0) << j;
    EXPECT_EQ(e.values_real(j + 1), e.values_real(j));
    EXPECT_EQ(e.values_imag(j + 1), -e.values_imag(j));
    EXPECT_EQ(e.vectors_real.col(j + 1), e.vectors_real.col(j));
    EXPECT_EQ(e.vectors_imag.col(j + 1), -e.vectors_imag.col(j));
    ++j;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, EigIdentities,
                         ::testing::Values(2, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33));

// The unit eigenvectors are the solver's own, built into storage made once per call.
TEST(Eig, SameBitsAsTheSolverAboveTheFixedOrders) {
  if (!test::library_runs_baseline()) GTEST_SKIP() << "Eigen here rounds as the baseline only";
  for (const Eigen::Index n : {1, 5, 8, 17}) {
    const MatrixXd a = test::random_matrix(n, n, static_cast<unsigned>(n));
    const Eigen::EigenSolver<MatrixXd> expected(a);
    const linalg::EigResult r = linalg::eig(tensor_from(a));
    const MatrixXcd vectors = expected.eigenvectors();
    EXPECT_TRUE(matrix_of(r.vectors_real).cwiseEqual(MatrixXd(vectors.real())).all()) << n;
    EXPECT_TRUE(matrix_of(r.vectors_imag).cwiseEqual(MatrixXd(vectors.imag())).all()) << n;
  }
}

TEST(Eig, EmptyMatrixGivesEmptyResults) {
  const linalg::EigResult r = linalg::eig(make_tensor(Shape{0, 0}));
  ASSERT_EQ(r.values_real.ndim(), 1);
  ASSERT_EQ(r.values_imag.ndim(), 1);
  EXPECT_EQ(r.values_real.shape()[0], 0);
  EXPECT_EQ(r.values_imag.shape()[0], 0);
  for (const Tensor* t : {&r.vectors_real, &r.vectors_imag}) {
    ASSERT_EQ(t->ndim(), 2);
    EXPECT_EQ(t->shape()[0], 0);
    EXPECT_EQ(t->shape()[1], 0);
  }
}

TEST(Eig, NonFiniteInputFails) {
  const MatrixXd cases[] = {
      mat({{kNaN}}), mat({{kInf}}), mat({{-kInf}}), mat({{1, 0}, {0, kNaN}}),
      // The solver itself reports success here, with NaN eigenvectors.
      mat({{1, kNaN}, {0, 2}}), mat({{1, kInf}, {0, 2}}),
  };
  for (const MatrixXd& a : cases) {
    EXPECT_THROW_MSG(linalg::eig(tensor_from(a)), std::runtime_error, kNoConvergence);
  }
  MatrixXd big = test::random_matrix(9, 9, 3);
  big(4, 7) = kNaN;
  EXPECT_THROW_MSG(linalg::eig(tensor_from(big)), std::runtime_error, kNoConvergence);
}

TEST(Eig, ViewsGiveTheResultsOfTheirContiguousCopies) {
  const MatrixXd a = test::random_matrix(6, 6, 41);
  const Eig expected = eig_of(tensor_from(a));
  for (const Tensor& view : {test::transposed_view_of(a), test::gapped_view_of(a), test::padded_view_of(a)}) {
    const Eig e = eig_of(view);
    EXPECT_EQ(e.values_real, expected.values_real);
    EXPECT_EQ(e.values_imag, expected.values_imag);
    EXPECT_EQ(e.vectors_real, expected.vectors_real);
    EXPECT_EQ(e.vectors_imag, expected.vectors_imag);
  }
}

// Eigenvalues against SciPy, matched without regard to order: each reference
// value claims the nearest unclaimed computed one. The error bound is
// ε · ‖A‖ times the order and the eigenvalue's condition number.
TEST(EigReference, EigenvaluesAgreeWithSciPy) {
  const test::ReferenceFile ref("factorisations.txt");
  for (const double size : ref.vector("square.sizes")) {
    const std::string key = test::square_key(size);
    SCOPED_TRACE(key);
    const MatrixXd a = ref.matrix(key + "A");
    const VectorXcd computed = eig_of(tensor_from(a)).values();
    const VectorXd expected_real = ref.vector(key + "eig_real");
    const VectorXd expected_imag = ref.vector(key + "eig_imag");
    const VectorXd conditions = ref.vector(key + "eig_cond");
    ASSERT_EQ(computed.size(), expected_real.size());
    const double norm = ref.vector(key + "S")(0);
    std::vector<bool> claimed(static_cast<std::size_t>(computed.size()), false);
    for (Eigen::Index i = 0; i < expected_real.size(); ++i) {
      const std::complex<double> expected(expected_real(i), expected_imag(i));
      Eigen::Index nearest = -1;
      for (Eigen::Index j = 0; j < computed.size(); ++j) {
        if (claimed[static_cast<std::size_t>(j)]) continue;
        if (nearest < 0 ||
            std::abs(computed(j) - expected) < std::abs(computed(nearest) - expected)) {
          nearest = j;
        }
      }
      claimed[static_cast<std::size_t>(nearest)] = true;
      EXPECT_LE(std::abs(computed(nearest) - expected), 8 * size * kEps * norm * conditions(i))
          << "eigenvalue " << expected;
    }
  }
}

}  // namespace
}  // namespace zorvane
