// The batched kernels allocate per call, never per matrix: every heap
// allocation of the process (malloc, which operator new and Eigen both reach)
// is counted around a batch of 10 and a batch of 1,000 matrices, and the
// counts must be equal. A program of its own, since it replaces malloc; not
// built with the sanitizers, which replace it too.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"
#include "zorvane/linalg/batched.h"

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {
// Test-local counters: the replaced allocator must count before anything else
// of the test runs, and only this program's one thread allocates.
bool counting = false;
long allocations = 0;
}  // namespace

extern "C" void* malloc(std::size_t size) {
  allocations += counting ? 1 : 0;
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  allocations += counting ? 1 : 0;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
  allocations += counting ? 1 : 0;
  return __libc_realloc(pointer, size);
}

namespace zorvane {
namespace {

namespace batched = linalg::batched;

/// `count` copies of a symmetric positive-definite m x n matrix (its top-left
/// block where m != n), stacked contiguously: an input every operation takes.
Tensor stack_of(std::int64_t count, Eigen::Index m, Eigen::Index n) {
  const Eigen::Index order = std::max(m, n);
  const Eigen::MatrixXd spd = test::random_spd(order, 5).topLeftCorner(m, n);
  Tensor stack(Shape{static_cast<long>(count), static_cast<long>(m), static_cast<long>(n)},
               DType::Float64, test::kCpu);
  for (std::int64_t b = 0; b < count; ++b) {
    Eigen::Map<linalg::detail::RowMajorMatrix>(stack.data() + b * m * n, m, n) = spd;
  }
  return stack;
}

long allocations_of(const std::function<void()>& call) {
  allocations = 0;
  counting = true;
  call();
  counting = false;
  return allocations;
}

enum class Shapes { Square, AnyShape, TallOrSquare };

struct Operation {
  const char* name;
  Shapes shapes;
  std::function<void(const Tensor&)> call;
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

Tensor ones(Shape shape) {
  Tensor t(std::move(shape), DType::Float64, test::kCpu);
  std::fill_n(t.data(), t.numel(), 1.0);
  return t;
}

const std::vector<Operation>& operations() {
  const auto order = [](const Tensor& A) { return A.shape()[A.ndim() - 1]; };
  static const std::vector<Operation> table = {
      {"eig_sym", Shapes::Square, [](const Tensor& A) { batched::eig_sym(A); }},
      {"matrix_sqrt", Shapes::Square, [](const Tensor& A) { batched::matrix_sqrt(A); }},
      {"matrix_log", Shapes::Square, [](const Tensor& A) { batched::matrix_log(A); }},
      {"cholesky", Shapes::Square, [](const Tensor& A) { batched::cholesky(A); }},
      {"lu", Shapes::Square, [](const Tensor& A) { batched::lu(A); }},
      {"det", Shapes::Square, [](const Tensor& A) { batched::det(A); }},
      {"inv", Shapes::Square, [](const Tensor& A) { batched::inv(A); }},
      {"solve_vector", Shapes::Square,
       [order](const Tensor& A) { batched::solve(A, ones(Shape{order(A)})); }},
      {"solve_matrix", Shapes::Square,
       [order](const Tensor& A) { batched::solve(A, ones(Shape{order(A), 2})); }},
      {"eig", Shapes::Square, [](const Tensor& A) { batched::eig(A); }},
      {"trace", Shapes::Square, [](const Tensor& A) { batched::trace(A); }},
      // The QR of a wide matrix updates its trailing columns with a block
      // reflector, whose temporaries Eigen allocates for every matrix.
      {"qr", Shapes::TallOrSquare, [](const Tensor& A) { batched::qr(A); }},
      {"svd", Shapes::AnyShape, [](const Tensor& A) { batched::svd(A); }},
      {"pinv", Shapes::AnyShape, [](const Tensor& A) { batched::pinv(A); }},
      {"norm", Shapes::AnyShape,
       [](const Tensor& A) {
         for (int kind = 0; kind < 4; ++kind) batched::norm(A, linalg::NormKind{kind});
       }},
  };
  return table;
}

class BatchedAllocations : public ::testing::TestWithParam<Operation> {};

TEST_P(BatchedAllocations, DoNotGrowWithTheNumberOfMatrices) {
  const Operation& op = GetParam();
  std::vector<std::pair<Eigen::Index, Eigen::Index>> shapes;
  for (const Eigen::Index n : {0, 1, 2, 3, 4, 5, 8, 17}) shapes.emplace_back(n, n);
  if (op.shapes != Shapes::Square) shapes.emplace_back(6, 3);
  if (op.shapes == Shapes::AnyShape) shapes.emplace_back(3, 6);
  for (const auto& [m, n] : shapes) {
    SCOPED_TRACE(testing::Message() << op.name << " " << m << " x " << n);
    const Tensor few = stack_of(10, m, n);
    const Tensor many = stack_of(1000, m, n);
    op.call(few);  // whatever a first call sets up once per process
    const long per_call = allocations_of([&] { op.call(few); });
    EXPECT_GT(per_call, 0);  // the result tensors at least: the count sees them
    EXPECT_EQ(allocations_of([&] { op.call(many); }), per_call);
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, BatchedAllocations, ::testing::ValuesIn(operations()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorvane
