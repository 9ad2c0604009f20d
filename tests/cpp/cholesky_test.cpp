// cholesky: the lower factor, its exact zeros, the symmetry boundary,
// non-finite and empty input, and agreement with NumPy. Its argument checks
// are rows of argument_checks_test.cpp.
#include <cmath>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using linalg::cholesky;
using test::kEps;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::matrix_of;
using test::random_spd;
using test::tensor_from;

const char* const kNotPositiveDefinite =
    "zorvane: cholesky failed -- matrix is not positive-definite";
const char* const kSymmetric = "zorvane: cholesky requires a symmetric matrix";

Eigen::MatrixXd factor_of(const Eigen::MatrixXd& a) { return matrix_of(cholesky(tensor_from(a))); }

TEST(Cholesky, FactorsATwoByTwo) {
  const Eigen::Matrix2d a = (Eigen::Matrix2d() << 4, 2, 2, 3).finished();
  const Eigen::MatrixXd l = factor_of(a);
  const Eigen::Matrix2d expected = (Eigen::Matrix2d() << 2, 0, 1, std::sqrt(2.0)).finished();
  EXPECT_EQ(l, Eigen::MatrixXd(expected));
  EXPECT_LE((l * l.transpose() - a).cwiseAbs().maxCoeff(), 4 * kEps);
}

TEST(Cholesky, OneByOneAndIdentity) {
  EXPECT_EQ(factor_of(Eigen::MatrixXd::Constant(1, 1, 9.0)), Eigen::MatrixXd::Constant(1, 1, 3.0));
  EXPECT_EQ(factor_of(Eigen::MatrixXd::Identity(5, 5)), Eigen::MatrixXd::Identity(5, 5));
}

TEST(Cholesky, EmptyMatrixGivesAnEmptyFactor) {
  const Tensor l = cholesky(make_tensor(Shape{0, 0}));
  ASSERT_EQ(l.ndim(), 2);
  EXPECT_EQ(l.shape()[0], 0);
  EXPECT_EQ(l.shape()[1], 0);
}

TEST(Cholesky, RejectsMatricesThatAreNotPositiveDefinite) {
  for (const Eigen::MatrixXd& a :
       {Eigen::MatrixXd(Eigen::MatrixXd::Zero(1, 1)),
        Eigen::MatrixXd(Eigen::MatrixXd::Constant(1, 1, -1.0)),
        Eigen::MatrixXd(Eigen::MatrixXd::Zero(3, 3)),
        Eigen::MatrixXd((Eigen::MatrixXd(2, 2) << 1, 2, 2, 1).finished()),
        // Positive-semidefinite and singular: the last pivot comes out as 0.
        Eigen::MatrixXd((Eigen::MatrixXd(2, 2) << 1, 1, 1, 1).finished())}) {
    SCOPED_TRACE(::testing::PrintToString(a));
    EXPECT_THROW_MSG(factor_of(a), std::runtime_error, kNotPositiveDefinite);
  }
}

TEST(Cholesky, EntriesAboveTheDiagonalArePositiveZeros) {
  for (const Eigen::Index n : {2, 7, 16, 33}) {
    const Eigen::MatrixXd a = random_spd(n, static_cast<unsigned>(n));
    const Eigen::MatrixXd l = factor_of(a);
    for (Eigen::Index i = 0; i < n; ++i) {
      EXPECT_GT(l(i, i), 0.0);
      for (Eigen::Index j = i + 1; j < n; ++j) {
        ASSERT_TRUE(l(i, j) == 0.0 && !std::signbit(l(i, j)))
            << n << ": (" << i << ", " << j << ")";
      }
    }
    EXPECT_LE((l * l.transpose() - a).cwiseAbs().maxCoeff(),
              8 * n * kEps * a.cwiseAbs().maxCoeff());
  }
}

class SymmetryBoundary : public ::testing::TestWithParam<double> {};

TEST_P(SymmetryBoundary, ToleranceIsOrderTimesEpsilonTimesLargestEntry) {
  // [[4, 2], [2 + 4ε, 3]] times a power of two, so every entry stays exact:
  // the tolerance 2 · ε · 4s admits the asymmetry 4εs but not 16εs.
  const double s = GetParam();
  Eigen::Matrix2d a;
  a << 4 * s, 2 * s, (2 + 4 * kEps) * s, 3 * s;
  const Eigen::MatrixXd l = factor_of(a);
  // Factorised from the lower triangle: L(1, 0) = (2 + 4ε)s / (2√s).
  EXPECT_EQ(l(1, 0), (1 + 2 * kEps) * std::sqrt(s));
  EXPECT_EQ(l(0, 1), 0.0);

  a(1, 0) = (2 + 16 * kEps) * s;
  EXPECT_THROW_MSG(factor_of(a), std::invalid_argument, kSymmetric);
  EXPECT_THROW_MSG(factor_of(a.transpose()), std::invalid_argument, kSymmetric);
}

INSTANTIATE_TEST_SUITE_P(Scales, SymmetryBoundary,
                         ::testing::Values(1.0, std::ldexp(1.0, 20), std::ldexp(1.0, -30)));

TEST(Cholesky, StridedViewsGiveTheContiguousFactor) {
  const Eigen::MatrixXd a = random_spd(6, 21);
  const Eigen::MatrixXd expected = factor_of(a);
  EXPECT_EQ(matrix_of(cholesky(test::transposed_view_of(a))), expected);
  EXPECT_EQ(matrix_of(cholesky(test::gapped_view_of(a))), expected);
  EXPECT_EQ(matrix_of(cholesky(test::padded_view_of(a))), expected);
}

// What the factorisation does with non-finite entries, pinned so that a change shows.
TEST(Cholesky, NonFiniteEntries) {
  // A NaN in the lower triangle is no asymmetry and no pivot ≤ 0: it spreads.
  const Eigen::MatrixXd lower_nan = factor_of((Eigen::MatrixXd(2, 2) << 4, 2, kNaN, 3).finished());
  EXPECT_EQ(lower_nan(0, 0), 2.0);
  EXPECT_TRUE(std::isnan(lower_nan(1, 0)));
  EXPECT_TRUE(std::isnan(lower_nan(1, 1)));
  EXPECT_EQ(lower_nan(0, 1), 0.0);

  // Above the diagonal it is never read.
  const Eigen::MatrixXd upper_nan = factor_of((Eigen::MatrixXd(2, 2) << 4, kNaN, 2, 3).finished());
  EXPECT_EQ(upper_nan, factor_of((Eigen::MatrixXd(2, 2) << 4, 2, 2, 3).finished()));

  EXPECT_EQ(factor_of(Eigen::MatrixXd::Constant(1, 1, kInf)),
            Eigen::MatrixXd::Constant(1, 1, kInf));
  EXPECT_THROW_MSG(factor_of(Eigen::MatrixXd::Constant(1, 1, -kInf)), std::runtime_error,
                   kNotPositiveDefinite);
  // inf - inf is NaN, so infinite off-diagonal entries pass the symmetry
  // check; the second pivot, 1 - inf², then fails.
  EXPECT_THROW_MSG(factor_of((Eigen::MatrixXd(2, 2) << 1, kInf, kInf, 1).finished()),
                   std::runtime_error, kNotPositiveDefinite);
}

TEST(Cholesky, MatchesTheDenseFactorisationBitForBit) {
  if (!test::library_runs_baseline()) GTEST_SKIP() << "Eigen here rounds as the baseline only";
  // The factor is computed in place on the working copy; it must be the
  // very factor that LLT<MatrixXd, Lower> gives, including the blocked path.
  for (const Eigen::Index n : {1, 4, 7, 16, 17, 64, 129}) {
    const Eigen::MatrixXd a = random_spd(n, static_cast<unsigned>(n));
    const Eigen::MatrixXd dense = Eigen::LLT<Eigen::MatrixXd, Eigen::Lower>(a).matrixL();
    EXPECT_TRUE(factor_of(a).cwiseEqual(dense).all()) << "n = " << n;
  }
}

class CholeskyReference : public ::testing::TestWithParam<int> {};

TEST_P(CholeskyReference, AgreesWithNumpy) {
  static const test::ReferenceFile references("symmetric.txt");
  const int n = GetParam();
  const Eigen::MatrixXd a = references.matrix("spd" + test::order_tag(n));
  const Eigen::MatrixXd expected = references.matrix("cholesky" + test::order_tag(n));
  // The stored inputs have eigenvalues in [0.5, 4], so the factor is well
  // conditioned; the floor of 1 covers the rounding of the square roots.
  const double norm = std::max(a.cwiseAbs().rowwise().sum().maxCoeff(), 1.0);
  EXPECT_LE((factor_of(a) - expected).cwiseAbs().maxCoeff(), 4 * n * kEps * norm);
}

INSTANTIATE_TEST_SUITE_P(Orders, CholeskyReference, ::testing::Values(1, 2, 3, 5, 8, 16, 33, 64));

}  // namespace
}  // namespace zorvane
