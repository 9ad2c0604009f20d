// eig_sym: ascending eigenvalues, orthonormal eigenvectors, the lower triangle
// deciding, agreement with NumPy, and what the solver does with empty and
// non-finite input. What it shares with the spectral functions is tested in
// spectral_test.cpp, its argument checks in argument_checks_test.cpp.
#include <cmath>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using linalg::eig_sym;
using linalg::EigenResult;
using test::kEps;
using test::kNaN;
using test::matrix_of;
using test::norm_inf;
using test::tensor_from;
using test::vector_of;

/// Checks A·V = V·diag(w), VᵀV = I and ascending w, to `factor` · n · ε.
void expect_eigendecomposition_of(const Eigen::MatrixXd& a, const EigenResult& result,
                                  double factor) {
  const Eigen::Index n = a.rows();
  const Eigen::VectorXd w = vector_of(result.values);
  const Eigen::MatrixXd v = matrix_of(result.vectors);
  ASSERT_EQ(w.size(), n);
  ASSERT_EQ(v.rows(), n);
  ASSERT_EQ(v.cols(), n);
  for (Eigen::Index i = 1; i < n; ++i) EXPECT_LE(w(i - 1), w(i)) << "at " << i;
  const double tolerance = factor * static_cast<double>(n) * kEps;
  EXPECT_LE((a * v - v * w.asDiagonal()).cwiseAbs().maxCoeff(), tolerance * norm_inf(a));
  EXPECT_LE((v.transpose() * v - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff(),
            tolerance);
}

TEST(EigSym, TwoByTwoInAscendingOrder) {
  const Eigen::Matrix2d a = (Eigen::Matrix2d() << 4, 1, 1, 3).finished();
  const EigenResult result = eig_sym(tensor_from(a));
  const Eigen::VectorXd w = vector_of(result.values);
  EXPECT_NEAR(w(0), (7 - std::sqrt(5.0)) / 2, 8 * kEps);
  EXPECT_NEAR(w(1), (7 + std::sqrt(5.0)) / 2, 8 * kEps);
  expect_eigendecomposition_of(a, result, 4);
}

TEST(EigSym, OneByOneIsItsOwnEigenvalue) {
  const EigenResult result = eig_sym(tensor_from({{-2.5}}));
  EXPECT_EQ(vector_of(result.values), Eigen::VectorXd::Constant(1, -2.5));
  EXPECT_EQ(matrix_of(result.vectors), Eigen::MatrixXd::Ones(1, 1));
}

TEST(EigSym, UnsortedDiagonalComesOutSorted) {
  const EigenResult result = eig_sym(tensor_from({{3, 0, 0}, {0, 1, 0}, {0, 0, 2}}));
  EXPECT_EQ(vector_of(result.values), Eigen::Vector3d(1, 2, 3));
  // Up to sign, the columns are e1, e2 and e0.
  Eigen::Matrix3d expected;
  expected << 0, 0, 1, 1, 0, 0, 0, 1, 0;
  EXPECT_EQ(Eigen::MatrixXd(matrix_of(result.vectors).cwiseAbs()), Eigen::MatrixXd(expected));
}

TEST(EigSym, EmptyMatrixHasNoEigenvalues) {
  const EigenResult result = eig_sym(test::make_tensor(Shape{0, 0}));
  ASSERT_EQ(result.values.ndim(), 1);
  EXPECT_EQ(result.values.shape()[0], 0);
  ASSERT_EQ(result.vectors.ndim(), 2);
  EXPECT_EQ(result.vectors.shape()[0], 0);
  EXPECT_EQ(result.vectors.shape()[1], 0);
}

TEST(EigSym, LowerTriangleDecidesWithinTheTolerance) {
  // n = 5 and entries up to 1: an asymmetry of 4ε passes the check, and the
  // result is that of the matrix mirrored from its lower triangle.
  Eigen::MatrixXd lower = test::random_symmetric(5, 9);
  lower /= lower.cwiseAbs().maxCoeff();
  Eigen::MatrixXd a = lower;
  a(0, 3) += 4 * kEps;
  a(1, 4) -= 4 * kEps;
  ASSERT_NE(a, lower);
  const EigenResult expected = eig_sym(tensor_from(lower));
  const EigenResult result = eig_sym(tensor_from(a));
  EXPECT_EQ(vector_of(result.values), vector_of(expected.values));
  EXPECT_EQ(matrix_of(result.vectors), matrix_of(expected.vectors));
}

// Non-finite input fails to converge (tested with the rest of the family in
// spectral_test.cpp), except where the solver never reads it.
TEST(EigSym, NaNAboveTheDiagonalIsNotRead) {
  // A NaN above the diagonal is neither asymmetry nor read by the solver.
  const EigenResult upper = eig_sym(tensor_from({{4, kNaN}, {1, 3}}));
  const EigenResult clean = eig_sym(tensor_from({{4, 1}, {1, 3}}));
  EXPECT_EQ(vector_of(upper.values), vector_of(clean.values));
  EXPECT_EQ(matrix_of(upper.vectors), matrix_of(clean.vectors));
}

// Above the fixed orders the library runs the solver's own steps with a
// workspace made once per call: the very bits of SelfAdjointEigenSolver.
TEST(EigSym, SameBitsAsTheSolverAboveTheFixedOrders) {
  if (!test::library_runs_baseline()) GTEST_SKIP() << "Eigen here rounds as the baseline only";
  for (const Eigen::Index n : {1, 5, 8, 17, 33}) {
    const Eigen::MatrixXd a = test::random_symmetric(n, static_cast<unsigned>(n));
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> expected(a);
    const EigenResult r = eig_sym(tensor_from(a));
    EXPECT_TRUE(vector_of(r.values).cwiseEqual(expected.eigenvalues()).all()) << "n = " << n;
    EXPECT_TRUE(matrix_of(r.vectors).cwiseEqual(expected.eigenvectors()).all()) << "n = " << n;
  }
}

class EigSymReference : public ::testing::TestWithParam<int> {};

TEST_P(EigSymReference, EigenvaluesAgreeWithNumpy) {
  static const test::ReferenceFile references("symmetric.txt");
  const int n = GetParam();
  const Eigen::MatrixXd a = references.matrix("sym" + test::order_tag(n));
  const Eigen::VectorXd expected = references.vector("eigh" + test::order_tag(n));
  const EigenResult result = eig_sym(tensor_from(a));
  EXPECT_LE((vector_of(result.values) - expected).cwiseAbs().maxCoeff(),
            4 * n * kEps * norm_inf(a));
  // Eigenvector signs are the solver's choice; check them by their defining identities.
  expect_eigendecomposition_of(a, result, 4);
}

INSTANTIATE_TEST_SUITE_P(Orders, EigSymReference, ::testing::Values(1, 2, 3, 5, 8, 16, 33, 64));

}  // namespace
}  // namespace zorvane
