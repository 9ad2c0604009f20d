// Full-pivot LU, rank, determinant and the singular flag.
#include <cmath>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using Eigen::MatrixXd;
using test::kEps;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::mat;
using test::matrix_of;
using test::tensor_from;

struct Factors {
  MatrixXd L, U, P, Q;
  std::int64_t rank;
  double determinant;
  bool singular;
};

Factors factors_of(const Tensor& A) {
  const linalg::LUResult r = linalg::lu(A);
  return Factors{matrix_of(r.L), matrix_of(r.U), matrix_of(r.P), matrix_of(r.Q),
                 r.rank,         r.determinant,  r.singular};
}

// The structural promises that hold for every input: unit lower L, upper U,
// 0/1 permutations with a single 1 per row and column.
void expect_well_formed(const Factors& f, Eigen::Index n) {
  for (const MatrixXd* m : {&f.L, &f.U, &f.P, &f.Q}) {
    ASSERT_EQ(m->rows(), n);
    ASSERT_EQ(m->cols(), n);
  }
  for (Eigen::Index i = 0; i < n; ++i) {
    EXPECT_EQ(f.L(i, i), 1.0);
    for (Eigen::Index j = i + 1; j < n; ++j) EXPECT_EQ(f.L(i, j), 0.0) << i << "," << j;
    for (Eigen::Index j = 0; j < i; ++j) EXPECT_EQ(f.U(i, j), 0.0) << i << "," << j;
  }
  for (const MatrixXd* p : {&f.P, &f.Q}) {
    EXPECT_TRUE((p->array() == 0.0 || p->array() == 1.0).all());
    EXPECT_TRUE((p->rowwise().sum().array() == 1.0).all());
    EXPECT_TRUE((p->colwise().sum().array() == 1.0).all());
  }
}

TEST(Lu, SymmetricExampleNeedsNoPivoting) {
  const Factors f = factors_of(tensor_from({{4, 1}, {1, 3}}));
  expect_well_formed(f, 2);
  EXPECT_EQ(f.P, MatrixXd::Identity(2, 2));
  EXPECT_EQ(f.Q, MatrixXd::Identity(2, 2));
  EXPECT_EQ(f.L, mat({{1, 0}, {0.25, 1}}));
  EXPECT_EQ(f.U, mat({{4, 1}, {0, 2.75}}));
  EXPECT_EQ(f.rank, 2);
  EXPECT_EQ(f.determinant, 11.0);
  EXPECT_FALSE(f.singular);
}

TEST(Lu, LargestEntryBecomesTheFirstPivot) {
  const MatrixXd a = mat({{1, 2}, {3, 4}});
  const Factors f = factors_of(tensor_from(a));
  expect_well_formed(f, 2);
  EXPECT_EQ(f.P, mat({{0, 1}, {1, 0}}));
  EXPECT_EQ(f.Q, mat({{0, 1}, {1, 0}}));
  EXPECT_EQ(f.L, mat({{1, 0}, {0.5, 1}}));
  EXPECT_EQ(f.U, mat({{4, 3}, {0, -0.5}}));
  EXPECT_EQ(f.rank, 2);
  EXPECT_EQ(f.determinant, -2.0);  // two transpositions: sign +1
  EXPECT_FALSE(f.singular);
  EXPECT_EQ(f.P * a * f.Q, f.L * f.U);
}

TEST(Lu, ExactlySingularIsReportedNotThrown) {
  const Factors f = factors_of(tensor_from({{1, 2}, {2, 4}}));
  expect_well_formed(f, 2);
  EXPECT_EQ(f.U, mat({{4, 2}, {0, 0}}));
  EXPECT_EQ(f.rank, 1);
  EXPECT_EQ(f.determinant, 0.0);
  EXPECT_TRUE(f.singular);
}

TEST(Lu, ZeroMatrixHasRankZero) {
  const Factors f = factors_of(tensor_from(MatrixXd::Zero(3, 3)));
  expect_well_formed(f, 3);
  EXPECT_EQ(f.L, MatrixXd::Identity(3, 3));
  EXPECT_EQ(f.U, MatrixXd::Zero(3, 3));
  EXPECT_EQ(f.P, MatrixXd::Identity(3, 3));
  EXPECT_EQ(f.Q, MatrixXd::Identity(3, 3));
  EXPECT_EQ(f.rank, 0);
  EXPECT_EQ(f.determinant, 0.0);
  EXPECT_TRUE(f.singular);
}

TEST(Lu, OneByOne) {
  for (const double a : {-2.5, 0.0, 7.0}) {
    const Factors f = factors_of(tensor_from({{a}}));
    EXPECT_EQ(f.L, mat({{1}}));
    EXPECT_EQ(f.P, mat({{1}}));
    EXPECT_EQ(f.Q, mat({{1}}));
    EXPECT_EQ(f.U, mat({{a}}));
    EXPECT_EQ(f.determinant, a);
    EXPECT_EQ(f.rank, a != 0.0 ? 1 : 0);
    EXPECT_EQ(f.singular, a == 0.0);
  }
}

TEST(Lu, EmptyMatrixIsInvertibleWithDeterminantOne) {
  const linalg::LUResult r = linalg::lu(make_tensor(Shape{0, 0}));
  for (const Tensor* t : {&r.L, &r.U, &r.P, &r.Q}) {
    ASSERT_EQ(t->ndim(), 2);
    EXPECT_EQ(t->shape()[0], 0);
    EXPECT_EQ(t->shape()[1], 0);
  }
  EXPECT_EQ(r.rank, 0);
  EXPECT_EQ(r.determinant, 1.0);
  EXPECT_FALSE(r.singular);
  EXPECT_EQ(linalg::det(make_tensor(Shape{0, 0})), 1.0);
}

TEST(Lu, PivotAtTheThresholdCountsAsZero) {
  // Determinant 2^-52, but the second pivot is not above 2 · 2^-52 times the first.
  const Factors f = factors_of(tensor_from({{1, 1}, {1, 1 + kEps}}));
  expect_well_formed(f, 2);
  EXPECT_EQ(f.rank, 1);
  EXPECT_TRUE(f.singular);
  EXPECT_NE(f.determinant, 0.0);
  EXPECT_NEAR(f.determinant, kEps, 2 * kEps * kEps);
}

TEST(Lu, PivotJustAboveTheThresholdCounts) {
  const Factors f = factors_of(tensor_from({{1, 0}, {0, 4 * kEps}}));
  EXPECT_EQ(f.rank, 2);
  EXPECT_FALSE(f.singular);
}

class LuReconstruction : public ::testing::TestWithParam<int> {};

TEST_P(LuReconstruction, PermutedMatrixEqualsLTimesU) {
  const int n = GetParam();
  const MatrixXd a = test::random_matrix(n, n, 100 + static_cast<unsigned>(n));
  const Factors f = factors_of(tensor_from(a));
  expect_well_formed(f, n);
  EXPECT_TRUE((f.L.array().abs() <= 1.0).all());  // full pivoting bounds the multipliers
  const double scale = a.cwiseAbs().maxCoeff();
  EXPECT_LE((f.P * a * f.Q - f.L * f.U).cwiseAbs().maxCoeff(), 4 * n * kEps * scale);
  EXPECT_EQ(f.rank, n);
  EXPECT_FALSE(f.singular);
  // The determinant is the ordered product of the pivots and the permutations' sign.
  double product = 1.0;
  for (int k = 0; k < n; ++k) product *= f.U(k, k);
  const double sign = f.P.determinant() * f.Q.determinant();
  EXPECT_EQ(f.determinant, sign * product);
  EXPECT_EQ(linalg::det(tensor_from(a)), f.determinant);
}

TEST_P(LuReconstruction, SameBitsAsTheOwningDecomposition) {
  const int n = GetParam();
  const MatrixXd a = test::random_matrix(n, n, 200 + static_cast<unsigned>(n));
  const Eigen::FullPivLU<MatrixXd> expected(a);
  const Factors f = factors_of(tensor_from(a));
  EXPECT_EQ(f.L, MatrixXd(expected.matrixLU().triangularView<Eigen::UnitLower>()));
  EXPECT_EQ(f.U, MatrixXd(expected.matrixLU().triangularView<Eigen::Upper>()));
  EXPECT_EQ(f.P, MatrixXd(expected.permutationP()));
  EXPECT_EQ(f.Q, MatrixXd(expected.permutationQ()));
  EXPECT_EQ(f.determinant, expected.determinant());
}

INSTANTIATE_TEST_SUITE_P(Sizes, LuReconstruction,
                         ::testing::Values(1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33));

TEST(Lu, ViewsFactoriseLikeTheirContiguousCopies) {
  const MatrixXd a = test::random_matrix(6, 6, 7);
  const Factors expected = factors_of(tensor_from(a));
  for (const Tensor& view : {test::transposed_view_of(a), test::gapped_view_of(a), test::padded_view_of(a)}) {
    const Factors f = factors_of(view);
    EXPECT_EQ(f.L, expected.L);
    EXPECT_EQ(f.U, expected.U);
    EXPECT_EQ(f.P, expected.P);
    EXPECT_EQ(f.Q, expected.Q);
    EXPECT_EQ(f.determinant, expected.determinant);
  }
  // A transposed view of a's own storage is aᵀ.
  const Tensor t = tensor_from(a);
  EXPECT_EQ(factors_of(t.as_strided(Shape{6, 6}, Strides{1, 6})).U,
            factors_of(tensor_from(MatrixXd(a.transpose()))).U);
}

TEST(Lu, NonFiniteInputIsReportedThroughTheRank) {
  // A NaN pivot is never counted.
  Factors f = factors_of(tensor_from({{1, 0}, {0, kNaN}}));
  EXPECT_EQ(f.rank, 1);
  EXPECT_TRUE(f.singular);
  EXPECT_TRUE(std::isnan(f.determinant));
  // A NaN met first becomes the pivot and poisons the rest of the elimination.
  f = factors_of(tensor_from({{kNaN, 0}, {0, 1}}));
  EXPECT_EQ(f.rank, 0);
  EXPECT_TRUE(f.singular);
  // An infinite pivot makes the threshold infinite, so no pivot counts.
  f = factors_of(tensor_from({{kInf, 0}, {0, 1}}));
  EXPECT_EQ(f.rank, 0);
  EXPECT_TRUE(f.singular);
  EXPECT_EQ(f.determinant, kInf);
  EXPECT_TRUE(std::isnan(linalg::det(tensor_from({{1, kInf}, {0, 2}}))));
}

TEST(Det, MatchesTheWorkedExamples) {
  EXPECT_EQ(linalg::det(tensor_from({{1, 2}, {3, 4}})), -2.0);
  EXPECT_EQ(linalg::det(tensor_from({{4, 1}, {1, 3}})), 11.0);
  EXPECT_EQ(linalg::det(tensor_from({{1, 2}, {2, 4}})), 0.0);
}

TEST(Det, OverflowsWithoutRescaling) {
  const Tensor big = tensor_from(MatrixXd(Eigen::VectorXd::Constant(3, 1e200).asDiagonal()));
  EXPECT_EQ(linalg::det(big), kInf);
  EXPECT_EQ(linalg::lu(big).rank, 3);
}

// Determinants of random matrices against NumPy and SciPy's partial-pivot
// factors; the error bound grows with the order and the condition number.
TEST(LuReference, DeterminantAgreesWithNumPyAndSciPy) {
  const test::ReferenceFile ref("factorisations.txt");
  const Eigen::VectorXd sizes = ref.vector("square.sizes");
  for (const double size : sizes) {
    const std::string key = test::square_key(size);
    SCOPED_TRACE(key);
    const Tensor a = tensor_from(ref.matrix(key + "A"));
    const double expected = ref.scalar(key + "det");
    const double tolerance = 8 * size * kEps * ref.scalar(key + "cond") * std::abs(expected);
    const double determinant = linalg::lu(a).determinant;
    EXPECT_NEAR(determinant, expected, tolerance);
    EXPECT_NEAR(determinant, ref.scalar(key + "lu_det"), tolerance);
    EXPECT_EQ(linalg::det(a), determinant);
  }
}

TEST(LuReference, RankOfExactLowRankProducts) {
  const test::ReferenceFile ref("factorisations.txt");
  const MatrixXd cases = ref.matrix("low_rank.cases");
  for (Eigen::Index c = 0; c < cases.rows(); ++c) {
    const std::string key = "low_rank." + std::to_string(static_cast<int>(cases(c, 0))) + "." +
                            std::to_string(static_cast<int>(cases(c, 1))) + ".";
    SCOPED_TRACE(key);
    const MatrixXd a = ref.matrix(key + "A");
    const Factors f = factors_of(tensor_from(a));
    EXPECT_EQ(f.rank, static_cast<std::int64_t>(ref.scalar(key + "rank")));
    EXPECT_TRUE(f.singular);
    const double scale = a.cwiseAbs().maxCoeff();
    EXPECT_LE((f.P * a * f.Q - f.L * f.U).cwiseAbs().maxCoeff(), 4 * a.rows() * kEps * scale);
  }
}

}  // namespace
}  // namespace zorvane
