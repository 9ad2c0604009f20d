// Every operation's argument checks in one table. Each row calls one operation
// on one bad argument and names the exception and its exact message. The rows
// pin the order of the checks: A's shape, then its dtype, then its device;
// then the other arguments (B, rcond, the norm kind, the callbacks); and for
// solve (and the batched solve of a plain matrix) the factorisation comes
// before B's shape. The spectral functions check under eig_sym's name.
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "operations.h"
#include "test_util.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::test {
namespace {

namespace batched = linalg::batched;
using linalg::LMCallback;

enum class Thrown { Argument, Numerical };

struct Row {
  std::string label;
  std::function<void()> call;
  Thrown thrown;
  std::string message;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.label; }

const char* const kFloat64 = " requires float64 (ADR-05: no silent dtype conversion)";
const char* const kCpuOnly =
    " is implemented for the CPU backend only (ADR-05: no silent fallback)";
const char* const kRhsFloat64 =
    " requires float64 right-hand side (ADR-05: no silent dtype conversion)";
const char* const kRhsDims = " requires B to be a 1-D or 2-D tensor";

/// Calls an operation of one tensor and drops its result.
template <auto operation>
void call(const Tensor& a) {
  operation(a);
}

/// An operation of one tensor argument A; any other argument it takes is bad
/// too, so that its rows also show A being checked first.
struct Operation {
  std::string name;
  std::string reports;  // the name its messages carry
  bool square;
  void (*call)(const Tensor&);
};

const Tensor& bad_rhs() {
  static const Tensor b = make_tensor(Shape{4}, DType::Float32, kCuda);
  return b;
}

const std::vector<Operation> kSingleMatrix = {
    {"trace", "trace", true, call<linalg::trace>},
    {"eig_sym", "eig_sym", true, call<linalg::eig_sym>},
    {"matrix_sqrt", "eig_sym", true, call<linalg::matrix_sqrt>},
    {"matrix_exp", "eig_sym", true, call<linalg::matrix_exp>},
    {"matrix_log", "eig_sym", true, call<linalg::matrix_log>},
    {"matrix_sign", "eig_sym", true, call<linalg::matrix_sign>},
    {"cholesky", "cholesky", true, call<linalg::cholesky>},
    {"lu", "lu", true, call<linalg::lu>},
    {"det", "det", true, call<linalg::det>},
    {"solve", "solve", true, [](const Tensor& a) { linalg::solve(a, bad_rhs()); }},
    {"inv", "inv", true, call<linalg::inv>},
    {"eig", "eig", true, call<linalg::eig>},
    {"qr", "qr", false, call<linalg::qr>},
    {"svd", "svd", false, call<linalg::svd>},
    {"pinv", "pinv", false, [](const Tensor& a) { linalg::pinv(a, kNaN); }},
    {"lstsq", "lstsq", false, [](const Tensor& a) { linalg::lstsq(a, bad_rhs()); }},
    {"norm", "norm", false, [](const Tensor& a) { linalg::norm(a, linalg::NormKind{4}); }},
};

const std::vector<Operation> kBatched = {
    {"batched_eig_sym", "eig_sym", true, call<batched::eig_sym>},
    {"batched_matrix_sqrt", "eig_sym", true, call<batched::matrix_sqrt>},
    {"batched_matrix_exp", "eig_sym", true, call<batched::matrix_exp>},
    {"batched_matrix_log", "eig_sym", true, call<batched::matrix_log>},
    {"batched_matrix_sign", "eig_sym", true, call<batched::matrix_sign>},
    {"batched_cholesky", "cholesky", true, call<batched::cholesky>},
    {"batched_lu", "lu", true, call<batched::lu>},
    {"batched_det", "det", true, call<batched::det>},
    {"batched_solve", "solve", true, [](const Tensor& a) { batched::solve(a, bad_rhs()); }},
    {"batched_inv", "inv", true, call<batched::inv>},
    {"batched_qr", "qr", false, call<batched::qr>},
    {"batched_svd", "svd", false, call<batched::svd>},
    {"batched_pinv", "pinv", false, [](const Tensor& a) { batched::pinv(a, kNaN); }},
    {"batched_norm", "norm", false, [](const Tensor& a) { batched::norm(a, linalg::NormKind{4}); }},
    {"batched_eig", "eig", true, call<batched::eig>},
    {"batched_trace", "trace", true, call<batched::trace>},
};

/// A bad A and the first of the three tests it fails.
enum class Fails { Shape, Dtype, Device };
struct BadTensor {
  const char* label;
  Tensor tensor;
  Fails fails;
};

/// Bad matrices for a single-matrix operation. A 3-D tensor of square
/// matrices is no square matrix, and a rectangular matrix reports its shape
/// before its asymmetry.
std::vector<BadTensor> bad_matrices(bool square) {
  std::vector<BadTensor> bad = {
      {"zero_d", make_tensor(Shape{}), Fails::Shape},
      {"one_d", make_tensor(Shape{3}), Fails::Shape},
      {"three_d", make_tensor(Shape{3, 3, 3}), Fails::Shape},
      {"three_d_float32_cuda", make_tensor(Shape{2, 2, 2}, DType::Float32, kCuda), Fails::Shape},
      {"float32", make_tensor(Shape{3, 3}, DType::Float32), Fails::Dtype},
      {"int64_cuda", make_tensor(Shape{3, 3}, DType::Int64, kCuda), Fails::Dtype},
      {"cuda", make_tensor(Shape{3, 3}, DType::Float64, kCuda), Fails::Device},
  };
  if (square) {
    bad.push_back({"not_square", tensor_from({{1, 2, 3}, {4, 5, 6}}), Fails::Shape});
    bad.push_back({"empty_not_square", make_tensor(Shape{0, 3}), Fails::Shape});
    bad.push_back(
        {"not_square_float32_cuda", make_tensor(Shape{2, 3}, DType::Float32, kCuda), Fails::Shape});
  } else {
    bad.push_back({"wide_float32", make_tensor(Shape{2, 3}, DType::Float32), Fails::Dtype});
    bad.push_back({"wide_int32_cuda", make_tensor(Shape{2, 3}, DType::Int32, kCuda), Fails::Dtype});
  }
  return bad;
}

/// Bad stacks for a batched operation.
std::vector<BadTensor> bad_stacks(bool square) {
  std::vector<BadTensor> bad = {
      {"zero_d", make_tensor(Shape{}), Fails::Shape},
      {"one_d", make_tensor(Shape{3}), Fails::Shape},
      {"one_d_int32_cuda", make_tensor(Shape{3}, DType::Int32, kCuda), Fails::Shape},
      {"float32", make_tensor(Shape{2, 3, 3}, DType::Float32), Fails::Dtype},
      {"int32_cuda", make_tensor(Shape{2, 3, 3}, DType::Int32, kCuda), Fails::Dtype},
      {"cuda", make_tensor(Shape{2, 3, 3}, DType::Float64, kCuda), Fails::Device},
  };
  if (square) {
    bad.push_back({"not_square", make_tensor(Shape{2, 3, 4}), Fails::Shape});
    bad.push_back({"not_square_float32_cuda", make_tensor(Shape{2, 3, 4}, DType::Float32, kCuda),
                   Fails::Shape});
  }
  return bad;
}

void add_tensor_rows(std::vector<Row>& rows, const std::vector<Operation>& operations,
                     bool stacked) {
  for (const Operation& op : operations) {
    const std::string shape_suffix =
        stacked ? (op.square ? " requires a tensor of square matrices (..., n, n)"
                             : " requires a tensor of matrices (..., m, n)")
                : (op.square ? " requires a square 2-D tensor" : " requires a 2-D tensor");
    for (const BadTensor& bad : stacked ? bad_stacks(op.square) : bad_matrices(op.square)) {
      const std::string suffix = bad.fails == Fails::Shape   ? shape_suffix
                                 : bad.fails == Fails::Dtype ? kFloat64
                                                             : kCpuOnly;
      rows.push_back({op.name + "_" + bad.label, [f = op.call, a = bad.tensor] { f(a); },
                      Thrown::Argument, "zorvane: " + op.reports + suffix});
    }
    // eig_sym and everything built on it, and cholesky, test symmetry after
    // the tensor checks and before any computation: the matrix is indefinite.
    if (op.reports == "eig_sym" || op.reports == "cholesky") {
      rows.push_back({op.name + "_asymmetric", [f = op.call] { f(tensor_from({{1, 2}, {3, 1}})); },
                      Thrown::Argument, "zorvane: " + op.reports + " requires a symmetric matrix"});
    }
  }
}

/// solve and lstsq test B's dtype and device after A, then B's shape (solve
/// only after the factorisation), also for an empty A; the batched solve also
/// tests that the leading dimensions broadcast.
void add_right_hand_side_rows(std::vector<Row>& rows) {
  using Solver = void (*)(const Tensor&, const Tensor&);
  const Solver solve = [](const Tensor& a, const Tensor& b) { linalg::solve(a, b); };
  const Solver lstsq = [](const Tensor& a, const Tensor& b) { linalg::lstsq(a, b); };
  const Solver stacked = [](const Tensor& a, const Tensor& b) { batched::solve(a, b); };
  const Tensor singular = tensor_from({{1, 2}, {2, 4}});
  const Tensor invertible = tensor_from({{2, 1}, {1, 3}});
  const Tensor empty = make_tensor(Shape{0, 0});
  const Tensor tall = tensor_from(random_matrix(3, 2, 1));
  const Tensor no_columns = make_tensor(Shape{3, 0});
  const Tensor stack = make_tensor(Shape{2, 3, 3});
  const char* const rows_n = " shape mismatch -- A is n x n but B has rows != n";
  const char* const length_n = " shape mismatch -- A is n x n but B has length != n";
  const char* const rows_m = " shape mismatch -- A has m rows but B has rows != m";
  const char* const length_m = " shape mismatch -- A has m rows but B has length != m";
  const struct {
    const char* label;
    Solver call;
    Tensor a, b;
    const char* suffix;
    Thrown thrown = Thrown::Argument;
  } cases[] = {
      {"solve_B_float32_3d_cuda_before_factorising", solve, singular,
       make_tensor(Shape{3, 3, 3}, DType::Float32, kCuda), kRhsFloat64},
      {"solve_B_cuda", solve, singular, make_tensor(Shape{5}, DType::Float64, kCuda), kCpuOnly},
      {"solve_singular_A_before_B_ndim", solve, singular, make_tensor(Shape{2, 1, 1}),
       " failed -- matrix A is singular or numerically singular", Thrown::Numerical},
      {"solve_singular_A_before_B_length", solve, singular, make_tensor(Shape{3}),
       " failed -- matrix A is singular or numerically singular", Thrown::Numerical},
      {"solve_B_three_d", solve, invertible, make_tensor(Shape{2, 1, 1}), kRhsDims},
      {"solve_B_zero_d", solve, invertible, make_tensor(Shape{}), kRhsDims},
      {"solve_B_rows", solve, invertible, make_tensor(Shape{3, 2}), rows_n},
      {"solve_B_length", solve, invertible, make_tensor(Shape{3}), length_n},
      {"solve_empty_A_B_length", solve, empty, make_tensor(Shape{2}), length_n},
      {"solve_empty_A_B_rows", solve, empty, make_tensor(Shape{1, 2}), rows_n},
      {"solve_empty_A_B_three_d", solve, empty, make_tensor(Shape{0, 0, 0}), kRhsDims},
      {"lstsq_B_float32_3d_cuda", lstsq, tall, make_tensor(Shape{2, 2, 2}, DType::Float32, kCuda),
       kRhsFloat64},
      {"lstsq_B_cuda", lstsq, tall, make_tensor(Shape{5}, DType::Float64, kCuda), kCpuOnly},
      {"lstsq_B_zero_d", lstsq, tall, make_tensor(Shape{}), kRhsDims},
      {"lstsq_B_three_d", lstsq, tall, make_tensor(Shape{3, 1, 1}), kRhsDims},
      {"lstsq_B_rows", lstsq, tall, make_tensor(Shape{2, 3}), rows_m},
      {"lstsq_B_length", lstsq, tall, make_tensor(Shape{4}), length_m},
      {"lstsq_no_columns_B_float32_cuda", lstsq, no_columns,
       make_tensor(Shape{2}, DType::Float32, kCuda), kRhsFloat64},
      {"lstsq_no_columns_B_cuda", lstsq, no_columns, make_tensor(Shape{2}, DType::Float64, kCuda),
       kCpuOnly},
      {"lstsq_no_columns_B_three_d", lstsq, no_columns, make_tensor(Shape{3, 1, 1}), kRhsDims},
      {"lstsq_no_columns_B_rows", lstsq, no_columns, make_tensor(Shape{2, 1}), rows_m},
      {"lstsq_no_columns_B_length", lstsq, no_columns, make_tensor(Shape{2}), length_m},
      {"batched_solve_B_int32", stacked, stack, make_tensor(Shape{3}, DType::Int32), kRhsFloat64},
      {"batched_solve_B_cuda", stacked, stack, make_tensor(Shape{3}, DType::Float64, kCuda),
       kCpuOnly},
      {"batched_solve_B_zero_d", stacked, stack, make_tensor(Shape{}),
       " requires B of shape (n) or (..., n, k)"},
      {"batched_solve_B_length", stacked, stack, make_tensor(Shape{2}), length_n},
      {"batched_solve_singular_plain_A_before_B_length", stacked, singular, make_tensor(Shape{3}),
       " failed -- matrix A is singular or numerically singular", Thrown::Numerical},
      {"batched_solve_singular_plain_A_before_B_zero_d", stacked, singular, make_tensor(Shape{}),
       " failed -- matrix A is singular or numerically singular", Thrown::Numerical},
      {"batched_solve_B_rows", stacked, stack, make_tensor(Shape{2, 2, 1}), rows_n},
      {"batched_solve_B_not_broadcasting", stacked, stack, make_tensor(Shape{3, 3, 1}),
       " shape mismatch -- the leading dimensions of A and B do not broadcast"},
  };
  for (const auto& c : cases) {
    const std::string name = c.call == lstsq ? "lstsq" : "solve";
    rows.push_back({c.label, [f = c.call, a = c.a, b = c.b] { f(a, b); }, c.thrown,
                    "zorvane: " + name + c.suffix});
  }
}

/// pinv's rcond and norm's kind, tested after the tensor; then
/// levenberg_marquardt: x0's shape, dtype and device, the callbacks, then the
/// sizes, all before either callback runs (they would throw a logic_error).
void add_other_argument_rows(std::vector<Row>& rows) {
  for (const auto& [label, a] : {std::pair{"pinv_nan_rcond", tensor_from({{1, 0}, {0, 1}})},
                                 std::pair{"pinv_empty_nan_rcond", make_tensor(Shape{0, 3})},
                                 std::pair{"batched_pinv_nan_rcond", make_tensor(Shape{2, 2, 2})},
                                 std::pair{"batched_pinv_empty_nan_rcond",
                                           make_tensor(Shape{2, 0, 3})}}) {
    rows.push_back({label,
                    [a = a] { a.ndim() == 2 ? linalg::pinv(a, kNaN) : batched::pinv(a, kNaN); },
                    Thrown::Argument, "zorvane: pinv requires a non-NaN rcond"});
  }
  for (const int kind : {4, -1, 1000}) {
    const std::string number = kind < 0 ? "minus_" + std::to_string(-kind) : std::to_string(kind);
    rows.push_back({"norm_kind_" + number,
                    [kind] { linalg::norm(tensor_from({{1, 2}}), linalg::NormKind{kind}); },
                    Thrown::Argument, "zorvane: norm received an unknown NormKind"});
    // Raised once for the call, before any matrix, without a batch index.
    rows.push_back({"batched_norm_kind_" + number,
                    [kind] { batched::norm(make_tensor(Shape{0, 1, 2}), linalg::NormKind{kind}); },
                    Thrown::Argument, "zorvane: norm received an unknown NormKind"});
  }

  const LMCallback refuse = [](const double*, double*) {
    throw std::logic_error("a callback ran before the checks");
  };
  const LMCallback none;
  const std::int64_t limit = std::int64_t{1} << 31;
  // A view repeating one element 2^31 times: too long, and never read.
  const Tensor huge = vector_from({1.0}).as_strided(Shape{static_cast<long>(limit)}, Strides{0});
  const Tensor x0 = vector_from({1, 2});
  const char* const callbacks = " requires non-null residual and jacobian callbacks";
  const char* const sizes = " requires m and n below 2^31";
  const struct {
    const char* label;
    LMCallback residual, jacobian;
    Tensor x0;
    std::int64_t m;
    const char* suffix;
  } cases[] = {
      {"x0_2d_float32", none, none, make_tensor(Shape{2, 2}, DType::Float32), 0,
       " requires a 1-D initial guess x0"},
      {"x0_float32_cuda", none, none, make_tensor(Shape{2}, DType::Float32, kCuda), 0, kFloat64},
      {"x0_cuda", none, none, make_tensor(Shape{2}, DType::Float64, kCuda), 0, kCpuOnly},
      {"no_jacobian", refuse, none, x0, 0, callbacks},
      {"no_residual", none, refuse, x0, 0, callbacks},
      {"no_residual_huge_x0", none, refuse, huge, limit, callbacks},
      {"m_zero", refuse, refuse, make_tensor(Shape{0}), 0, " requires m > 0 residual components"},
      {"empty_x0", refuse, refuse, make_tensor(Shape{0}), 2, " requires a non-empty x0"},
      {"m_too_large", refuse, refuse, x0, limit, sizes},
      {"n_too_large", refuse, refuse, huge, 2, sizes},
  };
  for (const auto& c : cases) {
    rows.push_back({std::string("levenberg_marquardt_") + c.label,
                    [r = c.residual, j = c.jacobian, x = c.x0, m = c.m] {
                      linalg::levenberg_marquardt(r, j, x, m);
                    },
                    Thrown::Argument, std::string("zorvane: levenberg_marquardt") + c.suffix});
  }
}

std::vector<Row> all_rows() {
  std::vector<Row> rows;
  add_tensor_rows(rows, kSingleMatrix, false);
  add_tensor_rows(rows, kBatched, true);
  add_right_hand_side_rows(rows);
  add_other_argument_rows(rows);
  return rows;
}

class ArgumentChecks : public ::testing::TestWithParam<Row> {};

TEST_P(ArgumentChecks, ThrowTheExactMessage) {
  const Row& row = GetParam();
  if (row.thrown == Thrown::Argument) {
    EXPECT_THROW_MSG(row.call(), std::invalid_argument, row.message);
  } else {
    EXPECT_THROW_MSG(row.call(), std::runtime_error, row.message);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ArgumentChecks, ::testing::ValuesIn(all_rows()),
                         [](const auto& info) { return info.param.label; });

// Every operation the library exports has its rows: those of the two tables,
// the solver's own below them, and none for lu_factor, which checks nothing.
TEST(ArgumentChecks, CoverEveryOperationOfTheList) {
  std::set<std::string> covered = {"levenberg_marquardt", "lu_factor"};
  for (const auto* table : {&kSingleMatrix, &kBatched}) {
    for (const Operation& op : *table) covered.insert(op.name);
  }
#define ZORVANE_EXPECT_ROWS(result, field, ...) \
  EXPECT_EQ(covered.count(#field), 1u) << "no argument rows for " #field;
  ZORVANE_LINALG_OPERATIONS(ZORVANE_EXPECT_ROWS)
#undef ZORVANE_EXPECT_ROWS
}

}  // namespace
}  // namespace zorvane::test
