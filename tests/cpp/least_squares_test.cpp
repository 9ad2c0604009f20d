// pinv and lstsq: cutoffs, basic solutions and NumPy references. Their
// argument checks, B's and rcond's included, are rows of argument_checks_test.cpp.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using linalg::lstsq;
using linalg::pinv;
using test::kEps;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::matrix_of;
using test::random_matrix;
using test::tensor_from;
using test::vector_from;
using test::vector_of;

const test::ReferenceFile& reference() {
  static const test::ReferenceFile file("least_squares.txt");
  return file;
}

/// The suffix "_RxC" of a reference name, e.g. "pinv_a_3x2" -> "3x2".
std::string shape_suffix(const std::string& name) { return name.substr(name.rfind('_') + 1); }

double relative_error(const Eigen::MatrixXd& actual, const Eigen::MatrixXd& expected) {
  const double scale = std::max(1.0, expected.cwiseAbs().maxCoeff());
  return (actual - expected).cwiseAbs().maxCoeff() / scale;
}

// ---------------------------------------------------------------- pinv

TEST(Pinv, MatchesNumpyInEveryOrientationAndLayout) {
  const auto names = reference().names_with_prefix("pinv_a_");
  ASSERT_EQ(names.size(), 10u);
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const Eigen::MatrixXd a = reference().matrix(name);
    const Eigen::MatrixXd expected = reference().matrix("pinv_p_" + shape_suffix(name));
    const Tensor p = pinv(tensor_from(a));
    ASSERT_EQ(p.shape()[0], a.cols());
    ASSERT_EQ(p.shape()[1], a.rows());
    EXPECT_LT(relative_error(matrix_of(p), expected), 1e-12);
    EXPECT_LT(relative_error(matrix_of(pinv(test::gapped_view_of(a))), expected), 1e-12);
    EXPECT_LT(relative_error(matrix_of(pinv(test::transposed_view_of(a))), expected), 1e-12);
  }
}

TEST(Pinv, DropsRoundingLevelValuesOfARankDeficientMatrix) {
  const Tensor p = pinv(tensor_from(reference().matrix("pinvlow_a")), 1e-10);
  EXPECT_LT(relative_error(matrix_of(p), reference().matrix("pinvlow_p")), 1e-10);
}

TEST(Pinv, SingularValueEqualToTheCutoffIsDropped) {
  // σ = (2, 1) and rcond 0.5: the cutoff is exactly 1.0.
  Eigen::MatrixXd expected(2, 2);
  expected << 0.5, 0.0, 0.0, 0.0;
  EXPECT_EQ(matrix_of(pinv(tensor_from({{2, 0}, {0, 1}}), 0.5)), expected);
  // Just below the cutoff the value is kept.
  expected(1, 1) = 1.0;
  EXPECT_EQ(matrix_of(pinv(tensor_from({{2, 0}, {0, 1}}), 0.4999)), expected);
}

TEST(Pinv, NegativeRcondSelectsTheDefaultCutoffAndZeroKeepsEveryPositiveValue) {
  const Tensor a = tensor_from({{1, 0}, {0, 1e-20}});
  Eigen::MatrixXd dropped(2, 2);
  dropped << 1.0, 0.0, 0.0, 0.0;
  EXPECT_EQ(matrix_of(pinv(a)), dropped);
  EXPECT_EQ(matrix_of(pinv(a, -3.0)), dropped);
  const Eigen::MatrixXd kept = matrix_of(pinv(a, 0.0));
  EXPECT_EQ(kept(0, 0), 1.0);
  EXPECT_DOUBLE_EQ(kept(1, 1), 1e20);
  EXPECT_EQ(kept(0, 1), 0.0);
  EXPECT_EQ(kept(1, 0), 0.0);

  // The default is max(m, n) · ε, tall or wide: with σ = (1, σ₁) in a 4 x 2
  // matrix the cutoff is 4ε, so 3ε is dropped (min(m, n) · ε would keep it) and 5ε kept.
  for (const double sigma : {3 * kEps, 5 * kEps}) {
    SCOPED_TRACE(sigma);
    Eigen::MatrixXd tall = Eigen::MatrixXd::Zero(4, 2);
    tall(0, 0) = 1.0;
    tall(1, 1) = sigma;
    Eigen::MatrixXd expected = tall.transpose();
    expected(1, 1) = sigma > 4 * kEps ? 1.0 / sigma : 0.0;
    EXPECT_EQ(matrix_of(pinv(tensor_from(tall))), expected);
    EXPECT_EQ(matrix_of(pinv(tensor_from(Eigen::MatrixXd(tall.transpose())))),
              Eigen::MatrixXd(expected.transpose()));
  }
}

TEST(Pinv, InfiniteRcondAndZeroMatrixGiveZeros) {
  const Eigen::MatrixXd a = random_matrix(4, 3, 7);
  EXPECT_EQ(matrix_of(pinv(tensor_from(a), kInf)), Eigen::MatrixXd::Zero(3, 4));
  for (double rcond : {-1.0, 0.0, 0.5, kInf}) {
    SCOPED_TRACE(rcond);
    const Eigen::MatrixXd p = matrix_of(pinv(tensor_from(Eigen::MatrixXd::Zero(2, 3)), rcond));
    EXPECT_EQ(p, Eigen::MatrixXd::Zero(3, 2));
  }
}

TEST(Pinv, IsALeftInverseOfAFullColumnRankMatrix) {
  for (Eigen::Index rows : {2, 3, 9, 33}) {
    for (Eigen::Index cols : {1, 2, 8}) {
      if (cols > rows) continue;
      SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
      const Eigen::MatrixXd a = random_matrix(rows, cols, static_cast<unsigned>(rows * 100 + cols));
      const Eigen::MatrixXd identity = matrix_of(pinv(tensor_from(a))) * a;
      EXPECT_LT((identity - Eigen::MatrixXd::Identity(cols, cols)).cwiseAbs().maxCoeff(), 1e-12);
    }
  }
}

TEST(Pinv, OfAnInvertibleMatrixIsItsInverse) {
  const Eigen::MatrixXd a = random_matrix(5, 5, 11) + 3.0 * Eigen::MatrixXd::Identity(5, 5);
  EXPECT_LT(relative_error(matrix_of(pinv(tensor_from(a))), a.inverse()), 1e-13);
}

TEST(Pinv, EmptyMatrixGivesTheTransposedEmptyShape) {
  for (const auto& [rows, cols] : {std::pair{0L, 3L}, std::pair{3L, 0L}, std::pair{0L, 0L}}) {
    const Tensor p = pinv(make_tensor(Shape{rows, cols}));
    EXPECT_EQ(p.ndim(), 2);
    EXPECT_EQ(p.shape()[0], cols);
    EXPECT_EQ(p.shape()[1], rows);
  }
}

TEST(Pinv, NonFiniteEntriesReportTheSvdFailure) {
  for (double bad : {kNaN, kInf, -kInf}) {
    EXPECT_THROW_MSG(pinv(tensor_from({{1, 2}, {bad, 4}, {5, 6}})), std::runtime_error,
                     "zorvane: pinv failed -- SVD did not converge");
  }
}

// ---------------------------------------------------------------- lstsq

TEST(Lstsq, MatchesNumpyOnFullRankSystems) {
  const auto names = reference().names_with_prefix("lstsq_a_");
  ASSERT_EQ(names.size(), 6u);
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const std::string shape = shape_suffix(name);
    const Eigen::MatrixXd a = reference().matrix(name);
    const auto one = lstsq(tensor_from(a), vector_from(reference().vector("lstsq_b_" + shape)));
    EXPECT_EQ(one.rank, a.cols());
    ASSERT_EQ(one.x.ndim(), 1);
    EXPECT_LT(relative_error(vector_of(one.x), reference().vector("lstsq_x_" + shape)), 1e-12);

    const Eigen::MatrixXd bb = reference().matrix("lstsq_bb_" + shape);
    const auto many = lstsq(test::transposed_view_of(a), test::gapped_view_of(bb));
    EXPECT_EQ(many.rank, a.cols());
    EXPECT_LT(relative_error(matrix_of(many.x), reference().matrix("lstsq_xx_" + shape)), 1e-12);
  }
}

TEST(Lstsq, ZeroColumnGivesTheBasicSolution) {
  const auto result = lstsq(tensor_from({{1, 0}, {2, 0}, {3, 0}}), vector_from({1, 2, 3}));
  EXPECT_EQ(result.rank, 1);
  const Eigen::VectorXd x = vector_of(result.x);
  EXPECT_NEAR(x(0), 1.0, 1e-15);
  EXPECT_EQ(x(1), 0.0);
}

TEST(Lstsq, UnderdeterminedSystemGetsABasicNotMinimumNormSolution) {
  const Eigen::MatrixXd a = random_matrix(2, 4, 5);
  const Eigen::VectorXd b = Eigen::Vector2d(0.3, -0.7);
  const auto result = lstsq(tensor_from(a), vector_from(b));
  EXPECT_EQ(result.rank, 2);
  const Eigen::VectorXd x = vector_of(result.x);
  EXPECT_LT((a * x - b).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_EQ((x.array() == 0.0).count(), 2);  // the non-pivot unknowns
  const Eigen::VectorXd minimum_norm = matrix_of(pinv(tensor_from(a))) * b;
  EXPECT_GT(x.norm(), minimum_norm.norm() + 1e-6);
}

TEST(Lstsq, RankCountsOnlyPivotsAboveMinExtentTimesEpsilon) {
  // Pivots 1 and p of a 3 x 2 matrix: the threshold is min(3, 2) · ε · 1 = 2ε,
  // strict, so p = 2ε is not counted although the factorisation keeps it as a
  // non-zero pivot; p = 3ε is.
  for (const double pivot : {2 * kEps, 3 * kEps}) {
    SCOPED_TRACE(pivot);
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(3, 2);
    a(0, 0) = 1.0;
    a(1, 1) = pivot;
    EXPECT_EQ(lstsq(tensor_from(a), vector_from({1, 1, 1})).rank, pivot > 2 * kEps ? 2 : 1);
  }
}

TEST(Lstsq, ConsistentSquareSystemIsSolvedExactly) {
  const auto result = lstsq(tensor_from({{2, 1}, {1, 3}}), vector_from({3, 5}));
  EXPECT_EQ(result.rank, 2);
  const Eigen::VectorXd x = vector_of(result.x);
  EXPECT_NEAR(x(0), 0.8, 1e-15);
  EXPECT_NEAR(x(1), 1.4, 1e-15);
}

TEST(Lstsq, AllZeroMatrixGivesZerosAndRankZero) {
  const Tensor zero = tensor_from(Eigen::MatrixXd::Zero(3, 2));
  const auto one = lstsq(zero, vector_from({1, 2, 3}));
  EXPECT_EQ(one.rank, 0);
  EXPECT_EQ(vector_of(one.x), Eigen::VectorXd::Zero(2));
  const auto many = lstsq(zero, tensor_from(random_matrix(3, 4, 3)));
  EXPECT_EQ(many.rank, 0);
  EXPECT_EQ(matrix_of(many.x), Eigen::MatrixXd::Zero(2, 4));

  // A non-finite entry of B still reaches its column of x, as through the QR.
  for (const double bad : {kNaN, kInf, -kInf}) {
    EXPECT_TRUE(vector_of(lstsq(zero, vector_from({1, bad, 3})).x).array().isNaN().all());
    Eigen::MatrixXd b = random_matrix(3, 4, 3);
    b(2, 1) = bad;
    Eigen::MatrixXd x = matrix_of(lstsq(zero, tensor_from(b)).x);
    EXPECT_TRUE(x.col(1).array().isNaN().all());
    x.col(1).setZero();
    EXPECT_EQ(x, Eigen::MatrixXd::Zero(2, 4));
  }
}

TEST(Lstsq, NonFiniteEntryOfAMakesEveryUnknownNaN) {
  // Column 1 is the QR's first pivot; the bad entry sits in it or in column 0.
  for (const double bad : {kNaN, kInf, -kInf}) {
    for (const auto& [row, col] : {std::pair{2, 1}, std::pair{0, 0}}) {
      Eigen::MatrixXd a{{1, 2}, {3, 4}, {5, 7}};
      a(row, col) = bad;
      SCOPED_TRACE(std::to_string(bad) + " at " + std::to_string(row) + std::to_string(col));
      EXPECT_TRUE(vector_of(lstsq(tensor_from(a), vector_from({1, 2, 3})).x).array().isNaN().all());
      const Tensor x = lstsq(tensor_from(a), tensor_from(random_matrix(3, 2, 5))).x;
      EXPECT_TRUE(matrix_of(x).array().isNaN().all());
      const Tensor empty = lstsq(tensor_from(a), make_tensor(Shape{3, 0})).x;
      EXPECT_EQ(empty.shape()[0], 2);
      EXPECT_EQ(empty.shape()[1], 0);
    }
  }
}

TEST(Lstsq, NonFiniteEntriesOfBPropagateInsteadOfRaising) {
  const auto nan_b = lstsq(tensor_from({{1, 0}, {0, 1}, {1, 1}}), vector_from({1, kNaN, 3}));
  EXPECT_TRUE(vector_of(nan_b.x).array().isNaN().any());
}

TEST(Lstsq, ResultFollowsTheShapeOfB) {
  const Tensor a = tensor_from(random_matrix(5, 3, 2));
  const auto vector_case = lstsq(a, vector_from(Eigen::VectorXd::Ones(5)));
  ASSERT_EQ(vector_case.x.ndim(), 1);
  EXPECT_EQ(vector_case.x.shape()[0], 3);
  const auto column_case = lstsq(a, tensor_from(Eigen::MatrixXd::Ones(5, 1)));
  ASSERT_EQ(column_case.x.ndim(), 2);
  EXPECT_EQ(column_case.x.shape()[0], 3);
  EXPECT_EQ(column_case.x.shape()[1], 1);
  EXPECT_TRUE(matrix_of(column_case.x).col(0).isApprox(vector_of(vector_case.x), 1e-14));
}

TEST(Lstsq, EmptyExtentGivesZerosOfTheRequestedShape) {
  const auto wide = lstsq(make_tensor(Shape{0, 3}), make_tensor(Shape{0, 2}));
  EXPECT_EQ(wide.rank, 0);
  EXPECT_EQ(matrix_of(wide.x), Eigen::MatrixXd::Zero(3, 2));
  const auto no_rows = lstsq(make_tensor(Shape{0, 3}), make_tensor(Shape{0}));
  EXPECT_EQ(vector_of(no_rows.x), Eigen::VectorXd::Zero(3));
  const auto no_columns = lstsq(make_tensor(Shape{3, 0}), vector_from({1, 2, 3}));
  EXPECT_EQ(no_columns.rank, 0);
  ASSERT_EQ(no_columns.x.ndim(), 1);
  EXPECT_EQ(no_columns.x.shape()[0], 0);
}

}  // namespace
}  // namespace zorvane
