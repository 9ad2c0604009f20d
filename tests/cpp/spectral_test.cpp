// The spectral matrix functions (square root, exponential, logarithm, sign) and
// what they share with eig_sym: non-finite, empty and strided input, exact
// symmetry, the properties of a function of a matrix, and agreement with
// SciPy. Their argument checks are rows of argument_checks_test.cpp.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using test::kEps;
using test::kInf;
using test::kNaN;
using test::make_tensor;
using test::matrix_of;
using test::norm_inf;
using test::random_spd;
using test::tensor_from;

Eigen::MatrixXd diagonal(std::initializer_list<double> entries) {
  Eigen::VectorXd d(static_cast<Eigen::Index>(entries.size()));
  Eigen::Index i = 0;
  for (double x : entries) d(i++) = x;
  return d.asDiagonal();
}

bool same_bits(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  return a.rows() == b.rows() && a.cols() == b.cols() &&
         std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}

// ---------------------------------------------------------------------------
// Everything built on eig_sym, eig_sym included.

struct Operation {
  const char* name;
  std::vector<Tensor> (*run)(const Tensor&);
};

std::vector<Tensor> run_eig_sym(const Tensor& a) {
  linalg::EigenResult result = linalg::eig_sym(a);
  std::vector<Tensor> outputs;
  outputs.push_back(std::move(result.values));
  outputs.push_back(std::move(result.vectors));
  return outputs;
}

template <Tensor (*Function)(const Tensor&)>
std::vector<Tensor> run_one(const Tensor& a) {
  std::vector<Tensor> outputs;
  outputs.push_back(Function(a));
  return outputs;
}

const Operation kEigSymFamily[] = {
    {"eig_sym", run_eig_sym},
    {"matrix_sqrt", run_one<linalg::matrix_sqrt>},
    {"matrix_exp", run_one<linalg::matrix_exp>},
    {"matrix_log", run_one<linalg::matrix_log>},
    {"matrix_sign", run_one<linalg::matrix_sign>},
};

void PrintTo(const Operation& operation, std::ostream* os) { *os << operation.name; }

std::string operation_name(const ::testing::TestParamInfo<Operation>& info) {
  return info.param.name;
}

class EigSymFamily : public ::testing::TestWithParam<Operation> {};

const char* const kNoConvergence = "zorvane: eig_sym failed to converge";

TEST_P(EigSymFamily, NonFiniteInputFailsToConverge) {
  // NaN off the diagonal never deflates; an infinite entry (or a NaN on the
  // diagonal) leaves the solver "succeeding" with NaN eigenvalues. Neither is
  // a decomposition, and no function built on it may map what it returned.
  for (Eigen::Index n = 1; n <= 4; ++n) {
    for (const double bad : {kNaN, kInf, -kInf}) {
      for (Eigen::Index k = 0; k < n; ++k) {
        for (const bool on_diagonal : {true, false}) {
          Eigen::MatrixXd a = random_spd(n, static_cast<unsigned>(n + k));
          const Eigen::Index j = on_diagonal ? k : (k + 1) % n;
          a(k, j) = a(j, k) = bad;
          SCOPED_TRACE(::testing::Message()
                       << "n=" << n << " (" << k << ", " << j << ") = " << bad);
          EXPECT_THROW_MSG(GetParam().run(tensor_from(a)), std::runtime_error, kNoConvergence);
        }
      }
    }
  }
  EXPECT_THROW_MSG(GetParam().run(tensor_from({{kInf, 0}, {0, 1}})), std::runtime_error,
                   kNoConvergence);
}

TEST_P(EigSymFamily, EmptyInputGivesEmptyResults) {
  const std::vector<Tensor> outputs = GetParam().run(make_tensor(Shape{0, 0}));
  for (const Tensor& t : outputs) {
    EXPECT_EQ(t.numel(), 0);
    EXPECT_EQ(t.dtype(), DType::Float64);
    for (std::size_t d = 0; d < static_cast<std::size_t>(t.ndim()); ++d) {
      EXPECT_EQ(t.shape()[d], 0);
    }
  }
  EXPECT_EQ(outputs.back().ndim(), 2);
}

TEST_P(EigSymFamily, StridedViewsGiveTheContiguousResult) {
  const Eigen::MatrixXd a = random_spd(6, 17);
  const std::vector<Tensor> expected = GetParam().run(tensor_from(a));
  for (const Tensor& view : {test::transposed_view_of(a), test::gapped_view_of(a), test::padded_view_of(a)}) {
    const std::vector<Tensor> outputs = GetParam().run(view);
    ASSERT_EQ(outputs.size(), expected.size());
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      const bool is_vector = outputs[k].ndim() == 1;
      EXPECT_TRUE(is_vector ? test::vector_of(outputs[k]) == test::vector_of(expected[k])
                            : same_bits(matrix_of(outputs[k]), matrix_of(expected[k])))
          << "output " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SymmetricFamily, EigSymFamily, ::testing::ValuesIn(kEigSymFamily),
                         operation_name);

// ---------------------------------------------------------------------------
// The four spectral functions on inputs where each is defined.

struct SpectralCase {
  const char* name;
  Tensor (*function)(const Tensor&);
  Eigen::MatrixXd (*input)(Eigen::Index n, unsigned seed);
  const char* reference_input;  // the stored input, e.g. "spd" for spd_n005
  const char* reference_result;
  double tolerance_factor;
};

// Tolerances for the comparison with SciPy are factor · n · ε · ‖A‖∞ · ‖f(A)‖max.
// expm (Padé with scaling and squaring) and signm are as accurate as the
// eigendecomposition route here. sqrtm (blocked Schur) and logm (inverse
// scaling and squaring) are general-matrix algorithms that ignore symmetry and
// are less accurate than the eigendecomposition of a symmetric matrix, so they
// get twice the room. On the stored well-conditioned inputs the largest error
// measured for any of the four is about 0.6 in these units.
const SpectralCase kSpectralCases[] = {
    {"matrix_sqrt", linalg::matrix_sqrt, random_spd, "spd", "sqrtm", 8.0},
    {"matrix_exp", linalg::matrix_exp, test::random_symmetric, "sym", "expm", 4.0},
    {"matrix_log", linalg::matrix_log, random_spd, "spd", "logm", 8.0},
    {"matrix_sign", linalg::matrix_sign, test::random_symmetric, "indefinite", "signm", 4.0},
};

void PrintTo(const SpectralCase& c, std::ostream* os) { *os << c.name; }

class SpectralFunction : public ::testing::TestWithParam<SpectralCase> {};

TEST_P(SpectralFunction, ResultIsExactlySymmetric) {
  for (const Eigen::Index n : {2, 3, 7, 16, 33}) {
    const Eigen::MatrixXd s = matrix_of(GetParam().function(
        tensor_from(GetParam().input(n, static_cast<unsigned>(100 + n)))));
    ASSERT_EQ(s.rows(), n);
    for (Eigen::Index i = 0; i < n; ++i) {
      for (Eigen::Index j = 0; j < i; ++j) {
        ASSERT_EQ(std::memcmp(&s(i, j), &s(j, i), sizeof(double)), 0)
            << "n=" << n << " (" << i << ", " << j << ")";
      }
    }
  }
}

// f(A) is a function of A: it commutes with A, to rounding. Mapping the
// eigenvalues through the wrong eigenvectors (or their transposes) does not.
TEST_P(SpectralFunction, CommutesWithItsArgument) {
  for (const Eigen::Index n : {2, 5, 16, 33}) {
    const Eigen::MatrixXd a = GetParam().input(n, static_cast<unsigned>(200 + n));
    const Eigen::MatrixXd f = matrix_of(GetParam().function(tensor_from(a)));
    EXPECT_LE((f * a - a * f).cwiseAbs().maxCoeff(), 16 * n * kEps * norm_inf(a) * norm_inf(f))
        << "n = " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(SymmetricFamily, SpectralFunction, ::testing::ValuesIn(kSpectralCases),
                         [](const auto& info) { return std::string(info.param.name); });

const test::ReferenceFile& references() {
  static const test::ReferenceFile file("symmetric.txt");
  return file;
}

class SpectralReference : public ::testing::TestWithParam<std::tuple<SpectralCase, int>> {};

TEST_P(SpectralReference, AgreesWithScipy) {
  const auto& [c, n] = GetParam();
  const Eigen::MatrixXd a = references().matrix(c.reference_input + test::order_tag(n));
  const Eigen::MatrixXd expected = references().matrix(c.reference_result + test::order_tag(n));
  const Eigen::MatrixXd result = matrix_of(c.function(tensor_from(a)));
  // The floors of 1 cover the rounding of f itself when ‖A‖ or f(A) is small.
  const double tolerance = c.tolerance_factor * n * kEps * std::max(norm_inf(a), 1.0) *
                           std::max(expected.cwiseAbs().maxCoeff(), 1.0);
  EXPECT_LE((result - expected).cwiseAbs().maxCoeff(), tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    SymmetricFamily, SpectralReference,
    ::testing::Combine(::testing::ValuesIn(kSpectralCases),
                       ::testing::Values(1, 2, 3, 5, 8, 16, 33, 64)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + test::order_tag(std::get<1>(info.param));
    });

// ---------------------------------------------------------------------------
// Each function's own test and map.

Eigen::MatrixXd sqrt_of(const Eigen::MatrixXd& a) {
  return matrix_of(linalg::matrix_sqrt(tensor_from(a)));
}
Eigen::MatrixXd exp_of(const Eigen::MatrixXd& a) {
  return matrix_of(linalg::matrix_exp(tensor_from(a)));
}
Eigen::MatrixXd log_of(const Eigen::MatrixXd& a) {
  return matrix_of(linalg::matrix_log(tensor_from(a)));
}
Eigen::MatrixXd sign_of(const Eigen::MatrixXd& a) {
  return matrix_of(linalg::matrix_sign(tensor_from(a)));
}

const char* const kNotSemidefinite = "zorvane: matrix_sqrt requires a positive-semidefinite matrix";
const char* const kExpLambdaMax =
    "zorvane: matrix_exp overflow -- exp(lambda_max) is not representable in float64";
const std::string kNotDefinite =
    "zorvane: matrix_log requires a positive-definite matrix (all eigenvalues > 0); "
    "smallest eigenvalue is ";

TEST(MatrixSqrt, OfADiagonalIsTheDiagonalOfRoots) {
  EXPECT_EQ(sqrt_of(diagonal({4, 9})), diagonal({2, 3}));
}

// The functions undo one another: sqrt(A)² = A and exp(log(A)) = A for a
// positive-definite A; sign(A)² = I for a nonsingular symmetric A, and for a
// singular one sign(A) is the projection onto A's range.
TEST(SpectralFunction, InverseRelationsRecoverTheInput) {
  for (const Eigen::Index n : {1, 4, 9, 17, 33, 64}) {
    SCOPED_TRACE(::testing::Message() << "n = " << n);
    const Eigen::MatrixXd a = random_spd(n, static_cast<unsigned>(n));
    const double tolerance = 16 * n * kEps * norm_inf(a);
    const Eigen::MatrixXd root = sqrt_of(a);
    EXPECT_LE((root * root - a).cwiseAbs().maxCoeff(), tolerance);
    EXPECT_LE((exp_of(log_of(a)) - a).cwiseAbs().maxCoeff(), tolerance);

    const Eigen::MatrixXd sign = sign_of(test::random_symmetric(n, static_cast<unsigned>(n)));
    const Eigen::MatrixXd identity = Eigen::MatrixXd::Identity(n, n);
    EXPECT_LE((sign * sign - identity).cwiseAbs().maxCoeff(), 16 * n * kEps);

    if (n < 4) continue;
    const Eigen::MatrixXd b = test::random_matrix(n, n - 2, static_cast<unsigned>(n));
    const Eigen::MatrixXd singular = b * b.transpose();
    const Eigen::MatrixXd projection = sign_of(singular);
    EXPECT_LE((projection * projection - projection).cwiseAbs().maxCoeff(), 16 * n * kEps);
    EXPECT_LE((projection * singular - singular).cwiseAbs().maxCoeff(),
              16 * n * kEps * norm_inf(singular));
    EXPECT_NEAR(projection.trace(), static_cast<double>(n - 2), 16 * n * kEps);
  }
}

TEST(MatrixSqrt, ToleratesNegativeRoundingRelativeToTheLargestEigenvalue) {
  // n = 2 and largest eigenvalue 1: eigenvalues down to -2ε pass and count as 0.
  const Eigen::MatrixXd s = sqrt_of(diagonal({-1e-17, 1}));
  EXPECT_EQ(s, diagonal({0, 1}));
  EXPECT_EQ(sqrt_of(diagonal({1, -2 * kEps})), diagonal({1, 0}));

  const double just_below = std::nextafter(-2 * kEps, -1.0);
  for (const double smallest : {just_below, -1e-3}) {
    EXPECT_THROW_MSG(sqrt_of(diagonal({smallest, 1})), std::invalid_argument, kNotSemidefinite);
  }
  // The tolerance follows the largest eigenvalue, not the largest magnitude:
  // with a largest eigenvalue of 0 any negative one fails.
  EXPECT_THROW_MSG(sqrt_of(diagonal({-1e-300, 0})), std::invalid_argument, kNotSemidefinite);
  EXPECT_EQ(sqrt_of(Eigen::MatrixXd::Zero(3, 3)), Eigen::MatrixXd::Zero(3, 3));
}

TEST(MatrixExp, OfZeroIsTheIdentity) {
  EXPECT_EQ(exp_of(Eigen::MatrixXd::Zero(3, 3)), Eigen::MatrixXd::Identity(3, 3));
}

TEST(MatrixExp, LargestEigenvalueMayReach709) {
  EXPECT_EQ(exp_of(diagonal({709.0})), diagonal({std::exp(709.0)}));
  EXPECT_EQ(exp_of(diagonal({-5.0, 709.0})), diagonal({std::exp(-5.0), std::exp(709.0)}));
  EXPECT_THROW_MSG(exp_of(diagonal({std::nextafter(709.0, 710.0)})), std::runtime_error,
                   kExpLambdaMax);
  // exp(709.5) would still be finite, but lies past the limit.
  EXPECT_THROW_MSG(exp_of(diagonal({709.5})), std::runtime_error, kExpLambdaMax);
  EXPECT_THROW_MSG(exp_of(diagonal({1.0, 709.5})), std::runtime_error, kExpLambdaMax);
}

TEST(MatrixLog, OfTheIdentityIsZero) {
  EXPECT_EQ(log_of(Eigen::MatrixXd::Identity(4, 4)), Eigen::MatrixXd::Zero(4, 4));
}

TEST(MatrixLog, AnyPositiveEigenvalueIsAccepted) {
  // Only w ≤ 0 is rejected, with no tolerance: the smallest subnormal passes.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(log_of(diagonal({tiny, 1})), diagonal({std::log(tiny), 0}));
}

TEST(MatrixLog, MessageCarriesTheSmallestEigenvalue) {
  EXPECT_THROW_MSG(log_of(diagonal({1, -2, 5})), std::invalid_argument, kNotDefinite + "-2.000000");
  EXPECT_THROW_MSG(log_of(diagonal({0, 1})), std::invalid_argument, kNotDefinite + "0.000000");
  EXPECT_THROW_MSG(log_of(diagonal({3, -1e-9})), std::invalid_argument, kNotDefinite + "-0.000000");
}

TEST(MatrixSign, MapsEachEigenvalueToItsSign) {
  EXPECT_EQ(sign_of(Eigen::MatrixXd::Identity(2, 2)), Eigen::MatrixXd::Identity(2, 2));
  EXPECT_EQ(sign_of(diagonal({-3, 0, 5})), diagonal({-1, 0, 1}));
  EXPECT_EQ(sign_of(Eigen::MatrixXd::Zero(4, 4)), Eigen::MatrixXd::Zero(4, 4));
}

// The zero matrix at a fixed order and at a dynamic one: each engine path
// must handle a matrix with nothing to scale by.
TEST(SpectralFunctions, OfTheZeroMatrixAtFixedAndDynamicOrders) {
  for (const Eigen::Index n : {3, 6}) {
    const Eigen::MatrixXd zero = Eigen::MatrixXd::Zero(n, n);
    const linalg::EigenResult r = linalg::eig_sym(tensor_from(zero));
    EXPECT_EQ(test::vector_of(r.values), Eigen::VectorXd::Zero(n));
    const Eigen::MatrixXd v = matrix_of(r.vectors);
    EXPECT_TRUE((v.transpose() * v).isApprox(Eigen::MatrixXd::Identity(n, n)));
    EXPECT_EQ(sqrt_of(zero), zero);
    EXPECT_EQ(exp_of(zero), Eigen::MatrixXd::Identity(n, n));
    EXPECT_EQ(sign_of(zero), zero);
    EXPECT_THROW_MSG(log_of(zero), std::invalid_argument, kNotDefinite + "0.000000");
  }
}

TEST(MatrixSign, EigenvaluesUpToTheThresholdCountAsZero) {
  // n = 2, largest magnitude 1: the threshold is 2ε, and ±2ε map to 0.
  const Eigen::MatrixXd at_threshold = diagonal({2 * kEps, 1});
  const linalg::EigenResult eigen = linalg::eig_sym(tensor_from(at_threshold));
  ASSERT_EQ(test::vector_of(eigen.values), Eigen::Vector2d(2 * kEps, 1));
  EXPECT_EQ(sign_of(at_threshold), diagonal({0, 1}));
  EXPECT_EQ(sign_of(diagonal({-2 * kEps, 1})), diagonal({0, 1}));

  const double above = std::nextafter(2 * kEps, 1.0);
  EXPECT_EQ(sign_of(diagonal({above, 1})), diagonal({1, 1}));
  EXPECT_EQ(sign_of(diagonal({-above, 1})), diagonal({-1, 1}));
  // The largest magnitude may be a negative eigenvalue: here it is 4, so 8ε.
  EXPECT_EQ(sign_of(diagonal({-4, 8 * kEps})), diagonal({-1, 0}));
}

}  // namespace
}  // namespace zorvane
