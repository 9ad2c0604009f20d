// Every operation at every instruction-set level this CPU runs, in one
// process, against the baseline on the same inputs: single matrices at the
// fixed orders 2, 3 and 4 and at dynamic orders, stacks of them, and inputs
// holding NaN or infinity. A fault in one level's copy of the code shows
// here even on a machine whose widest level would hide it.
#include <functional>
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

/// One operation of the table on A (a matrix, or a stack of three for the
/// batched ones) and B (a right-hand side of two columns, stacked alike).
struct Case {
  const char* operation;
  Input input;
  bool batched;
  std::function<Outcome(const Operations&, const Tensor& A, const Tensor& B)> call;
};

#define ZORVANE_CASE(name, input, batched, ...)                                 \
  Case {                                                                        \
    name, Input::input, batched, [](const Operations& ops, const Tensor& A,     \
                                    [[maybe_unused]] const Tensor& B) {         \
      return test::outcome_of([&] { return __VA_ARGS__; });                     \
    }                                                                           \
  }

/// A linear fit whose Jacobian is A and whose solution solves A · x = 1.
Outcome fit(const Operations& ops, const Tensor& A) {
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

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      ZORVANE_CASE("trace", General, false, ops.trace(A)),
      ZORVANE_CASE("eig_sym", Symmetric, false, ops.eig_sym(A)),
      ZORVANE_CASE("matrix_sqrt", Spd, false, ops.matrix_sqrt(A)),
      ZORVANE_CASE("matrix_exp", Symmetric, false, ops.matrix_exp(A)),
      ZORVANE_CASE("matrix_log", Spd, false, ops.matrix_log(A)),
      ZORVANE_CASE("matrix_sign", Symmetric, false, ops.matrix_sign(A)),
      ZORVANE_CASE("cholesky", Spd, false, ops.cholesky(A)),
      ZORVANE_CASE("lu", General, false, ops.lu(A)),
      ZORVANE_CASE("det", General, false, ops.det(A)),
      ZORVANE_CASE("solve", General, false, ops.solve(A, B)),
      ZORVANE_CASE("inv", General, false, ops.inv(A)),
      ZORVANE_CASE("qr", General, false, ops.qr(A)),
      ZORVANE_CASE("svd", General, false, ops.svd(A)),
      ZORVANE_CASE("pinv", General, false, ops.pinv(A, -1.0)),
      ZORVANE_CASE("lstsq", General, false, ops.lstsq(A, B)),
      ZORVANE_CASE("norm", General, false,
                   std::vector<double>{ops.norm(A, NormKind::Frobenius), ops.norm(A, NormKind::One),
                                       ops.norm(A, NormKind::Inf),
                                       ops.norm(A, NormKind::Spectral)}),
      ZORVANE_CASE("eig", WellConditionedEigenvectors, false, with_signs_fixed(ops.eig(A))),
      Case{"levenberg_marquardt", Input::General, false,
           [](const Operations& ops, const Tensor& A, const Tensor&) { return fit(ops, A); }},
      ZORVANE_CASE("lu_factor", General, false, ops.lu_factor(A)),
      ZORVANE_CASE("batched_eig_sym", Symmetric, true, ops.batched_eig_sym(A)),
      ZORVANE_CASE("batched_matrix_sqrt", Spd, true, ops.batched_matrix_sqrt(A)),
      ZORVANE_CASE("batched_matrix_exp", Symmetric, true, ops.batched_matrix_exp(A)),
      ZORVANE_CASE("batched_matrix_log", Spd, true, ops.batched_matrix_log(A)),
      ZORVANE_CASE("batched_matrix_sign", Symmetric, true, ops.batched_matrix_sign(A)),
      ZORVANE_CASE("batched_cholesky", Spd, true, ops.batched_cholesky(A)),
      ZORVANE_CASE("batched_lu", General, true, ops.batched_lu(A)),
      ZORVANE_CASE("batched_det", General, true, ops.batched_det(A)),
      ZORVANE_CASE("batched_solve", General, true, ops.batched_solve(A, B)),
      ZORVANE_CASE("batched_inv", General, true, ops.batched_inv(A)),
      ZORVANE_CASE("batched_qr", General, true, ops.batched_qr(A)),
      ZORVANE_CASE("batched_svd", General, true, ops.batched_svd(A)),
      ZORVANE_CASE("batched_pinv", General, true, ops.batched_pinv(A, -1.0)),
      ZORVANE_CASE("batched_norm", General, true,
                   std::vector<Tensor>{ops.batched_norm(A, NormKind::Frobenius),
                                       ops.batched_norm(A, NormKind::Spectral)}),
      ZORVANE_CASE("batched_eig", WellConditionedEigenvectors, true,
                   with_signs_fixed(ops.batched_eig(A))),
      ZORVANE_CASE("batched_trace", General, true, ops.batched_trace(A)),
  };
  return all;
}

#undef ZORVANE_CASE

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

class LevelAgreement : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(LevelAgreement, WithTheBaseline) {
  const auto levels = linalg::dispatch::compiled_levels();
  const auto& level = levels.begin()[std::get<0>(GetParam())];
  const Case& c = cases()[std::get<1>(GetParam())];
  if (!level.runs()) GTEST_SKIP() << "this CPU does not run " << level.name;
  const Operations baseline = linalg::dispatch::operations_of(*levels.begin());
  const Operations other = linalg::dispatch::operations_of(level);
  const test::Agreement agreement = test::agreement_of(c.operation, baseline, other);
  for (const Eigen::Index n : {2, 3, 4, 5, 8, 17}) {
    // Entries of awkward kinds reach each level's handling of them too.
    for (const double planted : {0.0, test::kNaN, test::kInf}) {
      std::vector<Eigen::MatrixXd> matrices, rhs;
      for (unsigned k = 0; k < (c.batched ? 3u : 1u); ++k) {
        matrices.push_back(input_matrix(c.input, n, 7 * static_cast<unsigned>(n) + k));
        rhs.push_back(test::random_matrix(n, 2, 3 + k));
      }
      if (planted != 0.0) matrices.back()(n - 1, 0) = matrices.back()(0, n - 1) = planted;
      const Tensor A = c.batched ? stack_of(matrices) : test::tensor_from(matrices[0]);
      const Tensor B = c.batched ? stack_of(rhs) : test::tensor_from(rhs[0]);
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
  name += std::string("_") + cases()[std::get<1>(info.param)].operation;
  for (char& ch : name) {
    if (ch == '-') ch = '_';
  }
  return name;
}

// Every level but the baseline, against it, for every case; a build of the
// baseline alone has none.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LevelAgreement);
INSTANTIATE_TEST_SUITE_P(
    EveryLevel, LevelAgreement,
    ::testing::Combine(::testing::Range<std::size_t>(1, linalg::dispatch::compiled_levels().count),
                       ::testing::Range<std::size_t>(0, cases().size())),
    case_name);

}  // namespace
}  // namespace zorvane
