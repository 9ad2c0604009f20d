// The transfer between tensors and working matrices, the symmetry test and
// trace. The argument checks of every operation are rows of
// argument_checks_test.cpp.
#include <cmath>
#include <utility>

#include "test_util.h"

namespace zorvane {
namespace {

using linalg::detail::gather_matrix;
using linalg::detail::require_symmetric;
using linalg::detail::scatter_matrix;
using test::kCpu;
using test::kEps;
using test::make_tensor;
using test::tensor_from;

TEST(GatherMatrix, ContiguousRowMajor) {
  const Tensor t = tensor_from({{1, 2, 3}, {4, 5, 6}});
  Eigen::MatrixXd expected(2, 3);
  expected << 1, 2, 3, 4, 5, 6;
  EXPECT_EQ(gather_matrix(t), expected);
}

TEST(GatherMatrix, EveryOtherRowAndColumnOfAWideBuffer) {
  // A row-major buffer 10 elements wide; strides (20, 2) take rows 0, 2, 4
  // and columns 0, 2, 4, 6.
  Tensor buffer(Shape{6, 10}, DType::Float64, kCpu);
  for (int k = 0; k < 60; ++k) buffer.data()[k] = k;
  const Tensor view = buffer.as_strided(Shape{3, 4}, Strides{20, 2});
  const Eigen::MatrixXd m = gather_matrix(view);
  ASSERT_EQ(m.rows(), 3);
  ASSERT_EQ(m.cols(), 4);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 4; ++j) EXPECT_EQ(m(i, j), 20 * i + 2 * j) << i << "," << j;
  }
}

TEST(GatherMatrix, TransposedGappedAndReversedViews) {
  const Eigen::MatrixXd a = test::random_matrix(5, 3, 11);
  EXPECT_EQ(gather_matrix(test::transposed_view_of(a)), a);
  EXPECT_EQ(gather_matrix(test::gapped_view_of(a)), a);

  // Negative strides: the buffer holds `a` upside down and right to left.
  const Tensor flipped = tensor_from(Eigen::MatrixXd(a.colwise().reverse().rowwise().reverse()));
  const Tensor view = flipped.as_strided(Shape{5, 3}, Strides{-3, -1}, 14);
  EXPECT_EQ(gather_matrix(view), a);
}

TEST(GatherMatrix, ZeroExtentsKeepTheirDimensions) {
  for (const auto& [rows, cols] : {std::pair<long, long>{0, 0}, {0, 4}, {3, 0}}) {
    const Eigen::MatrixXd m = gather_matrix(make_tensor(Shape{rows, cols}));
    EXPECT_EQ(m.rows(), rows);
    EXPECT_EQ(m.cols(), cols);
  }
}

TEST(GatherVector, ReadsEveryStride) {
  Tensor buffer(Shape{7}, DType::Float64, kCpu);
  for (int k = 0; k < 7; ++k) buffer.data()[k] = k;
  EXPECT_EQ(test::vector_of(buffer.as_strided(Shape{3}, Strides{3})), Eigen::Vector3d(0, 3, 6));
  EXPECT_EQ(test::vector_of(buffer.as_strided(Shape{3}, Strides{-2}, 6)), Eigen::Vector3d(6, 4, 2));
}

TEST(ScatterMatrix, WritesRowMajorFloat64CpuTensor) {
  Eigen::MatrixXd m(2, 3);
  m << 1, 2, 3, 4, 5, 6;
  const Tensor t = scatter_matrix(m);
  ASSERT_EQ(t.ndim(), 2);
  EXPECT_EQ(t.shape()[0], 2);
  EXPECT_EQ(t.shape()[1], 3);
  EXPECT_EQ(t.dtype(), DType::Float64);
  EXPECT_EQ(t.device().kind, DeviceKind::CPU);
  EXPECT_EQ(t.device().index, -1);
  const std::vector<double> buffer(t.data(), t.data() + 6);
  EXPECT_EQ(buffer, (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

TEST(ScatterMatrix, EmptyMatrixKeepsItsShape) {
  const Tensor t = scatter_matrix(Eigen::MatrixXd(3, 0));
  EXPECT_EQ(t.shape()[0], 3);
  EXPECT_EQ(t.shape()[1], 0);
  EXPECT_EQ(t.numel(), 0);
}

TEST(ScatterMatrix, RoundTripsThroughGather) {
  const Eigen::MatrixXd a = test::random_matrix(7, 9, 3);
  EXPECT_EQ(gather_matrix(scatter_matrix(a)), a);
}

TEST(RequireSymmetric, AcceptsAsymmetryEqualToTolerance) {
  // Largest entry 4, n = 2: tolerance 8ε; 4 + 8ε - 4 is exactly 8ε.
  Eigen::MatrixXd a(2, 2);
  a << 4.0, 1.0, 1.0 + 8 * kEps, 3.0;
  ASSERT_EQ(std::abs(a(1, 0) - a(0, 1)), 2 * 4.0 * kEps);
  EXPECT_NO_THROW(require_symmetric(a, "eig_sym"));
}

TEST(RequireSymmetric, RejectsAsymmetryOneUlpAboveTolerance) {
  Eigen::MatrixXd a(2, 2);
  a << 4.0, 1.0, 1.0 + 10 * kEps, 3.0;
  EXPECT_THROW_MSG(require_symmetric(a, "eig_sym"), std::invalid_argument,
                   "zorvane: eig_sym requires a symmetric matrix");
  EXPECT_THROW_MSG(require_symmetric(a.transpose(), "cholesky"), std::invalid_argument,
                   "zorvane: cholesky requires a symmetric matrix");
}

TEST(RequireSymmetric, ToleranceScalesWithOrderAndLargestEntry) {
  // n = 3, largest entry 1e6: tolerance 3e6ε.
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(3, 3) * 1e6;
  a(0, 2) = 0.5;
  a(2, 0) = 0.5 + 2e6 * kEps;
  EXPECT_NO_THROW(require_symmetric(a, "eig_sym"));
  a(2, 0) = 0.5 + 4e6 * kEps;
  EXPECT_THROW(require_symmetric(a, "eig_sym"), std::invalid_argument);
}

TEST(RequireSymmetric, FindsAnAsymmetryInEveryTileOfALargeMatrix) {
  // 70 x 70: full, diagonal and partial tiles of the walk over large matrices.
  const std::pair<int, int> positions[] = {{0, 69}, {40, 1}, {31, 32}, {33, 32},
                                           {69, 68}, {5, 37}, {64, 65}};
  for (const auto& [i, j] : positions) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Identity(70, 70);
    a(i, j) = 0.5;
    EXPECT_THROW(require_symmetric(a, "eig_sym"), std::invalid_argument) << i << ", " << j;
  }
}

TEST(RequireSymmetric, ZeroEmptyAndOneByOneMatricesPass) {
  EXPECT_NO_THROW(require_symmetric(Eigen::MatrixXd::Zero(4, 4), "eig_sym"));
  EXPECT_NO_THROW(require_symmetric(Eigen::MatrixXd(0, 0), "eig_sym"));
  EXPECT_NO_THROW(require_symmetric(Eigen::MatrixXd::Constant(1, 1, -3.0), "eig_sym"));
}

TEST(RequireSymmetric, LargestEntryBelowOneStillScalesTheTolerance) {
  // Largest entry below 1 still scales the tolerance: max 1e-3 gives 2e-3ε.
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(2, 2);
  a(0, 1) = 1e-3;
  a(1, 0) = 1e-3 * (1 + 4 * kEps);
  EXPECT_THROW(require_symmetric(a, "eig_sym"), std::invalid_argument);
}

TEST(RequireSymmetric, NaNNeitherFailsTheCheckNorHidesTheScale) {
  const double nan = test::kNaN;
  Eigen::MatrixXd a(3, 3);
  a << 1.0, nan, 0.0, 2.0, 1.0, 0.0, 0.0, 0.0, 1.0;
  EXPECT_NO_THROW(require_symmetric(a, "eig_sym"));  // the NaN pair is no evidence

  // A NaN must not stand in for the largest entry: the real asymmetry of
  // 1e-10 against a scale of 1 still fails.
  Eigen::MatrixXd b = Eigen::MatrixXd::Identity(3, 3);
  b(0, 0) = nan;
  b(1, 2) = 1e-10;
  EXPECT_THROW(require_symmetric(b, "eig_sym"), std::invalid_argument);
}

TEST(Trace, SumsTheDiagonal) {
  EXPECT_EQ(linalg::trace(tensor_from({{1, 2}, {3, 4}})), 5.0);
  EXPECT_EQ(linalg::trace(tensor_from({{-2.5}})), -2.5);
  EXPECT_EQ(linalg::trace(make_tensor(Shape{0, 0})), 0.0);
}

TEST(Trace, ReadsViewsInPlace) {
  const Eigen::MatrixXd a = test::random_matrix(6, 6, 5);
  const double expected = linalg::trace(tensor_from(a));
  EXPECT_EQ(linalg::trace(test::transposed_view_of(a)), expected);
  EXPECT_EQ(linalg::trace(test::gapped_view_of(a)), expected);
  // Strides (1, n) over the same storage: the transpose has the same diagonal.
  const Tensor t = tensor_from(a);
  EXPECT_EQ(linalg::trace(t.as_strided(Shape{6, 6}, Strides{1, 6})), expected);
  // A 1 x 1 view may carry any strides: their sum would overflow, while the
  // offset of its only element is 0.
  const long huge = (long{1} << 62) + 1;
  EXPECT_EQ(linalg::trace(tensor_from({{7}}).as_strided(Shape{1, 1}, Strides{huge, huge})), 7.0);
}

TEST(Trace, SumsInIncreasingIndexOrder) {
  // 1e16 + 1 - 1e16 is 0 in left-to-right order, but 1 in any other.
  const Tensor t = tensor_from({{1e16, 0, 0}, {0, 1, 0}, {0, 0, -1e16}});
  EXPECT_EQ(linalg::trace(t), 0.0);
}

}  // namespace
}  // namespace zorvane
