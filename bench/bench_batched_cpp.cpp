// The batched operations against a bare Eigen loop over the same stack: per
// matrix, a copy into a reused working matrix, the decomposition on a reused
// solver, and the copies of its results into preallocated stacked outputs.
// The difference is what the batched call adds (checks, the walk over the
// batch, the kernels' result layout).
//
// Benchmarks are named "<operation>/<side>/<n>" with side "batched" or
// "eigen"; items are matrices, so items_per_second gives the time per matrix.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zorvane/core/tensor.h"
#include "zorvane/linalg/batched.h"

namespace {

namespace batched = zorvane::linalg::batched;
using zorvane::DeviceKind;
using zorvane::DType;
using zorvane::Shape;
using zorvane::Tensor;
using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using RowMap = Eigen::Map<RowMajor>;
using ConstRowMap = Eigen::Map<const RowMajor>;

constexpr std::int64_t kOrders[] = {2, 3, 4, 8, 16};
constexpr std::int64_t kCount = 20'000;

/// kCount matrices of order n, stacked row-major: symmetric positive-definite
/// or general.
Tensor make_stack(std::int64_t n, bool spd) {
  std::srand(static_cast<unsigned>(n) * 7919u + 17u);
  Tensor t(Shape{static_cast<long>(kCount), static_cast<long>(n), static_cast<long>(n)},
           DType::Float64, zorvane::Device{DeviceKind::CPU, -1});
  for (std::int64_t b = 0; b < kCount; ++b) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Random(n, n);
    if (spd) {
      const Eigen::MatrixXd gram = a * a.transpose() / static_cast<double>(n);
      a = (gram + gram.transpose()) * 0.5 + Eigen::MatrixXd::Identity(n, n);
    }
    RowMap(t.data() + b * n * n, n, n) = a;
  }
  return t;
}

/// One timed call over the whole stack; returns something to keep alive.
using Body = std::function<double(const Tensor&, std::int64_t)>;

void register_pair(const std::string& operation, bool spd, Body ours, Body bare) {
  for (const std::int64_t n : kOrders) {
    for (const auto& [side, body] :
         {std::pair<const char*, Body>{"batched", ours}, {"eigen", bare}}) {
      const std::string name = operation + "/" + side + "/" + std::to_string(n);
      benchmark::RegisterBenchmark(name.c_str(), [n, spd, body = body](benchmark::State& state) {
        const Tensor stack = make_stack(n, spd);
        for (auto _ : state) benchmark::DoNotOptimize(body(stack, n));
        state.SetItemsProcessed(state.iterations() * kCount);
      });
    }
  }
}

double first(const Tensor& t) { return t.numel() > 0 ? t.data()[0] : 0.0; }

/// A preallocated stacked output of kCount blocks of `size` doubles.
std::vector<double> stacked(std::int64_t size) { return std::vector<double>(kCount * size); }

/// The bare loop: gather matrix b into `a`, then `step(b, a)`.
template <class Step>
double for_each_matrix(const Tensor& stack, std::int64_t n, Step&& step) {
  Eigen::MatrixXd a(n, n);
  double kept = 0.0;
  for (std::int64_t b = 0; b < kCount; ++b) {
    a = ConstRowMap(stack.data() + b * n * n, n, n);
    kept += step(b, a);
  }
  return kept;
}

void register_all() {
  register_pair(
      "eig_sym", true,
      [](const Tensor& A, std::int64_t) { return first(batched::eig_sym(A).vectors); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> values = stacked(n), vectors = stacked(n * n);
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(n);
        return for_each_matrix(A, n, [&](std::int64_t b, const Eigen::MatrixXd& a) {
          solver.compute(a, Eigen::ComputeEigenvectors);
          Eigen::Map<Eigen::VectorXd>(values.data() + b * n, n) = solver.eigenvalues();
          RowMap(vectors.data() + b * n * n, n, n) = solver.eigenvectors();
          return vectors[b * n * n];
        });
      });
  register_pair(
      "matrix_sqrt", true,
      [](const Tensor& A, std::int64_t) { return first(batched::matrix_sqrt(A)); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> out = stacked(n * n);
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(n);
        Eigen::VectorXd d(n);
        return for_each_matrix(A, n, [&](std::int64_t b, const Eigen::MatrixXd& a) {
          solver.compute(a, Eigen::ComputeEigenvectors);
          d = solver.eigenvalues().cwiseSqrt();
          const Eigen::MatrixXd& v = solver.eigenvectors();
          RowMap(out.data() + b * n * n, n, n).noalias() = (v * d.asDiagonal()) * v.transpose();
          return out[b * n * n];
        });
      });
  register_pair(
      "cholesky", true, [](const Tensor& A, std::int64_t) { return first(batched::cholesky(A)); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> out = stacked(n * n);
        return for_each_matrix(A, n, [&](std::int64_t b, Eigen::MatrixXd& a) {
          const Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>> llt(a);
          RowMap(out.data() + b * n * n, n, n) = llt.matrixL();
          return out[b * n * n];
        });
      });
  register_pair(
      "lu", false, [](const Tensor& A, std::int64_t) { return first(batched::lu(A).determinant); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> L = stacked(n * n), U = stacked(n * n), P = stacked(n * n),
                            Q = stacked(n * n), det = stacked(1);
        return for_each_matrix(A, n, [&](std::int64_t b, Eigen::MatrixXd& a) {
          const Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>> lu(a);
          RowMap(L.data() + b * n * n, n, n) = lu.matrixLU().triangularView<Eigen::UnitLower>();
          RowMap(U.data() + b * n * n, n, n) = lu.matrixLU().triangularView<Eigen::Upper>();
          RowMap(P.data() + b * n * n, n, n) = lu.permutationP().toDenseMatrix().cast<double>();
          RowMap(Q.data() + b * n * n, n, n) = lu.permutationQ().toDenseMatrix().cast<double>();
          det[b] = lu.determinant();
          return det[b] + static_cast<double>(lu.rank());
        });
      });
  register_pair(
      "solve", false,
      [](const Tensor& A, std::int64_t n) {
        Tensor rhs(Shape{static_cast<long>(n)}, DType::Float64,
                   zorvane::Device{DeviceKind::CPU, -1});
        std::fill_n(rhs.data(), n, 1.0);
        return first(batched::solve(A, rhs));
      },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> out = stacked(n);
        const Eigen::VectorXd rhs = Eigen::VectorXd::Ones(n);
        return for_each_matrix(A, n, [&](std::int64_t b, Eigen::MatrixXd& a) {
          const Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>> lu(a);
          Eigen::Map<Eigen::VectorXd>(out.data() + b * n, n) = lu.solve(rhs);
          return out[b * n];
        });
      });
  register_pair(
      "qr", false, [](const Tensor& A, std::int64_t) { return first(batched::qr(A).Q); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> Q = stacked(n * n), R = stacked(n * n);
        return for_each_matrix(A, n, [&](std::int64_t b, Eigen::MatrixXd& a) {
          const Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(a);
          RowMap(Q.data() + b * n * n, n, n) = qr.householderQ() * Eigen::MatrixXd::Identity(n, n);
          RowMap(R.data() + b * n * n, n, n) = qr.matrixQR().triangularView<Eigen::Upper>();
          return Q[b * n * n];
        });
      });
  register_pair(
      "svd", false, [](const Tensor& A, std::int64_t) { return first(batched::svd(A).S); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> U = stacked(n * n), S = stacked(n), Vt = stacked(n * n);
        Eigen::JacobiSVD<Eigen::MatrixXd> svd(n, n, Eigen::ComputeThinU | Eigen::ComputeThinV);
        return for_each_matrix(A, n, [&](std::int64_t b, const Eigen::MatrixXd& a) {
          svd.compute(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
          RowMap(U.data() + b * n * n, n, n) = svd.matrixU();
          Eigen::Map<Eigen::VectorXd>(S.data() + b * n, n) = svd.singularValues();
          RowMap(Vt.data() + b * n * n, n, n) = svd.matrixV().transpose();
          return S[b * n];
        });
      });
  register_pair(
      "eig", false,
      [](const Tensor& A, std::int64_t) { return first(batched::eig(A).values_real); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> wr = stacked(n), wi = stacked(n), vr = stacked(n * n),
                            vi = stacked(n * n);
        Eigen::EigenSolver<Eigen::MatrixXd> solver(n);
        return for_each_matrix(A, n, [&](std::int64_t b, const Eigen::MatrixXd& a) {
          solver.compute(a, true);
          Eigen::Map<Eigen::VectorXd>(wr.data() + b * n, n) = solver.eigenvalues().real();
          Eigen::Map<Eigen::VectorXd>(wi.data() + b * n, n) = solver.eigenvalues().imag();
          const Eigen::MatrixXcd v = solver.eigenvectors();
          RowMap(vr.data() + b * n * n, n, n) = v.real();
          RowMap(vi.data() + b * n * n, n, n) = v.imag();
          return wr[b * n];
        });
      });
  register_pair(
      "trace", false, [](const Tensor& A, std::int64_t) { return first(batched::trace(A)); },
      [](const Tensor& A, std::int64_t n) {
        std::vector<double> out = stacked(1);
        for (std::int64_t b = 0; b < kCount; ++b)
          out[b] = ConstRowMap(A.data() + b * n * n, n, n).trace();
        return out[0];
      });
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
