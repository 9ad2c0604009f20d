// The batched operations against a bare Eigen loop over the same stack: per
// matrix, a copy into a reused working matrix, the engine on a reused
// decomposition, and the copies of its results into preallocated stacked
// outputs. The bare loop runs fixed-size Eigen matrices for orders 2, 3 and
// 4 and dynamic ones above, as the library does, so the difference is what
// the batched call adds (checks, the walk over the batch, the kernels'
// result layout).
//
// Benchmarks are named "<operation>/<side>/<n>" with side "batched" or
// "eigen"; items are matrices, so items_per_second gives the time per matrix.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "zorvane/core/tensor.h"
#include "zorvane/linalg/batched.h"

namespace {

namespace batched = zorvane::linalg::batched;
using zorvane::DeviceKind;
using zorvane::DType;
using zorvane::Shape;
using zorvane::Tensor;

template <int N>
using Matrix = Eigen::Matrix<double, N, N>;
template <int N>
using RowMap = Eigen::Map<Eigen::Matrix<double, N, N, Eigen::RowMajor>>;
template <int N>
using ConstRowMap = Eigen::Map<const Eigen::Matrix<double, N, N, Eigen::RowMajor>>;
template <int N>
using VectorMap = Eigen::Map<Eigen::Matrix<double, N, 1>>;

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
    RowMap<Eigen::Dynamic>(t.data() + b * n * n, n, n) = a;
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

/// Runs bare(Order) with the fixed order of n = 2, 3, 4, or Eigen::Dynamic.
template <class Bare>
double with_order(std::int64_t n, Bare&& bare) {
  switch (n) {
    case 2:
      return bare(std::integral_constant<int, 2>{});
    case 3:
      return bare(std::integral_constant<int, 3>{});
    case 4:
      return bare(std::integral_constant<int, 4>{});
    default:
      return bare(std::integral_constant<int, Eigen::Dynamic>{});
  }
}

/// The bare loop: gather matrix b into `a`, then `step(b, a)`.
template <int N, class Step>
double for_each_matrix(const Tensor& stack, std::int64_t n, Step&& step) {
  Matrix<N> a(n, n);
  double kept = 0.0;
  for (std::int64_t b = 0; b < kCount; ++b) {
    a = ConstRowMap<N>(stack.data() + b * n * n, n, n);
    kept += step(b, a);
  }
  return kept;
}

/// A bare loop over orders: `make(order, n)` returns the loop's step for that order.
template <class Make>
Body bare(Make make) {
  return [make](const Tensor& A, std::int64_t n) {
    return with_order(n, [&](auto order) {
      constexpr int N = decltype(order)::value;
      return for_each_matrix<N>(A, n, make(order, n));
    });
  };
}

template <int N>
constexpr unsigned kSvdOptions = N == Eigen::Dynamic ? Eigen::ComputeThinU | Eigen::ComputeThinV
                                                     : Eigen::ComputeFullU | Eigen::ComputeFullV;

void register_eigen_family() {
  register_pair(
      "eig_sym", true,
      [](const Tensor& A, std::int64_t) { return first(batched::eig_sym(A).vectors); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, values = stacked(n), vectors = stacked(n * n),
                solver = Eigen::SelfAdjointEigenSolver<Matrix<N>>(n)](
                   std::int64_t b, const Matrix<N>& a) mutable {
          solver.compute(a, Eigen::ComputeEigenvectors);
          VectorMap<N>(values.data() + b * n, n) = solver.eigenvalues();
          RowMap<N>(vectors.data() + b * n * n, n, n) = solver.eigenvectors();
          return vectors[b * n * n];
        };
      }));
  register_pair(
      "matrix_sqrt", true,
      [](const Tensor& A, std::int64_t) { return first(batched::matrix_sqrt(A)); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, out = stacked(n * n), solver = Eigen::SelfAdjointEigenSolver<Matrix<N>>(n),
                d = Eigen::Matrix<double, N, 1>(n)](std::int64_t b, const Matrix<N>& a) mutable {
          solver.compute(a, Eigen::ComputeEigenvectors);
          d = solver.eigenvalues().cwiseSqrt();
          const Matrix<N>& v = solver.eigenvectors();
          RowMap<N>(out.data() + b * n * n, n, n).noalias() = (v * d.asDiagonal()) * v.transpose();
          return out[b * n * n];
        };
      }));
  register_pair(
      "eig", false,
      [](const Tensor& A, std::int64_t) { return first(batched::eig(A).values_real); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, wr = stacked(n), wi = stacked(n), vr = stacked(n * n), vi = stacked(n * n),
                solver = Eigen::EigenSolver<Matrix<N>>(n)](std::int64_t b,
                                                           const Matrix<N>& a) mutable {
          solver.compute(a, true);
          VectorMap<N>(wr.data() + b * n, n) = solver.eigenvalues().real();
          VectorMap<N>(wi.data() + b * n, n) = solver.eigenvalues().imag();
          const auto v = solver.eigenvectors();
          RowMap<N>(vr.data() + b * n * n, n, n) = v.real();
          RowMap<N>(vi.data() + b * n * n, n, n) = v.imag();
          return wr[b * n];
        };
      }));
  register_pair(
      "svd", false, [](const Tensor& A, std::int64_t) { return first(batched::svd(A).S); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, U = stacked(n * n), S = stacked(n), Vt = stacked(n * n),
                svd = Eigen::JacobiSVD<Matrix<N>>(n, n, kSvdOptions<N>)](
                   std::int64_t b, const Matrix<N>& a) mutable {
          svd.compute(a, kSvdOptions<N>);
          RowMap<N>(U.data() + b * n * n, n, n) = svd.matrixU();
          VectorMap<N>(S.data() + b * n, n) = svd.singularValues();
          RowMap<N>(Vt.data() + b * n * n, n, n) = svd.matrixV().transpose();
          return S[b * n];
        };
      }));
}

void register_factorisations() {
  register_pair(
      "cholesky", true, [](const Tensor& A, std::int64_t) { return first(batched::cholesky(A)); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, out = stacked(n * n), llt = Eigen::LLT<Matrix<N>>(n)](
                   std::int64_t b, const Matrix<N>& a) mutable {
          llt.compute(a);
          RowMap<N>(out.data() + b * n * n, n, n) = llt.matrixL();
          return out[b * n * n];
        };
      }));
  register_pair(
      "lu", false, [](const Tensor& A, std::int64_t) { return first(batched::lu(A).determinant); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, L = stacked(n * n), U = stacked(n * n), P = stacked(n * n), Q = stacked(n * n),
                det = stacked(1), lu = Eigen::FullPivLU<Matrix<N>>(n, n)](
                   std::int64_t b, const Matrix<N>& a) mutable {
          lu.compute(a);
          RowMap<N>(L.data() + b * n * n, n, n) =
              lu.matrixLU().template triangularView<Eigen::UnitLower>();
          RowMap<N>(U.data() + b * n * n, n, n) =
              lu.matrixLU().template triangularView<Eigen::Upper>();
          RowMap<N>(P.data() + b * n * n, n, n) =
              lu.permutationP().toDenseMatrix().template cast<double>();
          RowMap<N>(Q.data() + b * n * n, n, n) =
              lu.permutationQ().toDenseMatrix().template cast<double>();
          det[b] = lu.determinant();
          return det[b] + static_cast<double>(lu.rank());
        };
      }));
  register_pair(
      "det", false, [](const Tensor& A, std::int64_t) { return first(batched::det(A)); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [det = stacked(1), lu = Eigen::FullPivLU<Matrix<N>>(n, n)](
                   std::int64_t b, const Matrix<N>& a) mutable {
          lu.compute(a);
          return det[b] = lu.determinant();
        };
      }));
  register_pair(
      "solve", false,
      [](const Tensor& A, std::int64_t n) {
        Tensor rhs(Shape{static_cast<long>(n)}, DType::Float64,
                   zorvane::Device{DeviceKind::CPU, -1});
        std::fill_n(rhs.data(), n, 1.0);
        return first(batched::solve(A, rhs));
      },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        using Vector = Eigen::Matrix<double, N, 1>;
        return [n, out = stacked(n), rhs = Vector(Vector::Ones(n)),
                lu = Eigen::FullPivLU<Matrix<N>>(n, n)](std::int64_t b,
                                                        const Matrix<N>& a) mutable {
          lu.compute(a);
          VectorMap<N>(out.data() + b * n, n) = lu.solve(rhs);
          return out[b * n];
        };
      }));
  register_pair(
      "inv", false, [](const Tensor& A, std::int64_t) { return first(batched::inv(A)); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, out = stacked(n * n), lu = Eigen::FullPivLU<Matrix<N>>(n, n)](
                   std::int64_t b, const Matrix<N>& a) mutable {
          lu.compute(a);
          RowMap<N>(out.data() + b * n * n, n, n) = lu.inverse();
          return out[b * n * n];
        };
      }));
  register_pair(
      "qr", false, [](const Tensor& A, std::int64_t) { return first(batched::qr(A).Q); },
      bare([](auto order, std::int64_t n) {
        constexpr int N = decltype(order)::value;
        return [n, Q = stacked(n * n), R = stacked(n * n),
                qr = Eigen::HouseholderQR<Matrix<N>>(n, n)](std::int64_t b,
                                                            const Matrix<N>& a) mutable {
          qr.compute(a);
          RowMap<N>(Q.data() + b * n * n, n, n) = qr.householderQ() * Matrix<N>::Identity(n, n);
          RowMap<N>(R.data() + b * n * n, n, n) =
              qr.matrixQR().template triangularView<Eigen::Upper>();
          return Q[b * n * n];
        };
      }));
  register_pair(
      "trace", false, [](const Tensor& A, std::int64_t) { return first(batched::trace(A)); },
      bare([](auto, std::int64_t) {
        return [out = stacked(1)](std::int64_t b, const auto& a) mutable {
          return out[b] = a.trace();
        };
      }));
}

}  // namespace

int main(int argc, char** argv) {
  register_eigen_family();
  register_factorisations();
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("zorvane_level", zorvane::linalg::instruction_set());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
