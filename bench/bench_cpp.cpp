// Every library operation against the bare Eigen computation it wraps, on the
// same input with the same decomposition options. The difference between the
// two is what the library adds: argument checks, the copy into a working
// matrix (gather), the result tensors and the copy into them (scatter).
//
// Benchmarks are named "<operation>/<side>/<n>" with side "zorvane" or
// "eigen", or "part" for the pieces of the overhead timed alone;
// bench/summarize_cpp.py turns the JSON output into the overhead table.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "checks.h"
#include "zorvane/core/tensor.h"
#include "zorvane/linalg/detail.h"
#include "zorvane/linalg/linalg.h"

namespace {

namespace linalg = zorvane::linalg;
using zorvane::DeviceKind;
using zorvane::DType;
using zorvane::Shape;
using zorvane::Tensor;
using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

constexpr std::int64_t kOrders[] = {4, 16, 64, 256};

/// The same numbers as a working matrix for Eigen and as a row-major tensor
/// for the library; `b` is a right-hand side of length n.
struct Inputs {
  Eigen::MatrixXd a;
  Tensor A;
  Eigen::VectorXd b;
  Tensor B;
};

enum class Kind { General, SymmetricPositiveDefinite };

Tensor tensor_of(const Eigen::MatrixXd& m) {
  Tensor t(Shape{static_cast<long>(m.rows()), static_cast<long>(m.cols())}, DType::Float64,
           zorvane::Device{DeviceKind::CPU, -1});
  Eigen::Map<RowMajor>(t.data(), m.rows(), m.cols()) = m;
  return t;
}

Tensor tensor_of(const Eigen::VectorXd& v) {
  Tensor t(Shape{static_cast<long>(v.size())}, DType::Float64,
           zorvane::Device{DeviceKind::CPU, -1});
  Eigen::Map<Eigen::VectorXd>(t.data(), v.size()) = v;
  return t;
}

Inputs make_inputs(std::int64_t n, Kind kind) {
  std::srand(static_cast<unsigned>(n) * 7919u + 17u);  // Eigen's Random draws from rand()
  Eigen::MatrixXd a = Eigen::MatrixXd::Random(n, n);
  if (kind == Kind::SymmetricPositiveDefinite) {
    // Eigenvalues between about 1 and 5: fine for sqrt, log, sign and exp alike;
    // the average of the two products is symmetric bit for bit.
    const Eigen::MatrixXd gram = a * a.transpose() / static_cast<double>(n);
    a = (gram + gram.transpose()) * 0.5 + Eigen::MatrixXd::Identity(n, n);
  }
  Eigen::VectorXd b = Eigen::VectorXd::Random(n);
  return Inputs{a, tensor_of(a), b, tensor_of(b)};
}

/// A benchmark body: given the inputs, one call of the measured computation
/// that returns something the optimiser must keep.
using Body = std::function<double(const Inputs&)>;

void register_side(const std::string& operation, const char* side, Kind kind, Body body) {
  for (const std::int64_t n : kOrders) {
    const std::string name = operation + "/" + side + "/" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [n, kind, body](benchmark::State& state) {
      const Inputs inputs = make_inputs(n, kind);
      for (auto _ : state) {
        double kept = body(inputs);
        benchmark::DoNotOptimize(kept);
      }
    });
  }
}

void register_pair(const std::string& operation, Kind kind, Body ours, Body bare) {
  register_side(operation, "zorvane", kind, std::move(ours));
  register_side(operation, "eigen", kind, std::move(bare));
}

/// The first element of a result tensor: reading it keeps the call alive.
double first(const Tensor& t) { return t.numel() > 0 ? t.data()[0] : 0.0; }
double first(const Eigen::MatrixXd& m) { return m.size() > 0 ? m(0, 0) : 0.0; }

/// V · diag(f(w)) · Vᵀ on a bare solver: the numerical work of a spectral function.
template <class ScalarMap>
double bare_spectral(const Eigen::MatrixXd& a, ScalarMap map) {
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(a, Eigen::ComputeEigenvectors);
  const Eigen::VectorXd d = solver.eigenvalues().unaryExpr(map);
  const Eigen::MatrixXd& v = solver.eigenvectors();
  const Eigen::MatrixXd product = (v * d.asDiagonal()) * v.transpose();
  return first(product);
}

double sign_value(double w) { return w > 0.0 ? 1.0 : (w < 0.0 ? -1.0 : 0.0); }

void register_all() {
  const Kind spd = Kind::SymmetricPositiveDefinite;
  const Kind general = Kind::General;
  constexpr unsigned kThin = Eigen::ComputeThinU | Eigen::ComputeThinV;

  register_pair(
      "trace", general, [](const Inputs& in) { return linalg::trace(in.A); },
      [](const Inputs& in) { return in.a.trace(); });
  register_pair(
      "eig_sym", spd, [](const Inputs& in) { return first(linalg::eig_sym(in.A).vectors); },
      [](const Inputs& in) {
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> s(in.a, Eigen::ComputeEigenvectors);
        return first(s.eigenvectors());
      });
  register_pair(
      "matrix_sqrt", spd, [](const Inputs& in) { return first(linalg::matrix_sqrt(in.A)); },
      [](const Inputs& in) { return bare_spectral(in.a, [](double w) { return std::sqrt(w); }); });
  register_pair(
      "matrix_exp", spd, [](const Inputs& in) { return first(linalg::matrix_exp(in.A)); },
      [](const Inputs& in) { return bare_spectral(in.a, [](double w) { return std::exp(w); }); });
  register_pair(
      "matrix_log", spd, [](const Inputs& in) { return first(linalg::matrix_log(in.A)); },
      [](const Inputs& in) { return bare_spectral(in.a, [](double w) { return std::log(w); }); });
  register_pair(
      "matrix_sign", spd, [](const Inputs& in) { return first(linalg::matrix_sign(in.A)); },
      [](const Inputs& in) { return bare_spectral(in.a, sign_value); });
  register_pair(
      "cholesky", spd, [](const Inputs& in) { return first(linalg::cholesky(in.A)); },
      [](const Inputs& in) {
        const Eigen::LLT<Eigen::MatrixXd, Eigen::Lower> llt(in.a);
        return first(llt.matrixLLT());
      });
  register_pair(
      "lu", general, [](const Inputs& in) { return first(linalg::lu(in.A).U); },
      [](const Inputs& in) {
        const Eigen::FullPivLU<Eigen::MatrixXd> lu(in.a);
        return first(lu.matrixLU());
      });
  register_pair(
      "det", general, [](const Inputs& in) { return linalg::det(in.A); },
      [](const Inputs& in) { return Eigen::FullPivLU<Eigen::MatrixXd>(in.a).determinant(); });
  register_pair(
      "solve", general, [](const Inputs& in) { return first(linalg::solve(in.A, in.B)); },
      [](const Inputs& in) {
        const Eigen::VectorXd x = Eigen::FullPivLU<Eigen::MatrixXd>(in.a).solve(in.b);
        return x(0);
      });
  register_pair(
      "inv", general, [](const Inputs& in) { return first(linalg::inv(in.A)); },
      [](const Inputs& in) {
        const Eigen::MatrixXd x = Eigen::FullPivLU<Eigen::MatrixXd>(in.a).inverse();
        return first(x);
      });
  register_pair(
      "qr", general, [](const Inputs& in) { return first(linalg::qr(in.A).Q); },
      [](const Inputs& in) {
        const Eigen::HouseholderQR<Eigen::MatrixXd> qr(in.a);
        const Eigen::Index n = in.a.rows();
        const Eigen::MatrixXd q = qr.householderQ() * Eigen::MatrixXd::Identity(n, n);
        return first(q) + qr.matrixQR()(0, 0);
      });
  register_pair(
      "svd", general, [](const Inputs& in) { return first(linalg::svd(in.A).U); },
      [](const Inputs& in) {
        const Eigen::JacobiSVD<Eigen::MatrixXd> svd(in.a, kThin);
        return first(svd.matrixU());
      });
  register_pair(
      "pinv", general, [](const Inputs& in) { return first(linalg::pinv(in.A)); },
      [](const Inputs& in) {
        const Eigen::JacobiSVD<Eigen::MatrixXd> svd(in.a, kThin);
        const Eigen::MatrixXd p =
            (svd.matrixV() * svd.singularValues().cwiseInverse().asDiagonal()) *
            svd.matrixU().transpose();
        return first(p);
      });
  register_pair(
      "lstsq", general, [](const Inputs& in) { return first(linalg::lstsq(in.A, in.B).x); },
      [](const Inputs& in) {
        const Eigen::VectorXd x = Eigen::ColPivHouseholderQR<Eigen::MatrixXd>(in.a).solve(in.b);
        return x(0);
      });
  register_pair(
      "norm_frobenius", general,
      [](const Inputs& in) { return linalg::norm(in.A, linalg::NormKind::Frobenius); },
      [](const Inputs& in) { return std::sqrt(in.a.squaredNorm()); });
  register_pair(
      "norm_one", general,
      [](const Inputs& in) { return linalg::norm(in.A, linalg::NormKind::One); },
      [](const Inputs& in) { return in.a.cwiseAbs().colwise().sum().maxCoeff(); });
  register_pair(
      "norm_inf", general,
      [](const Inputs& in) { return linalg::norm(in.A, linalg::NormKind::Inf); },
      [](const Inputs& in) { return in.a.cwiseAbs().rowwise().sum().maxCoeff(); });
  register_pair(
      "norm_spectral", general,
      [](const Inputs& in) { return linalg::norm(in.A, linalg::NormKind::Spectral); },
      [](const Inputs& in) { return Eigen::JacobiSVD<Eigen::MatrixXd>(in.a).singularValues()(0); });
  register_pair(
      "eig", general, [](const Inputs& in) { return first(linalg::eig(in.A).vectors_real); },
      [](const Inputs& in) {
        const Eigen::EigenSolver<Eigen::MatrixXd> solver(in.a, true);
        const Eigen::MatrixXcd vectors = solver.eigenvectors();
        return vectors(0, 0).real() + solver.eigenvalues()(0).imag();
      });
  // levenberg_marquardt iterates on caller-supplied callbacks and wraps no
  // single Eigen decomposition, so it has no bare counterpart here.
}

/// The pieces the overhead is made of, each alone: where the time between an
/// operation and its bare Eigen call goes.
void register_parts() {
  namespace detail = linalg::detail;
  const auto part = [](const char* name, Kind kind, Body body) {
    register_side(name, "part", kind, std::move(body));
  };
  part("new_matrix_tensor", Kind::General, [](const Inputs& in) {
    Tensor t = detail::new_matrix_tensor(in.a.rows(), in.a.cols());
    return static_cast<double>(t.numel());
  });
  part("gather_matrix", Kind::General,
       [](const Inputs& in) { return first(detail::gather_matrix(in.A)); });
  part("require_symmetric", Kind::SymmetricPositiveDefinite, [](const Inputs& in) {
    detail::require_symmetric(in.a, "bench");
    return 0.0;
  });
  part("scatter_matrix", Kind::General,
       [](const Inputs& in) { return first(detail::scatter_matrix(in.a)); });
  part("matrixxd_copy", Kind::General, [](const Inputs& in) {
    const Eigen::MatrixXd copy = in.a;  // what a decomposition's own copy of its input costs
    return first(copy);
  });
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  register_parts();
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("zorvane_level", zorvane::linalg::instruction_set());
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
