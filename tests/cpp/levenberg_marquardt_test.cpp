// The Levenberg–Marquardt solver: the callback sequence, the stopping rules
// and SciPy references on standard problems. Its argument checks are rows of
// argument_checks_test.cpp.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "reference_file.h"
#include "test_util.h"

namespace zorvane {
namespace {

using linalg::levenberg_marquardt;
using linalg::LMCallback;
using linalg::LMParameters;
using linalg::LMResult;
using linalg::LMStatus;
using linalg::detail::RowMajorMatrix;
using test::kNaN;
using test::vector_from;
using test::vector_of;

/// A residual function and its Jacobian as callbacks that record every call
/// ('r' or 'J') in `calls`.
class Model {
 public:
  using Residual = std::function<Eigen::VectorXd(const Eigen::VectorXd&)>;
  using Jacobian = std::function<Eigen::MatrixXd(const Eigen::VectorXd&)>;

  Model(Eigen::Index m, Eigen::Index n, Residual r, Jacobian j)
      : m_(m), n_(n), r_(std::move(r)), j_(std::move(j)) {}
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  LMCallback residual() {
    return [this](const double* x, double* out) {
      calls += 'r';
      Eigen::Map<Eigen::VectorXd>(out, m_) = r_(Eigen::Map<const Eigen::VectorXd>(x, n_));
    };
  }
  LMCallback jacobian() {
    return [this](const double* x, double* out) {
      calls += 'J';
      Eigen::Map<RowMajorMatrix>(out, m_, n_) = j_(Eigen::Map<const Eigen::VectorXd>(x, n_));
    };
  }

  LMResult solve(const Tensor& x0, const LMParameters& params = LMParameters{}) {
    calls.clear();
    return levenberg_marquardt(residual(), jacobian(), x0, m_, params);
  }
  LMResult solve(const Eigen::VectorXd& x0, const LMParameters& params = LMParameters{}) {
    return solve(vector_from(x0), params);
  }

  Eigen::VectorXd evaluate(const Eigen::VectorXd& x) const { return r_(x); }
  long count(char kind) const {
    return static_cast<long>(std::count(calls.begin(), calls.end(), kind));
  }

  std::string calls;

 private:
  Eigen::Index m_, n_;
  Residual r_;
  Jacobian j_;
};

/// r(x) = A·x − b.
Model linear_model(const Eigen::MatrixXd& a, const Eigen::VectorXd& b) {
  return Model(
      a.rows(), a.cols(), [a, b](const Eigen::VectorXd& x) { return Eigen::VectorXd(a * x - b); },
      [a](const Eigen::VectorXd&) { return a; });
}

Model rosenbrock() {
  return Model(
      2, 2,
      [](const Eigen::VectorXd& x) {
        return Eigen::VectorXd(Eigen::Vector2d(10.0 * (x(1) - x(0) * x(0)), 1.0 - x(0)));
      },
      [](const Eigen::VectorXd& x) {
        Eigen::MatrixXd j(2, 2);
        j << -20.0 * x(0), 10.0, -1.0, 0.0;
        return j;
      });
}

/// The result is self-consistent: the residual is r at x and the cost is ½‖r‖².
void expect_consistent(const Model& model, const LMResult& result) {
  const Eigen::VectorXd x = vector_of(result.x);
  const Eigen::VectorXd r = vector_of(result.residual);
  EXPECT_EQ(r, model.evaluate(x));
  // The library sums at its own instruction-set level, this program at the baseline.
  if (test::library_runs_baseline()) {
    EXPECT_EQ(result.cost, 0.5 * r.squaredNorm());
  } else {
    EXPECT_DOUBLE_EQ(result.cost, 0.5 * r.squaredNorm());
  }
}

// ------------------------------------------------------------ call sequence

TEST(LevenbergMarquardt, ZeroIterationsEvaluatesTheResidualOnceAndNoJacobian) {
  Model model = rosenbrock();
  for (std::int64_t limit : {0, -5}) {
    LMParameters params;
    params.max_iterations = limit;
    const LMResult result = model.solve(Eigen::Vector2d(-1.2, 1.0), params);
    EXPECT_EQ(model.calls, "r");
    EXPECT_EQ(vector_of(result.x), Eigen::Vector2d(-1.2, 1.0));
    // Exactly what the callback wrote for x0 (compared with the callback's own
    // arithmetic, which the compiler may contract into multiply-adds).
    EXPECT_EQ(vector_of(result.residual), model.evaluate(Eigen::Vector2d(-1.2, 1.0)));
    EXPECT_NEAR(result.residual.data()[0], 10.0 * (1.0 - 1.44), 1e-14);
    EXPECT_EQ(result.iterations, 0);
    EXPECT_EQ(result.status, LMStatus::MaxIterations);
    expect_consistent(model, result);
  }
}

TEST(LevenbergMarquardt, StartAtAZeroResidualStopsOnTheGradientAtOnce) {
  const Eigen::VectorXd solution = Eigen::Vector3d(0.5, -1.0, 2.0);
  // x − solution is exactly zero at x = solution, so is the gradient.
  Model model(
      3, 3, [solution](const Eigen::VectorXd& x) { return Eigen::VectorXd(x - solution); },
      [](const Eigen::VectorXd&) { return Eigen::MatrixXd(Eigen::MatrixXd::Identity(3, 3)); });
  const LMResult result = model.solve(solution);
  EXPECT_EQ(model.calls, "rJ");
  EXPECT_EQ(result.status, LMStatus::Converged);
  EXPECT_EQ(result.iterations, 0);
  EXPECT_EQ(result.cost, 0.0);
  EXPECT_EQ(vector_of(result.x), solution);
}

TEST(LevenbergMarquardt, EachIterationCallsTheJacobianThenTheResidual) {
  Model model = rosenbrock();
  const LMResult result = model.solve(Eigen::Vector2d(-1.2, 1.0));
  ASSERT_EQ(result.status, LMStatus::Converged);
  ASSERT_GT(result.iterations, 3);
  // One residual at x0, then "Jr" per iteration including the stopping one,
  // unless the gradient test stops it before its residual call.
  std::string expected = "r";
  for (std::int64_t k = 0; k <= result.iterations; ++k) expected += "Jr";
  if (model.calls.size() + 1 == expected.size()) expected.pop_back();
  EXPECT_EQ(model.calls, expected);
  expect_consistent(model, result);
}

// ------------------------------------------------------------ convergence

TEST(LevenbergMarquardt, LinearProblemConvergesToTheLeastSquaresSolution) {
  // With the default tolerances; the square system is consistent and badly
  // conditioned (its solution is about 57 long).
  for (const auto& [rows, cols] : {std::pair{8, 3}, std::pair{20, 6}, std::pair{4, 4}}) {
    SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
    const Eigen::MatrixXd a = test::random_matrix(rows, cols, static_cast<unsigned>(rows + cols));
    const Eigen::VectorXd b = test::random_matrix(rows, 1, 99).col(0);
    Model model = linear_model(a, b);
    const LMResult result = model.solve(Eigen::VectorXd::Zero(cols));
    EXPECT_EQ(result.status, LMStatus::Converged);
    const Eigen::VectorXd expected = a.colPivHouseholderQr().solve(b);
    EXPECT_LT((vector_of(result.x) - expected).norm(), 1e-7 * expected.norm());
    expect_consistent(model, result);
  }
}

TEST(LevenbergMarquardt, FewerResidualsThanUnknownsStillSolve) {
  // One equation x0 + 2·x1 − x2 = 3 in three unknowns: JᵀJ is singular,
  // the damping keeps the normal equations solvable.
  Model model = linear_model((Eigen::MatrixXd(1, 3) << 1, 2, -1).finished(),
                             Eigen::VectorXd::Constant(1, 3.0));
  const LMResult result = model.solve(Eigen::Vector3d(0, 0, 0));
  EXPECT_EQ(result.status, LMStatus::Converged);
  EXPECT_LT(result.cost, 1e-12);
  expect_consistent(model, result);
}

TEST(LevenbergMarquardt, UnusedParameterStaysWhereItStarted) {
  // The third unknown has a zero Jacobian column: its scale is the floor.
  Model model(
      2, 3,
      [](const Eigen::VectorXd& x) { return Eigen::VectorXd(Eigen::Vector2d(x(0) - 1, x(1) + 2)); },
      [](const Eigen::VectorXd&) {
        return Eigen::MatrixXd((Eigen::MatrixXd(2, 3) << 1, 0, 0, 0, 1, 0).finished());
      });
  const LMResult result = model.solve(Eigen::Vector3d(5, 5, 7.5));
  const Eigen::VectorXd x = vector_of(result.x);
  EXPECT_EQ(x(2), 7.5);
  EXPECT_NEAR(x(0), 1.0, 1e-6);
  EXPECT_NEAR(x(1), -2.0, 1e-6);
}

TEST(LevenbergMarquardt, FirstStepFollowsMarquardtScalingWithItsFloor) {
  // J = diag(1, 1e-15): JᵀJ = diag(1, 1e-30), whose second scale is raised to
  // the floor 1e-12 · 1. From x = 0 with g = (−1, −1e-15) and λ = 1e-3 the step
  // is δᵢ = −gᵢ / (JᵀJᵢᵢ + λ · Dᵢᵢ); without the floor the second would be 1e15.
  Model model(
      2, 2,
      [](const Eigen::VectorXd& x) {
        return Eigen::VectorXd(Eigen::Vector2d(x(0) - 1.0, 1e-15 * x(1) - 1.0));
      },
      [](const Eigen::VectorXd&) {
        return Eigen::MatrixXd(Eigen::Vector2d(1.0, 1e-15).asDiagonal());
      });
  LMParameters params;
  params.max_iterations = 1;
  const LMResult result = model.solve(Eigen::Vector2d(0, 0), params);
  EXPECT_EQ(model.calls, "rJr");
  const Eigen::VectorXd x = vector_of(result.x);
  EXPECT_NEAR(x(0), 1.0 / (1.0 + 1e-3), 1e-15);
  EXPECT_NEAR(x(1), 1e-15 / (1e-30 + 1e-3 * 1e-12), 1e-12);
}

// ------------------------------------------------------------ damping

/// A residual that is finite at its first call (x0) and NaN at every trial.
Model nan_after_first_call() {
  auto first = std::make_shared<bool>(true);
  return Model(
      2, 2,
      [first](const Eigen::VectorXd& x) {
        const bool at_start = std::exchange(*first, false);
        return at_start ? Eigen::VectorXd(x) : Eigen::VectorXd::Constant(2, kNaN);
      },
      [](const Eigen::VectorXd&) { return Eigen::MatrixXd(Eigen::MatrixXd::Identity(2, 2)); });
}

TEST(LevenbergMarquardt, RejectedStepsEndWithTheDampingLimitAtX0) {
  Model model = nan_after_first_call();
  LMParameters params;
  params.initial_damping = 1.0;  // powers of ten stay exact: 1, 10, …, 1e17
  const LMResult result = model.solve(Eigen::Vector2d(3, 4), params);
  EXPECT_EQ(result.status, LMStatus::DampingLimit);
  // Seventeen rejections raise λ to 1e17; the last one stops and is not counted.
  EXPECT_EQ(result.iterations, 16);
  EXPECT_EQ(model.count('J'), 17);
  EXPECT_EQ(model.count('r'), 18);
  EXPECT_EQ(vector_of(result.x), Eigen::Vector2d(3, 4));
  EXPECT_EQ(vector_of(result.residual), Eigen::Vector2d(3, 4));
  EXPECT_EQ(result.cost, 12.5);
}

TEST(LevenbergMarquardt, RejectedStepsCanRunIntoTheIterationLimitFirst) {
  Model model = nan_after_first_call();
  LMParameters params;
  params.max_iterations = 5;
  const LMResult result = model.solve(Eigen::Vector2d(3, 4), params);
  EXPECT_EQ(result.status, LMStatus::MaxIterations);
  EXPECT_EQ(result.iterations, 5);
  EXPECT_EQ(model.calls, "rJrJrJrJrJr");
  EXPECT_EQ(vector_of(result.x), Eigen::Vector2d(3, 4));
}

TEST(LevenbergMarquardt, NonPositiveInitialDampingMeansOneThousandth) {
  // A few iterations from a hard start, where the path depends on λ₀.
  Model model = rosenbrock();
  LMParameters params;
  params.max_iterations = 4;
  params.initial_damping = 1e-3;
  const LMResult reference = model.solve(Eigen::Vector2d(-1.2, 1.0), params);
  const std::string reference_calls = model.calls;
  for (double damping : {0.0, -1.0, kNaN}) {
    SCOPED_TRACE(damping);
    params.initial_damping = damping;
    const LMResult result = model.solve(Eigen::Vector2d(-1.2, 1.0), params);
    EXPECT_EQ(vector_of(result.x), vector_of(reference.x));
    EXPECT_EQ(result.cost, reference.cost);
    EXPECT_EQ(result.iterations, reference.iterations);
    EXPECT_EQ(result.status, reference.status);
    EXPECT_EQ(model.calls, reference_calls);
  }
  params.initial_damping = 10.0;  // and the path does depend on it
  EXPECT_NE(vector_of(model.solve(Eigen::Vector2d(-1.2, 1.0), params).x), vector_of(reference.x));
}

// ------------------------------------------------------------ stopping rules

/// r(x) = x − target in one unknown, with a Jacobian callback that reports
/// `slope` (1 is honest; −1 points every step uphill, so every step is
/// rejected; 1/4 overshoots). All the arithmetic of a step is exact for the numbers below, so
/// each rule can be set to fire at one known iteration.
struct StopCase {
  const char* name;
  double x0, target, slope;
  LMParameters params;
  std::string calls;  // 'r' and 'J' in call order
  std::int64_t iterations;
  LMStatus status;
  std::vector<double> dampings;  // λ of each trial point, read back from it
};

LMParameters with(std::int64_t max_iterations, double ftol, double xtol, double gtol,
                  double initial_damping, double increase, double decrease) {
  LMParameters p;
  p.max_iterations = max_iterations;
  p.ftol = ftol;
  p.xtol = xtol;
  p.gtol = gtol;
  p.initial_damping = initial_damping;
  p.damping_increase = increase;
  p.damping_decrease = decrease;
  return p;
}

// From x0 = 1 towards 0 with λ = 1 throughout: g = 1, then 0.5; every step
// halves x, so ρ = 0.75 exactly. From x0 = 0 towards 4 with λ = 1e-16 (which
// 1 + λ rounds away): one step of ‖δ‖ = 4 lands on x = 4, and the step test
// ‖δ‖ ≤ xtol·(‖x‖ + xtol) holds from xtol = 2√2 − 2 ≈ 0.82843 on (it would
// need xtol ≥ 2 if measured at the old x, and xtol ≥ 4 without the ‖x‖ term).
const StopCase kStopCases[] = {
    {"gradient_test_at_its_bound", 1, 0, 1, with(9, 0, 0, 1.0, 1, 10, 1), "rJ", 0,
     LMStatus::Converged, {}},
    {"gradient_test_just_below", 1, 0, 1, with(9, 0, 0, 0.999, 1, 10, 1), "rJrJ", 1,
     LMStatus::Converged, {1}},
    {"cost_test_at_its_bound", 1, 0, 1, with(9, 0.75, 0, 0, 1, 10, 1), "rJr", 0,
     LMStatus::Converged, {1}},
    {"cost_test_just_below", 1, 0, 1, with(2, 0.7499, 0, 0, 1, 10, 1), "rJrJr", 2,
     LMStatus::MaxIterations, {1, 1}},
    {"step_test_just_above_its_bound", 0, 4, 1, with(9, 0, 0.82843, 0, 1e-16, 10, 10), "rJr", 0,
     LMStatus::Converged, {0}},
    {"step_test_just_below_its_bound", 0, 4, 1, with(9, 0, 0.82842, 0, 1e-16, 10, 10), "rJrJ", 1,
     LMStatus::Converged, {0}},
    {"accepted_steps_divide_by_the_decrease", 1, 0, 1, with(3, 0, 0, 0, 1, 3, 4), "rJrJrJr", 3,
     LMStatus::MaxIterations, {1, 0.25, 0.0625}},
    {"accepted_steps_keep_the_damping_at_least_1e_16", 1, 0, 1, with(2, 0, 0, 0, 1e-15, 3, 100),
     "rJrJr", 2, LMStatus::MaxIterations, {1e-15, 1e-16}},
    {"rejected_steps_multiply_by_the_increase", 1, 0, -1, with(9, 0, 0, 0, 1e15, 3, 4),
     "rJrJrJr", 2, LMStatus::DampingLimit, {1e15, 3e15, 9e15}},
    // A Jacobian of 1/4 sends x = 1 to −1, where the cost is the same: rejected.
    {"a_trial_of_equal_cost_is_rejected", 1, 0, 0.25, with(9, 0, 0, 0, 1, 1e17, 4), "rJr", 0,
     LMStatus::DampingLimit, {1}},
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StoppingRule : public ::testing::TestWithParam<StopCase> {};

TEST_P(StoppingRule, FiresAtItsIterationWithItsStatus) {
  const StopCase& c = GetParam();
  std::vector<double> trials;
  Model model(
      1, 1,
      [&c, &trials](const Eigen::VectorXd& x) {
        trials.push_back(x(0));
        return Eigen::VectorXd(Eigen::VectorXd::Constant(1, x(0) - c.target));
      },
      [&c](const Eigen::VectorXd&) {
        return Eigen::MatrixXd(Eigen::MatrixXd::Constant(1, 1, c.slope));
      });
  const LMResult result = model.solve(Eigen::VectorXd::Constant(1, c.x0), c.params);
  EXPECT_EQ(model.calls, c.calls);
  EXPECT_EQ(result.iterations, c.iterations);
  EXPECT_EQ(result.status, c.status);

  // Each trial point x + δ with δ = −(x − target) / (slope·(1 + λ)) tells the
  // λ it was taken with (JᵀJ = slope² is also its own scale).
  ASSERT_EQ(trials.size(), c.dampings.size() + 1);
  double x = c.x0;
  for (std::size_t k = 0; k < c.dampings.size(); ++k) {
    const double step = -(x - c.target) / (c.slope * (1.0 + c.dampings[k]));
    EXPECT_DOUBLE_EQ(trials[k + 1], x + step) << "trial " << k;
    if (c.slope == 1) x = trials[k + 1];  // honest steps are all accepted here
  }
  expect_consistent(model, result);
}

INSTANTIATE_TEST_SUITE_P(LevenbergMarquardt, StoppingRule, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ the damped factorisation

/// A rank-one JᵀJ whose LDLᵀ rounding leaves a zero pivot before a non-zero
/// one, which Eigen's LDLT reports as a failure (found by search). Scaling J
/// by a power of two keeps every rounding.
RowMajorMatrix singular_jacobian(double scale) {
  RowMajorMatrix j(1, 4);
  j << 1.0, 2.0, -244.0, -0.76811594202898548;
  return j * scale;
}

bool ldlt_fails(const RowMajorMatrix& j, double added_to_diagonal) {
  Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(j.cols(), j.cols());
  normal.selfadjointView<Eigen::Lower>().rankUpdate(j.transpose());
  normal.diagonal().array() += added_to_diagonal;
  return Eigen::LDLT<Eigen::MatrixXd, Eigen::Lower>(normal).info() != Eigen::Success;
}

Model model_with_jacobian(const RowMajorMatrix& j) {
  const Eigen::MatrixXd a = j;
  return linear_model(a, Eigen::VectorXd::Ones(1));
}

TEST(LevenbergMarquardt, AFailedFactorisationIsRetriedWithLambdaMoreOnTheDiagonal) {
  // With λ = 1e-20, λ·D rounds away against JᵀJ ≈ 2^-52·(1 .. 6e4), so H is
  // JᵀJ itself; the retry's absolute λ does not round away, and H + λI factorises.
  const RowMajorMatrix j = singular_jacobian(std::ldexp(1.0, -26));
  ASSERT_TRUE(ldlt_fails(j, 0.0));
  ASSERT_FALSE(ldlt_fails(j, 1e-20));
  Model model = model_with_jacobian(j);
  LMParameters params;
  params.initial_damping = 1e-20;
  params.max_iterations = 1;
  const LMResult result = model.solve(Eigen::VectorXd::Zero(4), params);
  EXPECT_EQ(model.calls, "rJr");
  EXPECT_LT(result.cost, 0.5);  // the retried step went downhill
}

TEST(LevenbergMarquardt, UnsolvableDampedEquationsRaise) {
  // Unscaled, both λ·D and the retry's λ round away: both factorisations fail.
  const RowMajorMatrix j = singular_jacobian(1.0);
  ASSERT_TRUE(ldlt_fails(j, 0.0));
  Model model = model_with_jacobian(j);
  LMParameters params;
  params.initial_damping = 1e-20;
  EXPECT_THROW_MSG(model.solve(Eigen::VectorXd::Zero(4), params), std::runtime_error,
                   "zorvane: levenberg_marquardt failed -- damped normal equations are not "
                   "solvable");
  EXPECT_EQ(model.calls, "rJ");
  // A Jacobian of NaN makes every pivot NaN, with or without the retry.
  Model nan_model(
      1, 2, [](const Eigen::VectorXd&) { return Eigen::VectorXd(Eigen::VectorXd::Ones(1)); },
      [](const Eigen::VectorXd&) {
        return Eigen::MatrixXd(Eigen::MatrixXd::Constant(1, 2, kNaN));
      });
  EXPECT_THROW_MSG(nan_model.solve(Eigen::VectorXd::Zero(2)), std::runtime_error,
                   "zorvane: levenberg_marquardt failed -- damped normal equations are not "
                   "solvable");
}

// ------------------------------------------------------------ inputs and failures

TEST(LevenbergMarquardt, ReadsAStridedInitialGuess) {
  // x0 = (-1.2, 1.0) at every other element of a longer buffer, behind NaNs.
  const Tensor buffer = vector_from({kNaN, -1.2, kNaN, 1.0, kNaN});
  const Tensor strided = buffer.as_strided(Shape{2}, Strides{2}, 1);
  Model model = rosenbrock();
  const LMResult contiguous = model.solve(Eigen::Vector2d(-1.2, 1.0));
  const LMResult result = model.solve(strided);
  EXPECT_EQ(vector_of(result.x), vector_of(contiguous.x));
  EXPECT_EQ(result.iterations, contiguous.iterations);
  EXPECT_EQ(result.status, contiguous.status);
}

struct CallbackFailure {
  int call;
};

TEST(LevenbergMarquardt, CallbackExceptionsPassThroughUnchanged) {
  for (int failing_call : {1, 2, 3, 4}) {
    SCOPED_TRACE(failing_call);
    int calls = 0;
    Model model = rosenbrock();
    const LMCallback inner_r = model.residual(), inner_j = model.jacobian();
    const auto wrap = [&](const LMCallback& inner) {
      return LMCallback([&, inner](const double* x, double* out) {
        if (++calls == failing_call) throw CallbackFailure{failing_call};
        inner(x, out);
      });
    };
    try {
      levenberg_marquardt(wrap(inner_r), wrap(inner_j), vector_from({-1.2, 1.0}), 2);
      ADD_FAILURE() << "nothing thrown";
    } catch (const CallbackFailure& failure) {
      EXPECT_EQ(failure.call, failing_call);
    }
  }
  Model model = rosenbrock();
  const LMCallback throwing = [](const double*, double*) {
    throw std::domain_error("callback refused the point");
  };
  EXPECT_THROW_MSG(levenberg_marquardt(throwing, model.jacobian(), vector_from({1, 2}), 2),
                   std::domain_error, "callback refused the point");
}

// ------------------------------------------------------------ SciPy references

/// The residuals of the reference problems; `data` holds the fitted points.
Model reference_model(const std::string& label, const test::ReferenceFile& file) {
  if (label == "rosenbrock") return rosenbrock();
  if (label == "powell") {
    return Model(
        4, 4,
        [](const Eigen::VectorXd& x) {
          return Eigen::VectorXd(Eigen::Vector4d(x(0) + 10 * x(1), std::sqrt(5.0) * (x(2) - x(3)),
                                                 std::pow(x(1) - 2 * x(2), 2),
                                                 std::sqrt(10.0) * std::pow(x(0) - x(3), 2)));
        },
        [](const Eigen::VectorXd& x) {
          const double u = x(1) - 2 * x(2), v = x(0) - x(3);
          const double s5 = std::sqrt(5.0), s10 = std::sqrt(10.0);
          Eigen::MatrixXd j(4, 4);
          j << 1, 10, 0, 0, 0, 0, s5, -s5, 0, 2 * u, -4 * u, 0, 2 * s10 * v, 0, 0, -2 * s10 * v;
          return j;
        });
  }
  const Eigen::VectorXd t = file.vector("lm_" + label + "_t");
  const Eigen::VectorXd y = file.vector("lm_" + label + "_y");
  if (label == "decay") {  // y ≈ a·exp(−b·t) + c
    return Model(
        t.size(), 3,
        [t, y](const Eigen::VectorXd& x) {
          return Eigen::VectorXd(x(0) * (-x(1) * t.array()).exp() + x(2) - y.array());
        },
        [t](const Eigen::VectorXd& x) {
          const Eigen::ArrayXd e = (-x(1) * t.array()).exp();
          Eigen::MatrixXd j(t.size(), 3);
          j.col(0) = e;
          j.col(1) = -x(0) * t.array() * e;
          j.col(2).setOnes();
          return j;
        });
  }
  // peak: y ≈ h·exp(−(t − μ)² / (2σ²))
  return Model(
      t.size(), 3,
      [t, y](const Eigen::VectorXd& x) {
        const Eigen::ArrayXd d = t.array() - x(1);
        return Eigen::VectorXd(x(0) * (-d.square() / (2 * x(2) * x(2))).exp() - y.array());
      },
      [t](const Eigen::VectorXd& x) {
        const Eigen::ArrayXd d = t.array() - x(1);
        const Eigen::ArrayXd e = (-d.square() / (2 * x(2) * x(2))).exp();
        Eigen::MatrixXd j(t.size(), 3);
        j.col(0) = e;
        j.col(1) = x(0) * e * d / (x(2) * x(2));
        j.col(2) = x(0) * e * d.square() / (x(2) * x(2) * x(2));
        return j;
      });
}

TEST(LevenbergMarquardt, ReachesSciPysMinimumOnStandardProblems) {
  const test::ReferenceFile file("least_squares.txt");
  for (const std::string label : {"rosenbrock", "powell", "decay", "peak"}) {
    SCOPED_TRACE(label);
    Model model = reference_model(label, file);
    const LMResult result = model.solve(file.vector("lm_" + label + "_x0"));
    const Eigen::VectorXd expected_x = file.vector("lm_" + label + "_x");
    const double expected_cost = file.scalar("lm_" + label + "_cost");
    EXPECT_NE(result.status, LMStatus::DampingLimit);
    EXPECT_NEAR(result.cost, expected_cost, 1e-9 * expected_cost + 1e-14);
    EXPECT_LT((vector_of(result.x) - expected_x).cwiseAbs().maxCoeff(), 1e-5);
    expect_consistent(model, result);
  }
}

}  // namespace
}  // namespace zorvane
