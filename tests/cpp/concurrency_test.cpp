// Every operation runs on several threads at once, each single-matrix call on
// tensors of its own and the batched calls on stacks that all threads share,
// and must give exactly the bits it gives when the calls run one at a time. The same file also
// forms the program run under ThreadSanitizer.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_util.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::test {
namespace {

using linalg::NormKind;

/// What one call produced: the bits of every number of its result, or the
/// type and message of what it threw.
struct Outcome {
  std::vector<std::uint64_t> bits;
  std::string error;
  bool callbacks_on_calling_thread = true;

  void add(double value) {
    std::uint64_t word = 0;
    std::memcpy(&word, &value, sizeof word);
    bits.push_back(word);
  }
  void add(const Tensor& t) {
    for (std::int64_t k = 0; k < t.ndim(); ++k)
      bits.push_back(static_cast<std::uint64_t>(t.shape()[k]));
    for (std::int64_t i = 0; i < t.numel(); ++i) add(t.data()[i]);  // results are contiguous
  }
  bool operator==(const Outcome& other) const {
    return bits == other.bits && error == other.error &&
           callbacks_on_calling_thread == other.callbacks_on_calling_thread;
  }
};

using Job = std::function<Outcome()>;

/// Runs `call` and records its results through `record`, or what it threw.
template <class Call>
Outcome capture(Call&& call) {
  Outcome outcome;
  try {
    call(outcome);
  } catch (const std::invalid_argument& e) {
    outcome.error = std::string("invalid_argument: ") + e.what();
  } catch (const std::runtime_error& e) {
    outcome.error = std::string("runtime_error: ") + e.what();
  }
  return outcome;
}

/// A fresh tensor for every call, alternating contiguous, transposed and
/// gapped layouts so that the strided gathers also run concurrently.
Tensor fresh_tensor(const Eigen::MatrixXd& m, int layout) {
  switch (layout % 3) {
    case 1:
      return transposed_view_of(m);
    case 2:
      return gapped_view_of(m);
    default:
      return tensor_from(m);
  }
}

/// Matrix-valued operations of one square or rectangular argument.
void add_unary_jobs(std::vector<Job>& jobs, const Eigen::MatrixXd& sym, const Eigen::MatrixXd& spd,
                    const Eigen::MatrixXd& general, const Eigen::MatrixXd& rect, int layout) {
  const auto on = [layout](const Eigen::MatrixXd& m) { return fresh_tensor(m, layout); };
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::trace(on(general))); }); });
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      const linalg::EigenResult r = linalg::eig_sym(on(sym));
      o.add(r.values);
      o.add(r.vectors);
    });
  });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::matrix_sqrt(on(spd))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::matrix_exp(on(sym))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::matrix_log(on(spd))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::matrix_sign(on(sym))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::cholesky(on(spd))); }); });
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      const linalg::LUResult r = linalg::lu(on(general));
      for (const Tensor* t : {&r.L, &r.U, &r.P, &r.Q}) o.add(*t);
      o.add(static_cast<double>(r.rank));
      o.add(r.determinant);
      o.add(r.singular ? 1.0 : 0.0);
    });
  });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::det(on(general))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::inv(on(general))); }); });
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      const linalg::QRResult r = linalg::qr(on(rect));
      o.add(r.Q);
      o.add(r.R);
    });
  });
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      const linalg::SVDResult r = linalg::svd(on(rect));
      o.add(r.U);
      o.add(r.S);
      o.add(r.Vt);
    });
  });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::pinv(on(rect))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::pinv(on(rect), 0.3)); }); });
  for (NormKind kind : {NormKind::Frobenius, NormKind::One, NormKind::Inf, NormKind::Spectral}) {
    jobs.push_back(
        [=] { return capture([&](Outcome& o) { o.add(linalg::norm(on(rect), kind)); }); });
  }
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      const linalg::EigResult r = linalg::eig(on(general));
      for (const Tensor* t : {&r.values_real, &r.values_imag, &r.vectors_real, &r.vectors_imag}) {
        o.add(*t);
      }
    });
  });
}

/// Operations with a right-hand side, as a vector and as a matrix.
void add_rhs_jobs(std::vector<Job>& jobs, const Eigen::MatrixXd& general,
                  const Eigen::MatrixXd& rect, const Eigen::MatrixXd& rhs, int layout) {
  const auto on = [layout](const Eigen::MatrixXd& m) { return fresh_tensor(m, layout); };
  const Eigen::MatrixXd square_rhs = rhs.topRows(general.rows());
  const Eigen::MatrixXd rect_rhs = rhs.topRows(rect.rows());
  jobs.push_back([=] {
    return capture([&](Outcome& o) { o.add(linalg::solve(on(general), on(square_rhs))); });
  });
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      o.add(linalg::solve(on(general), vector_from(Eigen::VectorXd(square_rhs.col(0)))));
    });
  });
  jobs.push_back([=] {
    return capture([&](Outcome& o) {
      const linalg::LstsqResult r = linalg::lstsq(on(rect), on(rect_rhs));
      o.add(r.x);
      o.add(static_cast<double>(r.rank));
    });
  });
}

/// Calls that fail, so that exceptions are built and thrown concurrently too.
void add_failing_jobs(std::vector<Job>& jobs, const Eigen::MatrixXd& spd, int layout) {
  const auto on = [layout](const Eigen::MatrixXd& m) { return fresh_tensor(m, layout); };
  const Eigen::MatrixXd negative = -spd;
  Eigen::MatrixXd with_nan = spd;
  with_nan(0, 0) = std::nan("");
  const Eigen::MatrixXd singular = Eigen::MatrixXd::Zero(spd.rows(), spd.cols());
  jobs.push_back(
      [=] { return capture([&](Outcome& o) { o.add(linalg::cholesky(on(negative))); }); });
  jobs.push_back(
      [=] { return capture([&](Outcome& o) { o.add(linalg::matrix_log(on(negative))); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::svd(on(with_nan)).S); }); });
  jobs.push_back([=] { return capture([&](Outcome& o) { o.add(linalg::inv(on(singular))); }); });
  const Eigen::VectorXd too_long = Eigen::VectorXd::Ones(spd.rows() + 1);
  jobs.push_back([=] {
    return capture([&](Outcome& o) { o.add(linalg::solve(on(spd), vector_from(too_long))); });
  });
}

/// The matrices stacked contiguously in one tensor of shape (count, m, n).
Tensor stack_of(const std::vector<Eigen::MatrixXd>& matrices) {
  const Eigen::Index m = matrices.front().rows(), n = matrices.front().cols();
  Tensor stack(Shape{static_cast<long>(matrices.size()), m, n}, DType::Float64, kCpu);
  for (std::size_t b = 0; b < matrices.size(); ++b) {
    Eigen::Map<linalg::detail::RowMajorMatrix>(stack.data() + static_cast<long>(b) * m * n, m, n) =
        matrices[b];
  }
  return stack;
}

/// Batched calls on stacks that every thread reads at the same time.
void add_batched_jobs(std::vector<Job>& jobs, const Eigen::MatrixXd& spd,
                      const Eigen::MatrixXd& general, const Eigen::MatrixXd& rect) {
  namespace batched = linalg::batched;
  using Call = std::function<std::vector<Tensor>(const Tensor&)>;
  const Tensor spd_stack = stack_of({spd, 2.0 * spd, 3.0 * spd});
  const Tensor general_stack = stack_of({general, general.transpose(), -general});
  const Tensor rect_stack = stack_of({rect, 2.0 * rect});
  const Tensor rhs = vector_from(Eigen::VectorXd::Ones(spd.rows()));
  const std::vector<std::pair<Tensor, Call>> calls = {
      {spd_stack,
       [](const Tensor& A) {
         auto r = batched::eig_sym(A);
         return std::vector{r.values, r.vectors};
       }},
      {spd_stack, [](const Tensor& A) { return std::vector{batched::matrix_sqrt(A)}; }},
      {spd_stack, [](const Tensor& A) { return std::vector{batched::cholesky(A)}; }},
      {spd_stack, [rhs](const Tensor& A) { return std::vector{batched::solve(A, rhs)}; }},
      {general_stack,
       [](const Tensor& A) { return std::vector{batched::det(A), batched::inv(A)}; }},
      {general_stack,
       [](const Tensor& A) {
         auto r = batched::eig(A);
         return std::vector{r.values_real, r.vectors_imag};
       }},
      {general_stack, [](const Tensor& A) { return std::vector{batched::trace(A)}; }},
      {rect_stack,
       [](const Tensor& A) {
         auto r = batched::qr(A);
         return std::vector{r.Q, r.R};
       }},
      {rect_stack,
       [](const Tensor& A) {
         auto r = batched::svd(A);
         return std::vector{r.U, r.S, r.Vt};
       }},
      {rect_stack,
       [](const Tensor& A) {
         return std::vector{batched::pinv(A), batched::norm(A, NormKind::Spectral)};
       }},
  };
  for (const auto& [input, call] : calls) {
    jobs.push_back([input = input, call = call] {
      return capture([&](Outcome& o) {
        for (const Tensor& t : call(input)) o.add(t);
      });
    });
  }
}

/// Fits y = a · exp(b · t) to data of its own; the callbacks keep their
/// counters and data in the closure and note the thread they run on.
Job curve_fit_job(double a, double b, int points) {
  return [=] {
    Outcome outcome;
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<double> t(static_cast<std::size_t>(points));
    std::vector<double> y(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
      t[i] = 0.1 * static_cast<double>(i);
      y[i] = a * std::exp(b * t[i]) + 0.01 * std::sin(static_cast<double>(7 * i));
    }
    std::int64_t calls = 0;
    bool same_thread = true;
    const linalg::LMCallback residual = [&](const double* x, double* r) {
      same_thread = same_thread && std::this_thread::get_id() == caller;
      ++calls;
      for (std::size_t i = 0; i < t.size(); ++i) r[i] = x[0] * std::exp(x[1] * t[i]) - y[i];
    };
    const linalg::LMCallback jacobian = [&](const double* x, double* j) {
      same_thread = same_thread && std::this_thread::get_id() == caller;
      ++calls;
      for (std::size_t i = 0; i < t.size(); ++i) {
        const double e = std::exp(x[1] * t[i]);
        j[2 * i] = e;
        j[2 * i + 1] = x[0] * t[i] * e;
      }
    };
    const linalg::LMResult r =
        linalg::levenberg_marquardt(residual, jacobian, vector_from({1.0, 0.0}), points);
    outcome.add(r.x);
    outcome.add(r.residual);
    outcome.add(r.cost);
    outcome.add(static_cast<double>(r.iterations));
    outcome.add(static_cast<double>(static_cast<int>(r.status)));
    outcome.add(static_cast<double>(calls));
    outcome.callbacks_on_calling_thread = same_thread;
    return outcome;
  };
}

std::vector<Job> every_operation() {
  std::vector<Job> jobs;
  const Eigen::Index sizes[] = {1, 4, 9};
  int layout = 0;
  for (Eigen::Index n : sizes) {
    const auto seed = static_cast<unsigned>(100 + n);
    const Eigen::MatrixXd sym = random_symmetric(n, seed);
    const Eigen::MatrixXd spd = random_spd(n, seed + 1);
    const Eigen::MatrixXd general = random_matrix(n, n, seed + 2);
    const Eigen::MatrixXd rect = random_matrix(n + 3, n, seed + 3);
    const Eigen::MatrixXd rhs = random_matrix(n + 3, 2, seed + 4);
    add_unary_jobs(jobs, sym, spd, general, rect, layout);
    add_rhs_jobs(jobs, general, rect, rhs, layout);
    add_failing_jobs(jobs, spd, layout);
    add_batched_jobs(jobs, spd, general, rect);
    jobs.push_back(curve_fit_job(1.0 + 0.5 * static_cast<double>(n), -0.3 * static_cast<double>(n),
                                 static_cast<int>(6 + n)));
    ++layout;
  }
  return jobs;
}

TEST(Concurrency, EveryOperationGivesItsSingleThreadedBitsOnManyThreads) {
  const std::vector<Job> jobs = every_operation();
  std::vector<Outcome> expected;
  expected.reserve(jobs.size());
  for (const Job& job : jobs) expected.push_back(job());

  constexpr int kThreads = 4;
  constexpr int kRounds = 2;
  // Each thread runs every job in an order of its own and keeps what it saw;
  // only the main thread compares, after the joins.
  std::vector<std::vector<Outcome>> seen(kThreads, std::vector<Outcome>(jobs.size()));
  std::vector<std::vector<int>> mismatches(kThreads, std::vector<int>(jobs.size(), 0));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::size_t> order(jobs.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i : order) {
          Outcome outcome = jobs[i]();
          if (!(outcome == expected[i])) ++mismatches[t][i];
          seen[t][i] = std::move(outcome);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      EXPECT_EQ(mismatches[t][i], 0) << "job " << i << " on thread " << t;
      EXPECT_EQ(seen[t][i].error, expected[i].error) << "job " << i;
      EXPECT_TRUE(seen[t][i].callbacks_on_calling_thread) << "job " << i;
    }
  }
  // The failing jobs did fail, and every other job produced numbers.
  std::size_t failures = 0;
  for (const Outcome& outcome : expected) {
    if (!outcome.error.empty()) ++failures;
    EXPECT_TRUE(!outcome.error.empty() || !outcome.bits.empty());
  }
  EXPECT_EQ(failures, 3u * 5u);
}

}  // namespace
}  // namespace zorvane::test
