// The four matrix norms: known values, the relations between them, edge cases
// and NumPy references. The unknown kind is a row of argument_checks_test.cpp.
#include <algorithm>
#include <cmath>
#include <string>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using linalg::norm;
using linalg::NormKind;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::random_matrix;
using test::tensor_from;

constexpr NormKind kAllKinds[] = {NormKind::Frobenius, NormKind::One, NormKind::Inf,
                                  NormKind::Spectral};
const char* const kSpectralFailure = "zorvane: norm (spectral) failed -- SVD did not converge";

TEST(Norm, KnownValuesOfATwoByTwoMatrix) {
  const Tensor a = tensor_from({{1, -2}, {3, 4}});
  EXPECT_DOUBLE_EQ(norm(a, NormKind::Frobenius), std::sqrt(30.0));
  EXPECT_EQ(norm(a, NormKind::One), 6.0);
  EXPECT_EQ(norm(a, NormKind::Inf), 7.0);
  EXPECT_NEAR(norm(a, NormKind::Spectral), std::sqrt(15.0 + 5.0 * std::sqrt(5.0)), 1e-14);
  EXPECT_EQ(norm(a), norm(a, NormKind::Frobenius));
}

TEST(Norm, OneByOneGivesTheMagnitudeForEveryKind) {
  for (NormKind kind : kAllKinds) EXPECT_EQ(norm(tensor_from({{-2.5}}), kind), 2.5);
}

TEST(Norm, MatchesNumpyOnContiguousAndStridedViews) {
  const test::ReferenceFile reference("least_squares.txt");
  const auto names = reference.names_with_prefix("norm_a_");
  ASSERT_EQ(names.size(), 10u);
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const Eigen::MatrixXd a = reference.matrix(name);
    const Eigen::VectorXd expected =
        reference.vector("norm_values_" + name.substr(name.rfind('_') + 1));
    for (const Tensor& t : {tensor_from(a), test::gapped_view_of(a), test::transposed_view_of(a),
                            test::padded_view_of(a)}) {
      for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(norm(t, kAllKinds[k]), expected(k), 1e-13 * expected(k)) << "kind " << k;
      }
    }
  }
}

TEST(Norm, InequalitiesHoldBetweenTheKinds) {
  for (Eigen::Index rows : {1, 2, 7, 16, 33}) {
    for (Eigen::Index cols : {1, 3, 8, 17}) {
      SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
      const Eigen::MatrixXd a = random_matrix(rows, cols, static_cast<unsigned>(rows * 37 + cols));
      const Tensor t = tensor_from(a);
      const double frobenius = norm(t, NormKind::Frobenius);
      const double one = norm(t, NormKind::One);
      const double inf = norm(t, NormKind::Inf);
      const double spectral = norm(t, NormKind::Spectral);
      const double slack = 1.0 + 1e-13;
      const double rank = static_cast<double>(std::min(rows, cols));  // random: full rank
      EXPECT_LE(spectral, frobenius * slack);
      EXPECT_LE(frobenius, std::sqrt(rank) * spectral * slack);
      EXPECT_LE(spectral, std::sqrt(one * inf) * slack);
      EXPECT_LE(one, std::sqrt(static_cast<double>(rows)) * spectral * slack);
      EXPECT_LE(inf, std::sqrt(static_cast<double>(cols)) * spectral * slack);
      // The infinity-norm of A is the 1-norm of its transpose.
      const Tensor transposed = tensor_from(Eigen::MatrixXd(a.transpose()));
      EXPECT_NEAR(inf, norm(transposed, NormKind::One), 1e-15 * inf);
      EXPECT_NEAR(one, norm(transposed, NormKind::Inf), 1e-15 * one);
    }
  }
}

TEST(Norm, EmptyMatrixIsZeroWhateverTheKind) {
  for (const Shape& shape : {Shape{0, 3}, Shape{3, 0}, Shape{0, 0}}) {
    for (int kind : {0, 1, 2, 3, 4, -1}) {
      EXPECT_EQ(norm(make_tensor(shape), static_cast<NormKind>(kind)), 0.0);
    }
  }
}

TEST(Norm, InfiniteEntryOverflowsTheSumsAndStopsTheSpectralNorm) {
  const Tensor a = tensor_from({{1, -kInf}, {3, 4}});
  EXPECT_EQ(norm(a, NormKind::Frobenius), kInf);
  EXPECT_EQ(norm(a, NormKind::One), kInf);
  EXPECT_EQ(norm(a, NormKind::Inf), kInf);
  EXPECT_THROW_MSG(norm(a, NormKind::Spectral), std::runtime_error, kSpectralFailure);
}

TEST(Norm, NaNEntryGivesNaNSumsAndStopsTheSpectralNorm) {
  // The NaN sits first or last so that a maximum skipping it in either position shows.
  for (const Tensor& a : {tensor_from({{kNaN, 1}, {1, 9}}), tensor_from({{9, 1}, {1, kNaN}})}) {
    EXPECT_TRUE(std::isnan(norm(a, NormKind::Frobenius)));
    EXPECT_TRUE(std::isnan(norm(a, NormKind::One)));
    EXPECT_TRUE(std::isnan(norm(a, NormKind::Inf)));
    EXPECT_THROW_MSG(norm(a, NormKind::Spectral), std::runtime_error, kSpectralFailure);
  }
}

TEST(Norm, FrobeniusIsAPlainSumOfSquares) {
  // Without rescaling the square of 1e200 overflows; the other kinds do not.
  const Tensor a = tensor_from({{1e200, 0}, {0, 1}});
  EXPECT_EQ(norm(a, NormKind::Frobenius), kInf);
  EXPECT_EQ(norm(a, NormKind::Spectral), 1e200);
  EXPECT_EQ(norm(a, NormKind::One), 1e200);
}

}  // namespace
}  // namespace zorvane
