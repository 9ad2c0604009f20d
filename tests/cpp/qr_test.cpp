// Thin Householder QR.
#include <algorithm>
#include <cmath>
#include <utility>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using Eigen::MatrixXd;
using test::kEps;
using test::kNaN;
using test::make_tensor;
using test::mat;
using test::matrix_of;
using test::tensor_from;

struct Factors {
  MatrixXd Q, R;
};

Factors factors_of(const Tensor& A) {
  const linalg::QRResult r = linalg::qr(A);
  return Factors{matrix_of(r.Q), matrix_of(r.R)};
}

bool exactly_upper(const MatrixXd& r) {
  for (Eigen::Index j = 0; j < r.cols(); ++j) {
    for (Eigen::Index i = j + 1; i < r.rows(); ++i) {
      if (r(i, j) != 0.0) return false;
    }
  }
  return true;
}

TEST(Qr, SquareExampleKeepsNegativeDiagonal) {
  const double s = std::sqrt(10.0);
  const Factors f = factors_of(tensor_from({{1, 2}, {3, 4}}));
  EXPECT_TRUE(f.R.isApprox(mat({{-s, -14 / s}, {0, -2 / s}}), 4 * kEps));
  EXPECT_TRUE(f.Q.isApprox(mat({{-1 / s, -3 / s}, {-3 / s, 1 / s}}), 4 * kEps));
  EXPECT_EQ(f.R(1, 0), 0.0);
  EXPECT_LT(f.R(0, 0), 0.0);
  EXPECT_LT(f.R(1, 1), 0.0);
  EXPECT_TRUE((f.Q * f.R).isApprox(mat({{1, 2}, {3, 4}}), 4 * kEps));
}

TEST(Qr, SingleColumns) {
  Factors f = factors_of(tensor_from({{3}, {4}}));
  EXPECT_TRUE(f.R.isApprox(mat({{-5}}), 2 * kEps));
  EXPECT_TRUE(f.Q.isApprox(mat({{-0.6}, {-0.8}}), 2 * kEps));
  // Nothing below the first entry: no reflection and no sign change.
  f = factors_of(tensor_from({{-2}, {0}}));
  EXPECT_EQ(f.R, mat({{-2}}));
  EXPECT_EQ(f.Q, mat({{1}, {0}}));
}

TEST(Qr, SingleRowIsItsOwnR) {
  for (const double a : {1.5, -1.5}) {
    const Factors f = factors_of(tensor_from({{a, 2, -3}}));
    EXPECT_EQ(f.Q, mat({{1}}));
    EXPECT_EQ(f.R, mat({{a, 2, -3}}));
  }
}

TEST(Qr, ThinShapesOfBothOrientations) {
  const linalg::QRResult tall = linalg::qr(tensor_from(test::random_matrix(3, 2, 5)));
  EXPECT_EQ(tall.Q.shape()[0], 3);
  EXPECT_EQ(tall.Q.shape()[1], 2);
  EXPECT_EQ(tall.R.shape()[0], 2);
  EXPECT_EQ(tall.R.shape()[1], 2);
  const linalg::QRResult wide = linalg::qr(tensor_from(test::random_matrix(2, 3, 6)));
  EXPECT_EQ(wide.Q.shape()[0], 2);
  EXPECT_EQ(wide.Q.shape()[1], 2);
  EXPECT_EQ(wide.R.shape()[0], 2);
  EXPECT_EQ(wide.R.shape()[1], 3);
  EXPECT_EQ(matrix_of(wide.R)(1, 0), 0.0);
}

class QrReconstruction : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(QrReconstruction, OrthonormalQTimesUpperREqualsA) {
  const auto [m, n] = GetParam();
  const int k = std::min(m, n);
  const MatrixXd a = test::random_matrix(m, n, static_cast<unsigned>(300 + 40 * m + n));
  const Factors f = factors_of(tensor_from(a));
  ASSERT_EQ(f.Q.rows(), m);
  ASSERT_EQ(f.Q.cols(), k);
  ASSERT_EQ(f.R.rows(), k);
  ASSERT_EQ(f.R.cols(), n);
  EXPECT_TRUE(exactly_upper(f.R));
  const double bound = 8 * std::max(m, n) * kEps;
  EXPECT_LE((f.Q * f.R - a).cwiseAbs().maxCoeff(), bound * a.cwiseAbs().maxCoeff() * k);
  EXPECT_LE((f.Q.transpose() * f.Q - MatrixXd::Identity(k, k)).cwiseAbs().maxCoeff(), bound);

  // Factorising the private copy in place leaves the results of the owning decomposition.
  if (!test::library_runs_baseline()) return;
  const Eigen::HouseholderQR<MatrixXd> expected(a);
  EXPECT_EQ(f.Q, MatrixXd(expected.householderQ() * MatrixXd::Identity(m, k)));
  EXPECT_EQ(f.R, MatrixXd(expected.matrixQR().topRows(k).triangularView<Eigen::Upper>()));
}

INSTANTIATE_TEST_SUITE_P(Shapes, QrReconstruction,
                         ::testing::Values(std::pair{1, 1}, std::pair{2, 2}, std::pair{7, 7},
                                           std::pair{16, 16}, std::pair{33, 33}, std::pair{9, 4},
                                           std::pair{4, 9}, std::pair{17, 8}, std::pair{8, 17},
                                           std::pair{32, 31}, std::pair{31, 32},
                                           std::pair{64, 15}, std::pair{15, 64}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" +
                                  std::to_string(info.param.second);
                         });

TEST(Qr, RankDeficiencyShowsOnTheDiagonal) {
  MatrixXd a = test::random_matrix(5, 3, 9);
  a.col(2) = a.col(1);
  const Factors f = factors_of(tensor_from(a));
  EXPECT_LE(std::abs(f.R(2, 2)), 8 * kEps * a.norm());
  EXPECT_TRUE((f.Q * f.R).isApprox(a, 16 * kEps));
}

TEST(Qr, ZeroExtents) {
  for (const auto& [m, n] : {std::pair<long, long>{4, 0}, {0, 3}, {0, 0}}) {
    const linalg::QRResult r = linalg::qr(make_tensor(Shape{m, n}));
    const long k = std::min(m, n);
    EXPECT_EQ(r.Q.shape()[0], m);
    EXPECT_EQ(r.Q.shape()[1], k);
    EXPECT_EQ(r.R.shape()[0], k);
    EXPECT_EQ(r.R.shape()[1], n);
  }
}

TEST(Qr, NonFiniteInputIsFactorisedWithoutComplaint) {
  const Factors f = factors_of(tensor_from({{1, 2}, {3, kNaN}, {5, 6}}));
  EXPECT_TRUE(std::isnan(f.R(1, 1)));
  EXPECT_EQ(f.R(1, 0), 0.0);
}

TEST(Qr, ViewsGiveTheFactorsOfTheirContiguousCopies) {
  const MatrixXd a = test::random_matrix(6, 4, 13);
  const Factors expected = factors_of(tensor_from(a));
  for (const Tensor& view : {test::transposed_view_of(a), test::gapped_view_of(a), test::padded_view_of(a)}) {
    const Factors f = factors_of(view);
    EXPECT_EQ(f.Q, expected.Q);
    EXPECT_EQ(f.R, expected.R);
  }
}

// |R| against NumPy: the rows of R are determined up to their signs, and the
// forward error grows with the order and the condition number.
void expect_abs_r_matches(const test::ReferenceFile& ref, const std::string& key) {
  SCOPED_TRACE(key);
  const MatrixXd a = ref.matrix(key + "A");
  const MatrixXd expected = ref.matrix(key + "abs_R");
  const MatrixXd r = matrix_of(linalg::qr(tensor_from(a)).R);
  ASSERT_EQ(r.rows(), expected.rows());
  ASSERT_EQ(r.cols(), expected.cols());
  const double bound = 8 * std::max(a.rows(), a.cols()) * kEps * ref.scalar(key + "cond") *
                       ref.vector(key + "S")(0);
  EXPECT_LE((r.cwiseAbs() - expected).cwiseAbs().maxCoeff(), bound);
}

TEST(QrReference, AbsoluteRAgreesWithNumPy) {
  const test::ReferenceFile ref("factorisations.txt");
  for (const double size : ref.vector("square.sizes")) {
    expect_abs_r_matches(ref, test::square_key(size));
  }
  const MatrixXd shapes = ref.matrix("rect.shapes");
  for (Eigen::Index s = 0; s < shapes.rows(); ++s) {
    expect_abs_r_matches(ref, test::rect_key(shapes(s, 0), shapes(s, 1)));
  }
}

}  // namespace
}  // namespace zorvane
