// Fits a Gaussian peak y = h·exp(−(t − μ)² / (2σ²)) + c to noisy samples with
// levenberg_marquardt, starting from a rough guess, and prints the fit.
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>
#include <zorvane/linalg/linalg.h>

namespace {

struct Samples {
  std::vector<double> t;
  std::vector<double> y;
};

/// 50 points of a peak with height 4, centre 1.5, width 0.6 on a baseline of
/// 0.3, plus uniform noise in [-0.1, 0.1]. The raw Mersenne Twister output is
/// the same on every platform, so the data (and the fit) is too.
Samples make_samples() {
  std::mt19937 generator(2026);
  const auto noise = [&generator] { return 0.1 * (2.0 * generator() / 4294967295.0 - 1.0); };
  Samples s;
  for (int i = 0; i < 50; ++i) {
    const double t = -1.0 + 5.0 * i / 49.0;
    const double d = t - 1.5;
    s.t.push_back(t);
    s.y.push_back(4.0 * std::exp(-d * d / (2.0 * 0.6 * 0.6)) + 0.3 + noise());
  }
  return s;
}

}  // namespace

int main() {
  using namespace zorvane;
  const Samples data = make_samples();
  const auto m = static_cast<std::int64_t>(data.t.size());

  // p = (h, μ, σ, c); r_i = model(t_i) − y_i.
  const linalg::LMCallback residual = [&data](const double* p, double* r) {
    for (std::size_t i = 0; i < data.t.size(); ++i) {
      const double d = data.t[i] - p[1];
      r[i] = p[0] * std::exp(-d * d / (2.0 * p[2] * p[2])) + p[3] - data.y[i];
    }
  };
  // Row i holds ∂r_i/∂h, ∂r_i/∂μ, ∂r_i/∂σ, ∂r_i/∂c.
  const linalg::LMCallback jacobian = [&data](const double* p, double* j) {
    for (std::size_t i = 0; i < data.t.size(); ++i) {
      const double d = data.t[i] - p[1];
      const double s2 = p[2] * p[2];
      const double e = std::exp(-d * d / (2.0 * s2));
      double* row = j + 4 * i;
      row[0] = e;
      row[1] = p[0] * e * d / s2;
      row[2] = p[0] * e * d * d / (s2 * p[2]);
      row[3] = 1.0;
    }
  };

  Tensor x0(Shape{4}, DType::Float64, Device{DeviceKind::CPU, -1});
  const double guess[4] = {1.0, 0.5, 1.0, 0.0};
  for (int k = 0; k < 4; ++k) x0.data()[k] = guess[k];

  const linalg::LMResult fit = linalg::levenberg_marquardt(residual, jacobian, x0, m);

  const char* const status[] = {"converged", "iteration limit", "damping limit"};
  const double* p = fit.x.data();
  std::printf("Gaussian peak fitted to %ld noisy samples\n", static_cast<long>(m));
  std::printf("  start:  h = %.4f  mu = %.4f  sigma = %.4f  c = %.4f\n", guess[0], guess[1],
              guess[2], guess[3]);
  std::printf("  fitted: h = %.4f  mu = %.4f  sigma = %.4f  c = %.4f\n", p[0], p[1],
              std::abs(p[2]), p[3]);
  std::printf("  truth:  h = 4.0000  mu = 1.5000  sigma = 0.6000  c = 0.3000\n");
  std::printf("  cost = %.6g, iterations = %ld, status = %s\n", fit.cost,
              static_cast<long>(fit.iterations), status[static_cast<int>(fit.status)]);
  return fit.status == linalg::LMStatus::DampingLimit ? 1 : 0;
}
