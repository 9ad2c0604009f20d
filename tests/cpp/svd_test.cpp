// Thin singular value decomposition.
#include <algorithm>
#include <cmath>
#include <utility>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using test::kEps;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::mat;
using test::matrix_of;
using test::tensor_from;
using test::vector_of;

const char* const kNoConvergence = "zorvane: svd failed to converge";

struct Factors {
  MatrixXd U;
  VectorXd S;
  MatrixXd Vt;
};

Factors factors_of(const Tensor& A) {
  const linalg::SVDResult r = linalg::svd(A);
  EXPECT_EQ(r.S.ndim(), 1);
  return Factors{matrix_of(r.U), vector_of(r.S), matrix_of(r.Vt)};
}

TEST(Svd, OneByOneSignLandsInU) {
  for (const double a : {2.5, 0.0, -2.5}) {
    const Factors f = factors_of(tensor_from({{a}}));
    EXPECT_EQ(f.S, VectorXd::Constant(1, std::abs(a)));
    EXPECT_EQ(f.Vt, mat({{1}}));
    EXPECT_EQ(f.U, mat({{a < 0 ? -1.0 : 1.0}}));
  }
}

TEST(Svd, DiagonalInputsSortTheValues) {
  Factors f = factors_of(tensor_from({{3, 0}, {0, 2}}));
  EXPECT_EQ(f.S, VectorXd(Eigen::Vector2d(3, 2)));
  f = factors_of(tensor_from({{2, 0}, {0, 3}}));
  EXPECT_EQ(f.S, VectorXd(Eigen::Vector2d(3, 2)));
  // The value 3 belongs to the second coordinate, in U's columns and Vt's rows.
  EXPECT_EQ(f.U.cwiseAbs(), mat({{0, 1}, {1, 0}}));
  EXPECT_EQ(f.Vt.cwiseAbs(), mat({{0, 1}, {1, 0}}));
}

class SvdReconstruction : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(SvdReconstruction, OrthonormalFactorsReproduceA) {
  const auto [m, n] = GetParam();
  const int k = std::min(m, n);
  const MatrixXd a = test::random_matrix(m, n, static_cast<unsigned>(500 + 40 * m + n));
  const Factors f = factors_of(tensor_from(a));
  ASSERT_EQ(f.U.rows(), m);
  ASSERT_EQ(f.U.cols(), k);
  ASSERT_EQ(f.S.size(), k);
  ASSERT_EQ(f.Vt.rows(), k);
  ASSERT_EQ(f.Vt.cols(), n);
  EXPECT_TRUE((f.S.array() >= 0.0).all());
  for (int j = 1; j < k; ++j) EXPECT_GE(f.S(j - 1), f.S(j));
  const double bound = 16 * std::max(m, n) * kEps;
  EXPECT_LE((f.U * f.S.asDiagonal() * f.Vt - a).cwiseAbs().maxCoeff(), bound * f.S(0));
  EXPECT_LE((f.U.transpose() * f.U - MatrixXd::Identity(k, k)).cwiseAbs().maxCoeff(), bound);
  EXPECT_LE((f.Vt * f.Vt.transpose() - MatrixXd::Identity(k, k)).cwiseAbs().maxCoeff(), bound);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SvdReconstruction,
                         ::testing::Values(std::pair{1, 1}, std::pair{2, 2}, std::pair{8, 8},
                                           std::pair{17, 17}, std::pair{3, 2}, std::pair{2, 3},
                                           std::pair{9, 7}, std::pair{7, 9}, std::pair{16, 15},
                                           std::pair{15, 16}, std::pair{33, 32},
                                           std::pair{32, 33}, std::pair{40, 1},
                                           std::pair{1, 40}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" +
                                  std::to_string(info.param.second);
                         });

TEST(Svd, RankDeficientInputHasTrailingZeros) {
  MatrixXd a = test::random_matrix(6, 4, 21);
  a.col(3) = a.col(0) - a.col(1);
  const Factors f = factors_of(tensor_from(a));
  EXPECT_LE(f.S(3), 8 * kEps * f.S(0));
  EXPECT_GT(f.S(2), 1e-3);
}

TEST(Svd, ZeroExtentsGiveEmptyFactors) {
  for (const auto& [m, n] : {std::pair<long, long>{4, 0}, {0, 3}, {0, 0}}) {
    const linalg::SVDResult r = linalg::svd(make_tensor(Shape{m, n}));
    EXPECT_EQ(r.U.shape()[0], m);
    EXPECT_EQ(r.U.shape()[1], 0);
    ASSERT_EQ(r.S.ndim(), 1);
    EXPECT_EQ(r.S.shape()[0], 0);
    EXPECT_EQ(r.Vt.shape()[0], 0);
    EXPECT_EQ(r.Vt.shape()[1], n);
  }
}

TEST(Svd, NonFiniteEntriesFailInEveryOrientation) {
  for (const double bad : {kNaN, kInf, -kInf}) {
    for (const auto& [m, n] :
         {std::pair{1, 1}, std::pair{3, 3}, std::pair{4, 2}, std::pair{2, 4}}) {
      MatrixXd a = test::random_matrix(m, n, 3);
      a(m - 1, n - 1) = bad;
      EXPECT_THROW_MSG(linalg::svd(tensor_from(a)), std::runtime_error, kNoConvergence);
    }
  }
}

TEST(Svd, ViewsGiveTheFactorsOfTheirContiguousCopies) {
  const MatrixXd a = test::random_matrix(5, 3, 23);
  const Factors expected = factors_of(tensor_from(a));
  for (const Tensor& view : {test::transposed_view_of(a), test::gapped_view_of(a), test::padded_view_of(a)}) {
    const Factors f = factors_of(view);
    EXPECT_EQ(f.U, expected.U);
    EXPECT_EQ(f.S, expected.S);
    EXPECT_EQ(f.Vt, expected.Vt);
  }
}

// Singular values against NumPy: absolute error of order ε times the largest.
void expect_singular_values_match(const test::ReferenceFile& ref, const std::string& key) {
  SCOPED_TRACE(key);
  const MatrixXd a = ref.matrix(key + "A");
  const VectorXd expected = ref.vector(key + "S");
  const VectorXd s = vector_of(linalg::svd(tensor_from(a)).S);
  ASSERT_EQ(s.size(), expected.size());
  const double bound = 8 * std::max(a.rows(), a.cols()) * kEps * expected(0);
  EXPECT_LE((s - expected).cwiseAbs().maxCoeff(), bound);
}

TEST(SvdReference, SingularValuesAgreeWithNumPy) {
  const test::ReferenceFile ref("factorisations.txt");
  for (const double size : ref.vector("square.sizes")) {
    expect_singular_values_match(ref, test::square_key(size));
  }
  const MatrixXd shapes = ref.matrix("rect.shapes");
  for (Eigen::Index s = 0; s < shapes.rows(); ++s) {
    expect_singular_values_match(ref, test::rect_key(shapes(s, 0), shapes(s, 1)));
  }
}

}  // namespace
}  // namespace zorvane
