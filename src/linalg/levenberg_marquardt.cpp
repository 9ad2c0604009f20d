// Levenberg–Marquardt: damped Gauss–Newton steps with Marquardt's diagonal
// scaling, each solved from the damped normal equations by a pivoting LDLᵀ.
#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "checks.h"
#include "entry.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kName = "levenberg_marquardt";

constexpr double kSmallestNormal = 2.2250738585072014e-308;
constexpr double kDefaultDamping = 1e-3;
// An accepted step never lowers the damping below kMinDamping and a rejected
// one never raises it above kMaxDamping; passing kDampingLimit means the
// trial points keep failing however short the steps get.
constexpr double kMinDamping = 1e-16;
constexpr double kMaxDamping = 1e17;
constexpr double kDampingLimit = 1e16;
// The working vectors index with 32-bit integers in the contract.
constexpr std::int64_t kSizeLimit = std::int64_t{1} << 31;

void check_arguments(const LMCallback& residual, const LMCallback& jacobian, const Tensor& x0,
                     std::int64_t m) {
  if (x0.ndim() != 1) detail::throw_argument_error(kName, " requires a 1-D initial guess x0");
  detail::require_f64_cpu(x0, kName);
  if (!residual || !jacobian) {
    detail::throw_argument_error(kName, " requires non-null residual and jacobian callbacks");
  }
  if (m < 1) detail::throw_argument_error(kName, " requires m > 0 residual components");
  const std::int64_t n = x0.shape()[0];
  if (n < 1) detail::throw_argument_error(kName, " requires a non-empty x0");
  if (m >= kSizeLimit || n >= kSizeLimit) {
    detail::throw_argument_error(kName, " requires m and n below 2^31");
  }
}

double half_squared_norm(const Eigen::VectorXd& r) { return 0.5 * r.squaredNorm(); }

/// Marquardt's scales: the absolute diagonal of JᵀJ, each raised to a floor
/// relative to the largest, so that a column of zeros still gets damped.
void marquardt_scales(const Eigen::MatrixXd& normal, Eigen::VectorXd& scales) {
  scales = normal.diagonal().cwiseAbs();
  double largest = kSmallestNormal;
  for (Eigen::Index i = 0; i < scales.size(); ++i) largest = std::max(largest, scales(i));
  const double floor = std::max(1e-16, 1e-12 * largest);
  for (Eigen::Index i = 0; i < scales.size(); ++i) scales(i) = std::max(floor, scales(i));
}

/// The state one call keeps across iterations. Every buffer is sized once, so
/// the callbacks always write into the same storage.
class Solver {
 public:
  Solver(const LMCallback& residual, const LMCallback& jacobian, const Tensor& x0, std::int64_t m,
         const LMParameters& params)
      : residual_(residual),
        jacobian_(jacobian),
        params_(params),
        x_(entry::vector_of(x0)),
        r_(m),
        trial_r_(m),
        // m · n stays within 64 bits; Eigen reports an impossible size as bad_alloc.
        j_(m, x_.size()),
        gradient_(x_.size()),
        normal_(x_.size(), x_.size()),
        scales_(x_.size()),
        step_(x_.size()),
        trial_x_(x_.size()),
        ldlt_(x_.size()) {}

  LMResult run() {
    residual_(x_.data(), r_.data());
    cost_ = half_squared_norm(r_);
    damping_ = params_.initial_damping > 0.0 ? params_.initial_damping : kDefaultDamping;
    std::int64_t iterations = 0;
    LMStatus status = LMStatus::MaxIterations;
    if (params_.max_iterations > 0) {
      while (!iterate(status)) {
        if (++iterations >= params_.max_iterations) break;
      }
    }
    return LMResult{entry::tensor_of(x_), entry::tensor_of(r_), cost_, iterations, status};
  }

 private:
  /// One iteration; true when it stops the solver, with `status` set.
  bool iterate(LMStatus& status) {
    jacobian_(x_.data(), j_.data());
    gradient_.noalias() = j_.transpose() * r_;
    // A NaN component propagates into the maximum and never passes the test.
    if (gradient_.cwiseAbs().maxCoeff<Eigen::PropagateNaN>() <= params_.gtol) {
      status = LMStatus::Converged;
      return true;
    }
    solve_damped_step();
    trial_x_ = x_ + step_;
    residual_(trial_x_.data(), trial_r_.data());
    const double trial_cost = half_squared_norm(trial_r_);
    if (trial_cost < cost_) return accept(trial_cost, status);  // false for a NaN cost
    damping_ = std::min(damping_ * params_.damping_increase, kMaxDamping);
    if (damping_ > kDampingLimit) {
      status = LMStatus::DampingLimit;
      return true;
    }
    return false;
  }

  /// step = −H⁻¹ g with H = JᵀJ + λ·D, from the lower triangle only.
  void solve_damped_step() {
    normal_.setZero();
    normal_.selfadjointView<Eigen::Lower>().rankUpdate(j_.transpose());
    marquardt_scales(normal_, scales_);
    normal_.diagonal() += damping_ * scales_;  // now the damped matrix H
    ldlt_.compute(normal_);
    if (ldlt_.info() != Eigen::Success) {
      // One more λ on the diagonal usually restores a factorisable matrix.
      normal_.diagonal().array() += damping_;
      ldlt_.compute(normal_);
      if (ldlt_.info() != Eigen::Success) {
        detail::throw_numerical_error(kName,
                                      " failed -- damped normal equations are not solvable");
      }
    }
    step_ = ldlt_.solve(-gradient_);
  }

  bool accept(double trial_cost, LMStatus& status) {
    x_.swap(trial_x_);
    r_.swap(trial_r_);
    damping_ = std::max(damping_ / params_.damping_decrease, kMinDamping);
    const double previous_cost = cost_;
    cost_ = trial_cost;
    if (step_.norm() <= params_.xtol * (x_.norm() + params_.xtol)) {
      status = LMStatus::Converged;
      return true;
    }
    const double reduction =
        (previous_cost - trial_cost) / (std::abs(previous_cost) + kSmallestNormal);
    if (reduction <= params_.ftol) {  // false for a NaN ratio
      status = LMStatus::Converged;
      return true;
    }
    return false;
  }

  const LMCallback& residual_;
  const LMCallback& jacobian_;
  const LMParameters& params_;
  Eigen::VectorXd x_;
  Eigen::VectorXd r_;
  Eigen::VectorXd trial_r_;
  detail::RowMajorMatrix j_;  // the callback's row-major layout, written in place
  Eigen::VectorXd gradient_;
  Eigen::MatrixXd normal_;  // JᵀJ (lower triangle), then damped in place
  Eigen::VectorXd scales_;
  Eigen::VectorXd step_;
  Eigen::VectorXd trial_x_;
  Eigen::LDLT<Eigen::MatrixXd, Eigen::Lower> ldlt_;
  double cost_ = 0.0;
  double damping_ = 0.0;
};

}  // namespace

LMResult levenberg_marquardt(const LMCallback& residual, const LMCallback& jacobian,
                             const Tensor& x0, std::int64_t m, const LMParameters& params) {
  check_arguments(residual, jacobian, x0, m);
  return Solver(residual, jacobian, x0, m, params).run();
}

}  // namespace zorvane::linalg
