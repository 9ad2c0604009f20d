// Every operation at every instruction-set level this CPU runs, in one
// process, against the baseline on the same inputs: single matrices at the
// fixed orders 2, 3 and 4 and at dynamic orders, stacks of them, and inputs
// holding NaN or infinity. A fault in one level's copy of the code shows
// here even on a machine whose widest level would hide it.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "level_outcomes.h"
#include "levels.h"
#include "test_util.h"

namespace zorvane {
namespace {

using linalg::NormKind;
using linalg::dispatch::Operations;
using test::Outcome;

// General eigenvectors move with rounding by as much as their condition
// allows, so eig gets matrices whose eigenvectors are well conditioned.
enum class Input { General, Symmetric, Spd, WellConditionedEigenvectors };

/// One operation of the table on A (a matrix, or a stack of three where its
/// field starts with "batched_") and B (a right-hand side of two columns,
/// stacked alike).
struct Case {
  const char* operation;
  Input input;
  Outcome (*call)(const Operations&, const Tensor& A, const Tensor& B);
};

/// The outcome of the operation in `field` on A alone.
template <auto field>
Outcome on(const Operations& ops, const Tensor& A, const Tensor&) {
  return test::outcome_of([&] { return (ops.*field)(A); });
}

// The outcome of an expression of ops, A and B, for the operations that take
// more than A or whose results need fixing before they compare.
#define ZORVANE_CALL(...)                                                        \
  [](const Operations& ops, const Tensor& A, [[maybe_unused]] const Tensor& B) { \
    return test::outcome_of([&] { return __VA_ARGS__; });                        \
  }

/// A linear fit whose Jacobian is A and whose solution solves A · x = 1.
Outcome fit(const Operations& ops, const Tensor& A, const Tensor&) {
  const Eigen::MatrixXd a = test::matrix_of(A);
  const auto n = a.rows();
  const linalg::LMCallback residual = [&](const double* x, double* r) {
    Eigen::Map<Eigen::VectorXd>(r, n) = a * Eigen::Map<const Eigen::VectorXd>(x, n) -
                                        Eigen::VectorXd::Ones(n);
  };
  const linalg::LMCallback jacobian = [&](const double*, double* j) {
    Eigen::Map<Eigen::Matrix<double, -1, -1, Eigen::RowMajor>>(j, n, n) = a;
  };
  return test::outcome_of([&] {
    return ops.levenberg_marquardt(residual, jacobian, test::make_tensor(Shape{n}), n,
                                   linalg::LMParameters{});
  });
}

/// eig's results with each eigenvector's sign fixed (its largest real
/// component positive): the sign is the solver's arbitrary choice, which
/// rounding may flip from one level to another.
linalg::EigResult with_signs_fixed(linalg::EigResult r) {
  const std::int64_t n = r.vectors_real.shape()[r.vectors_real.ndim() - 1];
  for (std::int64_t first = 0; first < r.vectors_real.numel(); first += n * n) {
    double* re = r.vectors_real.data() + first;
    double* im = r.vectors_imag.data() + first;
    for (std::int64_t j = 0; j < n; ++j) {
      std::int64_t largest = 0;
      for (std::int64_t i = 1; i < n; ++i) {
        if (std::abs(re[i * n + j]) > std::abs(re[largest * n + j])) largest = i;
      }
      if (re[largest * n + j] >= 0) continue;
      for (std::int64_t i = 0; i < n; ++i) {
        re[i * n + j] = -re[i * n + j];
        im[i * n + j] = -im[i * n + j];
      }
    }
  }
  return r;
}

const Case kCases[] = {
    {"trace", Input::General, on<&Operations::trace>},
    {"eig_sym", Input::Symmetric, on<&Operations::eig_sym>},
    {"matrix_sqrt", Input::Spd, on<&Operations::matrix_sqrt>},
    {"matrix_exp", Input::Symmetric, on<&Operations::matrix_exp>},
    {"matrix_log", Input::Spd, on<&Operations::matrix_log>},
    {"matrix_sign", Input::Symmetric, on<&Operations::matrix_sign>},
    {"cholesky", Input::Spd, on<&Operations::cholesky>},
    {"lu", Input::General, on<&Operations::lu>},
    {"det", Input::General, on<&Operations::det>},
    {"solve", Input::General, ZORVANE_CALL(ops.solve(A, B))},
    {"inv", Input::General, on<&Operations::inv>},
    {"qr", Input::General, on<&Operations::qr>},
    {"svd", Input::General, on<&Operations::svd>},
    {"pinv", Input::General, ZORVANE_CALL(ops.pinv(A, -1.0))},
    {"lstsq", Input::General, ZORVANE_CALL(ops.lstsq(A, B))},
    {"norm", Input::General,
     ZORVANE_CALL(std::vector<double>{ops.norm(A, NormKind::Frobenius), ops.norm(A, NormKind::One),
                                      ops.norm(A, NormKind::Inf),
                                      ops.norm(A, NormKind::Spectral)})},
    {"eig", Input::WellConditionedEigenvectors, ZORVANE_CALL(with_signs_fixed(ops.eig(A)))},
    {"levenberg_marquardt", Input::General, fit},
    {"lu_factor", Input::General, on<&Operations::lu_factor>},
    {"batched_eig_sym", Input::Symmetric, on<&Operations::batched_eig_sym>},
    {"batched_matrix_sqrt", Input::Spd, on<&Operations::batched_matrix_sqrt>},
    {"batched_matrix_exp", Input::Symmetric, on<&Operations::batched_matrix_exp>},
    {"batched_matrix_log", Input::Spd, on<&Operations::batched_matrix_log>},
    {"batched_matrix_sign", Input::Symmetric, on<&Operations::batched_matrix_sign>},
    {"batched_cholesky", Input::Spd, on<&Operations::batched_cholesky>},
    {"batched_lu", Input::General, on<&Operations::batched_lu>},
    {"batched_det", Input::General, on<&Operations::batched_det>},
    {"batched_solve", Input::General, ZORVANE_CALL(ops.batched_solve(A, B))},
    {"batched_inv", Input::General, on<&Operations::batched_inv>},
    {"batched_qr", Input::General, on<&Operations::batched_qr>},
    {"batched_svd", Input::General, on<&Operations::batched_svd>},
    {"batched_pinv", Input::General, ZORVANE_CALL(ops.batched_pinv(A, -1.0))},
    {"batched_norm", Input::General,
     ZORVANE_CALL(std::vector<Tensor>{ops.batched_norm(A, NormKind::Frobenius),
                                      ops.batched_norm(A, NormKind::Spectral)})},
    {"batched_eig", Input::WellConditionedEigenvectors,
     ZORVANE_CALL(with_signs_fixed(ops.batched_eig(A)))},
    {"batched_trace", Input::General, on<&Operations::batched_trace>},
};

#undef ZORVANE_CALL

// Every operation of the table, by field, in the order of the list.
constexpr const char* kOperations[] = {
#define ZORVANE_FIELD_NAME(result, field, function, parameters, arguments) #field,
    ZORVANE_LINALG_OPERATIONS(ZORVANE_FIELD_NAME)
#undef ZORVANE_FIELD_NAME
};

/// The case of `operation`, or null where the table has none.
const Case* case_of(const std::string& operation) {
  const auto found = std::find_if(std::begin(kCases), std::end(kCases),
                                  [&](const Case& c) { return operation == c.operation; });
  return found == std::end(kCases) ? nullptr : found;
}

// A case that names no operation of the list would never run.
TEST(LevelCases, NameOperationsOfTheList) {
  for (const Case& c : kCases) {
    EXPECT_NE(std::find(std::begin(kOperations), std::end(kOperations), std::string(c.operation)),
              std::end(kOperations))
        << "a level case for " << c.operation << ", which is no operation of the list";
  }
}

Eigen::MatrixXd input_matrix(Input kind, Eigen::Index n, unsigned seed) {
  switch (kind) {
    case Input::Symmetric: return test::random_symmetric(n, seed);
    case Input::Spd: return test::random_spd(n, seed);
    case Input::WellConditionedEigenvectors: {
      const Eigen::MatrixXd s = Eigen::MatrixXd::Identity(n, n) + 0.2 * test::random_matrix(n, n, seed);
      const Eigen::VectorXd spectrum = Eigen::VectorXd::LinSpaced(n, 1.0, static_cast<double>(n));
      return s * spectrum.asDiagonal() * s.inverse();
    }
    default: return test::random_matrix(n, n, seed);
  }
}

/// The contiguous stack of `matrices`, shape (count, rows, cols).
Tensor stack_of(const std::vector<Eigen::MatrixXd>& matrices) {
  const auto rows = matrices[0].rows(), cols = matrices[0].cols();
  Tensor stack = test::make_tensor(Shape{static_cast<long>(matrices.size()), rows, cols});
  double* out = stack.data();
  for (const Eigen::MatrixXd& m : matrices) {
    Eigen::Map<Eigen::Matrix<double, -1, -1, Eigen::RowMajor>>(out, rows, cols) = m;
    out += rows * cols;
  }
  return stack;
}

class LevelAgreement : public ::testing::TestWithParam<std::tuple<std::size_t, const char*>> {};

TEST_P(LevelAgreement, WithTheBaseline) {
  const auto levels = linalg::dispatch::compiled_levels();
  const auto& level = levels.begin()[std::get<0>(GetParam())];
  const Case* found = case_of(std::get<1>(GetParam()));
  ASSERT_NE(found, nullptr) << "no level case for " << std::get<1>(GetParam());
  const Case& c = *found;
  const bool batched = std::string(c.operation).rfind("batched_", 0) == 0;
  if (!level.runs()) GTEST_SKIP() << "this CPU does not run " << level.name;
  const Operations baseline = linalg::dispatch::operations_of(*levels.begin());
  const Operations other = linalg::dispatch::operations_of(level);
  const test::Agreement agreement = test::agreement_of(c.operation, baseline, other);
  for (const Eigen::Index n : {2, 3, 4, 5, 8, 17}) {
    // Entries of awkward kinds reach each level's handling of them too.
    for (const double planted : {0.0, test::kNaN, test::kInf}) {
      std::vector<Eigen::MatrixXd> matrices, rhs;
      for (unsigned k = 0; k < (batched ? 3u : 1u); ++k) {
        matrices.push_back(input_matrix(c.input, n, 7 * static_cast<unsigned>(n) + k));
        rhs.push_back(test::random_matrix(n, 2, 3 + k));
      }
      if (planted != 0.0) matrices.back()(n - 1, 0) = matrices.back()(0, n - 1) = planted;
      const Tensor A = batched ? stack_of(matrices) : test::tensor_from(matrices[0]);
      const Tensor B = batched ? stack_of(rhs) : test::tensor_from(rhs[0]);
      const Outcome expected = c.call(baseline, A, B);
      const double scale = test::magnitude({matrices[0].cwiseAbs().maxCoeff()});
      const std::string differs =
          test::disagreement(expected, c.call(other, A, B), agreement, n, scale);
      EXPECT_EQ(differs, "") << c.operation << " at n = " << n << " with " << planted;
    }
  }
}

std::string case_name(const ::testing::TestParamInfo<LevelAgreement::ParamType>& info) {
  std::string name = linalg::dispatch::compiled_levels().begin()[std::get<0>(info.param)].name;
  name += std::string("_") + std::get<1>(info.param);
  for (char& ch : name) {
    if (ch == '-') ch = '_';
  }
  return name;
}

// Every level but the baseline, against it, for every operation of the list;
// a build of the baseline alone has none.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LevelAgreement);
INSTANTIATE_TEST_SUITE_P(
    EveryLevel, LevelAgreement,
    ::testing::Combine(::testing::Range<std::size_t>(1, linalg::dispatch::compiled_levels().count),
                       ::testing::ValuesIn(kOperations)),
    case_name);

}  // namespace
}  // namespace zorvane
