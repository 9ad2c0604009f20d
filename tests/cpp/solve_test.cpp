// Linear solve and inverse. Their argument checks, and the order in which
// solve tests A, B and the factorisation, are rows of argument_checks_test.cpp.
#include <cmath>

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
using test::matrix_of;
using test::tensor_from;
using test::vector_from;
using test::vector_of;

const char* const kSolveSingular =
    "zorvane: solve failed -- matrix A is singular or numerically singular";
const char* const kInvSingular =
    "zorvane: inv failed -- matrix A is singular or numerically singular";

void expect_shape(const Tensor& t, std::initializer_list<long> extents) {
  ASSERT_EQ(t.ndim(), static_cast<std::int64_t>(extents.size()));
  std::size_t d = 0;
  for (const long e : extents) EXPECT_EQ(t.shape()[d++], e) << "dimension " << d - 1;
}

TEST(Solve, OneAndSeveralRightHandSides) {
  const Tensor a = tensor_from({{2, 1}, {1, 3}});
  const Tensor x = linalg::solve(a, vector_from({3, 4}));
  expect_shape(x, {2});
  EXPECT_TRUE(vector_of(x).isApprox(VectorXd::Ones(2), 4 * kEps));
  const Tensor X = linalg::solve(a, tensor_from({{3}, {4}}));
  expect_shape(X, {2, 1});
  EXPECT_TRUE(matrix_of(X).isApprox(MatrixXd::Ones(2, 1), 4 * kEps));
}

TEST(Solve, OneColumnGivesTheBitsOfTheVector) {
  for (const Eigen::Index n : {2, 3, 4, 5, 9}) {
    const Tensor a = tensor_from(test::random_matrix(n, n, 40));
    const MatrixXd b = test::random_matrix(n, 1, 41);
    EXPECT_EQ(matrix_of(linalg::solve(a, tensor_from(b))).col(0),
              vector_of(linalg::solve(a, vector_from(b.col(0)))))
        << "n = " << n;
  }
}

TEST(Solve, WithTheIdentityGivesTheInverse) {
  const Tensor a = tensor_from({{4, 7}, {2, 6}});
  MatrixXd expected(2, 2);
  expected << 0.6, -0.7, -0.2, 0.4;
  EXPECT_TRUE(matrix_of(linalg::inv(a)).isApprox(expected, 4 * kEps));
  EXPECT_TRUE(matrix_of(linalg::solve(a, tensor_from(MatrixXd::Identity(2, 2))))
                  .isApprox(expected, 4 * kEps));
}

TEST(Solve, ColumnsAreSolvedIndependently) {
  const MatrixXd a = test::random_matrix(9, 9, 31);
  const MatrixXd b = test::random_matrix(9, 4, 32);
  const MatrixXd X = matrix_of(linalg::solve(tensor_from(a), tensor_from(b)));
  EXPECT_LE((a * X - b).cwiseAbs().maxCoeff(), 1e-12);
  for (Eigen::Index j = 0; j < b.cols(); ++j) {
    const VectorXd column = vector_of(linalg::solve(tensor_from(a), vector_from(b.col(j))));
    EXPECT_TRUE(X.col(j).isApprox(column, 16 * kEps)) << "column " << j;
  }
  expect_shape(linalg::solve(tensor_from(a), make_tensor(Shape{9, 0})), {9, 0});
}

TEST(Solve, ResidualIsSmallForBlockBoundarySizes) {
  for (const int n : {1, 7, 8, 9, 15, 16, 17, 31, 32, 33}) {
    const MatrixXd a = test::random_matrix(n, n, 40 + static_cast<unsigned>(n));
    const MatrixXd b = test::random_matrix(n, 3, 80 + static_cast<unsigned>(n));
    const MatrixXd X = matrix_of(linalg::solve(tensor_from(a), tensor_from(b)));
    const MatrixXd inverse = matrix_of(linalg::inv(tensor_from(a)));
    const double cond = a.norm() * inverse.norm();
    EXPECT_LE((a * X - b).cwiseAbs().maxCoeff(), n * kEps * cond * 8) << "n = " << n;
    EXPECT_LE((a * inverse - MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff(), n * kEps * cond * 8)
        << "n = " << n;
  }
}

// solve and inv run the decomposition's own solve steps on a buffer made once
// per call: the very bits of FullPivLU's solve and inverse.
TEST(Solve, SameBitsAsTheDecompositionAboveTheFixedOrders) {
  if (!test::library_runs_baseline()) GTEST_SKIP() << "Eigen here rounds as the baseline only";
  for (const Eigen::Index n : {1, 5, 8, 17, 33}) {
    const MatrixXd a = test::random_matrix(n, n, 300 + static_cast<unsigned>(n));
    const MatrixXd b = test::random_matrix(n, 3, 400 + static_cast<unsigned>(n));
    const Eigen::FullPivLU<MatrixXd> expected(a);
    EXPECT_TRUE(matrix_of(linalg::solve(tensor_from(a), tensor_from(b)))
                    .cwiseEqual(MatrixXd(expected.solve(b)))
                    .all()) << n;
    const VectorXd v = b.col(0);
    EXPECT_TRUE(vector_of(linalg::solve(tensor_from(a), vector_from(v)))
                    .cwiseEqual(VectorXd(expected.solve(v)))
                    .all()) << n;
    EXPECT_TRUE(
        matrix_of(linalg::inv(tensor_from(a))).cwiseEqual(MatrixXd(expected.inverse())).all())
        << n;
  }
}

TEST(Solve, SingularMatricesAreRejected) {
  const struct {
    const char* label;
    MatrixXd a;
  } cases[] = {
      {"exactly singular", matrix_of(tensor_from({{1, 2}, {2, 4}}))},
      // Determinant 2^-52, yet the second pivot is not above 2 · 2^-52 · (1 + 2^-52).
      {"numerically singular", matrix_of(tensor_from({{1, 1}, {1, 1 + kEps}}))},
      {"NaN pivot", matrix_of(tensor_from({{1, 0}, {0, kNaN}}))},
      {"NaN off the diagonal", matrix_of(tensor_from({{2, kNaN}, {0, 1}}))},
      {"infinite entry", matrix_of(tensor_from({{kInf, 0}, {0, 1}}))},
      {"zero 1 x 1", MatrixXd::Zero(1, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_THROW_MSG(linalg::solve(tensor_from(c.a), vector_from(VectorXd::Ones(c.a.rows()))),
                     std::runtime_error, kSolveSingular);
    EXPECT_THROW_MSG(linalg::inv(tensor_from(c.a)), std::runtime_error, kInvSingular);
  }
}

TEST(Solve, NaNInTheRightHandSidePropagates) {
  const VectorXd x =
      vector_of(linalg::solve(tensor_from({{2, 0}, {0, 4}}), vector_from({kNaN, 8})));
  ASSERT_EQ(x.size(), 2);
  EXPECT_TRUE(std::isnan(x(0)));  // the elimination may carry it into other entries too
}

TEST(Inv, OneByOne) {
  EXPECT_EQ(matrix_of(linalg::inv(tensor_from({{4}}))), MatrixXd::Constant(1, 1, 0.25));
  EXPECT_EQ(matrix_of(linalg::inv(tensor_from({{-0.5}}))), MatrixXd::Constant(1, 1, -2.0));
}

TEST(Solve, ZeroExtents) {
  const Tensor empty = make_tensor(Shape{0, 0});
  expect_shape(linalg::solve(empty, make_tensor(Shape{0})), {0});
  expect_shape(linalg::solve(empty, make_tensor(Shape{0, 3})), {0, 3});
  expect_shape(linalg::inv(empty), {0, 0});
}

TEST(Solve, ViewsGiveTheResultsOfTheirContiguousCopies) {
  const MatrixXd a = test::random_matrix(5, 5, 51);
  const MatrixXd b = test::random_matrix(5, 2, 52);
  const MatrixXd expected = matrix_of(linalg::solve(tensor_from(a), tensor_from(b)));
  EXPECT_EQ(matrix_of(linalg::solve(test::transposed_view_of(a), test::gapped_view_of(b))),
            expected);
  EXPECT_EQ(matrix_of(linalg::solve(test::gapped_view_of(a), test::transposed_view_of(b))),
            expected);
  // A strided 1-D right-hand side: column 1 of b's row-major storage.
  const Tensor b_storage = tensor_from(b);
  const Tensor column = b_storage.as_strided(Shape{5}, Strides{2}, 1);
  EXPECT_EQ(vector_of(linalg::solve(tensor_from(a), column)),
            vector_of(linalg::solve(tensor_from(a), vector_from(b.col(1)))));
  EXPECT_EQ(matrix_of(linalg::inv(test::transposed_view_of(a))),
            matrix_of(linalg::inv(tensor_from(a))));
}

// Solutions and inverses against NumPy; the forward error is bounded by the
// order times the condition number times ε.
TEST(SolveReference, AgreesWithNumPy) {
  const test::ReferenceFile ref("factorisations.txt");
  for (const double size : ref.vector("square.sizes")) {
    const std::string key = test::square_key(size);
    SCOPED_TRACE(key);
    const Tensor a = tensor_from(ref.matrix(key + "A"));
    const double bound = 8 * size * kEps * ref.scalar(key + "cond");

    const MatrixXd X = ref.matrix(key + "X");
    EXPECT_LE((matrix_of(linalg::solve(a, tensor_from(ref.matrix(key + "B")))) - X)
                  .cwiseAbs()
                  .maxCoeff(),
              bound * X.cwiseAbs().maxCoeff());
    const VectorXd x = ref.vector(key + "x");
    const VectorXd b = ref.matrix(key + "B").col(0);
    EXPECT_LE((vector_of(linalg::solve(a, vector_from(b))) - x).cwiseAbs().maxCoeff(),
              bound * x.cwiseAbs().maxCoeff());
    const MatrixXd inverse = ref.matrix(key + "inv");
    EXPECT_LE((matrix_of(linalg::inv(a)) - inverse).cwiseAbs().maxCoeff(),
              bound * inverse.cwiseAbs().maxCoeff());
  }
}

}  // namespace
}  // namespace zorvane
