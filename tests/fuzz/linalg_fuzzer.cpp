// libFuzzer harness: the input bytes choose an operation, tensors (shape,
// strides, dtype, device, values) and options, and the call must either
// return well-formed results or throw std::invalid_argument,
// std::runtime_error (messages starting "zorvane: " and naming the operation)
// or std::bad_alloc. Anything else aborts, which libFuzzer reports as a crash.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <type_traits>
#include <utility>
#include <vector>

#include "level_outcomes.h"
#include "levels.h"
#include "zorvane/core/tensor.h"
#include "zorvane/linalg/batched.h"
#include "zorvane/linalg/detail.h"
#include "zorvane/linalg/linalg.h"

namespace zl = zorvane::linalg;
using zorvane::Device;
using zorvane::DeviceKind;
using zorvane::DType;
using zorvane::Shape;
using zorvane::Strides;
using zorvane::Tensor;

namespace {

/// The storage offset of logical element `index` (row-major order) in a view
/// of `shape` and `strides` (the harness's vectors, or a tensor's own).
template <class Extents, class Steps>
std::int64_t element_offset(const Extents& shape, const Steps& strides, std::int64_t index) {
  std::int64_t offset = 0;
  for (std::size_t k = shape.size(); k-- > 0;) {
    offset += (index % shape[k]) * strides[k];
    index /= shape[k];
  }
  return offset;
}

}  // namespace

// ---- every level ------------------------------------------------------------
// Each input runs once at every instruction-set level this CPU supports. The
// harness calls the operations below, which forward to the level of the
// current run and record what each call gave; the runs must then agree.

namespace zorvane::lv {

using linalg::LMCallback;
using linalg::LMParameters;
using linalg::NormKind;

/// One call of an operation: its outcome, the order it worked at, whether
/// every float64 argument was moderate (finite, and 0 or of magnitude within
/// [1e-100, 1e100]), and whether the harness made its argument well
/// conditioned.
struct Call {
  const char* operation;
  test::Outcome outcome;
  std::int64_t order;
  bool moderate;
  bool well_conditioned;
};

// The level of the current run, the record of its calls, and whether the
// harness is calling with a well-conditioned matrix of its own making.
const linalg::dispatch::Operations* level = nullptr;
std::vector<Call>* calls = nullptr;
bool well_conditioned = false;

/// The largest extent of the first tensor among `arguments`.
template <class... Arguments>
std::int64_t order_of(const Arguments&... arguments) {
  std::int64_t order = 0;
  bool seen = false;
  const auto look = [&](const auto& argument) {
    if constexpr (std::is_same_v<std::decay_t<decltype(argument)>, Tensor>) {
      if (!seen) {
        for (std::int64_t extent : argument.shape()) order = std::max(order, extent);
      }
      seen = true;
    }
  };
  (look(arguments), ...);
  return order;
}

// What is recorded of a result: the values themselves, except for the
// factorisations whose factors a rank-deficient matrix or a repeated
// eigenvalue leaves undetermined, where rounding may pick other factors at
// another level; of those, the spectrum and the product of the factors.
template <class Result>
void record(test::Outcome& out, const Result& r) {
  test::append(out, r);
}

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

/// Appends, for every matrix of the stacks, left · diag(middle) · right
/// (left · diag(middle) · leftᵀ where `right` is null, the identity where
/// `middle` is): left (..., m, k), middle (..., k), right (..., k, n).
void append_products(test::Outcome& out, const Tensor& left, const Tensor* middle,
                     const Tensor* right) {
  const auto nd = static_cast<std::size_t>(left.ndim());
  const std::int64_t m = left.shape()[nd - 2], k = left.shape()[nd - 1];
  const std::int64_t n = right ? right->shape()[nd - 1] : m;
  const std::int64_t count = m * k == 0 ? 0 : left.numel() / (m * k);
  for (std::int64_t b = 0; b < count; ++b) {
    const Eigen::Map<const RowMajor> l(left.data() + b * m * k, m, k);
    const RowMajor r = right ? RowMajor(Eigen::Map<const RowMajor>(right->data() + b * k * n, k, n))
                             : RowMajor(l.transpose());
    const Eigen::VectorXd d = middle ? Eigen::VectorXd(Eigen::Map<const Eigen::VectorXd>(
                                           middle->data() + b * k, k))
                                     : Eigen::VectorXd::Ones(k);
    const RowMajor product = l * d.asDiagonal() * r;
    out.values.insert(out.values.end(), product.data(), product.data() + product.size());
  }
}

void record(test::Outcome& out, const linalg::EigenResult& r) {
  test::append(out, r.values);
  append_products(out, r.vectors, &r.values, nullptr);
}
void record(test::Outcome& out, const linalg::SVDResult& r) {
  test::append(out, r.S);
  append_products(out, r.U, &r.S, &r.Vt);
}
void record(test::Outcome& out, const linalg::QRResult& r) {
  append_products(out, r.Q, nullptr, &r.R);
}

bool moderate(double v) {
  const double a = std::abs(v);
  return std::isfinite(v) && (a == 0.0 || (a >= 1e-100 && a <= 1e100));
}

/// Whether every element of every float64 CPU tensor among `arguments` is moderate.
template <class... Arguments>
bool moderate_arguments(const Arguments&... arguments) {
  bool all = true;
  const auto look = [&](const auto& argument) {
    if constexpr (std::is_same_v<std::decay_t<decltype(argument)>, Tensor>) {
      if (argument.dtype() != DType::Float64 || argument.device().kind != DeviceKind::CPU) return;
      for (std::int64_t i = 0; i < argument.numel(); ++i) {
        const double v = argument.data()[element_offset(argument.shape(), argument.strides(), i)];
        all = all && moderate(v);
      }
    }
  };
  (look(arguments), ...);
  return all;
}

#define ZORVANE_RECORDING_FORWARD(result, field, function, parameters, arguments)       \
  result field parameters {                                                              \
    Call call{#field, {}, order_of arguments, moderate_arguments arguments,             \
              well_conditioned};                                                         \
    try {                                                                                \
      result r = level->field arguments;                                                 \
      record(call.outcome, r);                                                           \
      calls->push_back(std::move(call));                                                 \
      return r;                                                                          \
    } catch (const std::exception& e) {                                                  \
      call.outcome.error = std::string(typeid(e).name()) + ": " + e.what();              \
      calls->push_back(std::move(call));                                                 \
      throw;                                                                             \
    }                                                                                    \
  }
ZORVANE_LINALG_OPERATIONS(ZORVANE_RECORDING_FORWARD)
#undef ZORVANE_RECORDING_FORWARD

}  // namespace zorvane::lv

namespace lv = zorvane::lv;

namespace {

constexpr std::int64_t kMaxExtent = 12;

[[noreturn]] void fail(const char* operation, const std::string& what) {
  std::fprintf(stderr, "zorvane fuzz: %s: %s\n", operation, what.c_str());
  std::abort();
}

void expect(bool condition, const char* operation, const char* what) {
  if (!condition) fail(operation, what);
}

/// Reads the fuzzer's bytes front to back; past the end every read gives 0.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool flag(unsigned one_in) { return byte() % one_in == 0; }

  /// A value from a menu of awkward classes, or an ordinary small number.
  double value() {
    const std::uint8_t kind = byte();
    switch (kind % 24) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return std::numeric_limits<double>::infinity();
      case 2: return -std::numeric_limits<double>::infinity();
      case 3: return std::numeric_limits<double>::denorm_min() * (1 + byte());
      case 4: return (kind & 32 ? -1.0 : 1.0) * std::numeric_limits<double>::max() / (1 + byte());
      case 5: return (kind & 32 ? -1.0 : 1.0) * std::numeric_limits<double>::min() * (1 + byte());
      case 6: return 0.0;
      case 7: return -0.0;
      case 8: return std::ldexp(1.0 + byte() / 256.0, static_cast<int>(byte()) - 128);
      case 9: return 1.0;
      default: {
        const auto raw = static_cast<std::int16_t>((byte() << 8) | byte());
        return static_cast<double>(raw) / 1024.0;
      }
    }
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

/// A tensor built by the harness together with what it should hold.
struct Argument {
  Tensor tensor;
  std::vector<double> logical;  // row-major element values of the view (float64 only)
  bool float64_cpu = false;
  bool moderate = true;  // every value finite, and 0 or of magnitude within [1e-100, 1e100]
};

std::int64_t extent(ByteReader& in) {
  const std::uint8_t b = in.byte();
  if (b % 8 == 0) return 0;
  if (b % 8 == 1) return 1;
  return (b >> 3) % (kMaxExtent + 1);
}

/// Builds a view with the given number of dimensions: extents up to
/// kMaxExtent, strides in row- or column-major order, gapped or not,
/// negative or not, over a larger buffer; mostly float64 on the CPU.
Argument make_view(ByteReader& in, const std::vector<std::int64_t>& shape,
                   std::size_t repeatable_dims = 0);

Argument make_argument(ByteReader& in, std::size_t ndim, bool square = false) {
  std::vector<std::int64_t> shape(ndim);
  for (auto& e : shape) e = extent(in);
  if (square && ndim == 2) shape[1] = shape[0];
  if (ndim == 3) {
    for (auto& e : shape) e = e % 4;
  }
  return make_view(in, shape);
}

/// The view of `shape` over a larger buffer (see make_argument); each of its
/// first `repeatable_dims` dimensions may get stride 0, so that the view
/// repeats its matrices as a broadcast operand does.
Argument make_view(ByteReader& in, const std::vector<std::int64_t>& shape,
                   std::size_t repeatable_dims) {
  const std::size_t ndim = shape.size();
  const std::uint8_t layout = in.byte();
  const bool column_major = layout & 1;
  const std::int64_t gap = (layout & 2) ? 2 + (layout >> 6) : 1;
  std::vector<std::int64_t> strides(ndim);
  std::int64_t step = gap;
  for (std::size_t i = 0; i < ndim; ++i) {
    const std::size_t k = column_major ? i : ndim - 1 - i;
    strides[k] = step;
    step *= std::max<std::int64_t>(shape[k], 1) + (layout & 4 ? 1 : 0);
  }
  std::int64_t offset = (layout & 8) ? 3 : 0;
  for (std::size_t k = 0; k < ndim; ++k) {
    if (layout & (16 << k % 3) && shape[k] > 1) {
      offset += (shape[k] - 1) * strides[k];
      strides[k] = -strides[k];
    }
  }
  for (std::size_t k = 0; k < repeatable_dims; ++k) {
    if (in.flag(3)) strides[k] = 0;
  }
  std::int64_t last = offset;
  for (std::size_t k = 0; k < ndim; ++k) {
    if (strides[k] > 0 && shape[k] > 0) last += (shape[k] - 1) * strides[k];
  }

  const std::uint8_t kind = in.byte();
  DType dtype = DType::Float64;
  if (kind % 16 == 0) dtype = static_cast<DType>((kind >> 4) % 3);
  Device device{DeviceKind::CPU, -1};
  if (kind % 16 == 1) device = Device{DeviceKind::CUDA, 0};
  // A dimension of extent 1 may carry any stride, however large: no element
  // offset uses it, but a sum or product of strides would overflow.
  if (kind % 16 == 2) {
    for (std::size_t k = 0; k < ndim; ++k) {
      const std::int64_t huge = (std::int64_t{1} << 62) + static_cast<std::int64_t>(k) + 1;
      if (shape[k] == 1) strides[k] = k % 2 ? -huge : huge;
    }
  }

  Argument arg;
  arg.float64_cpu = dtype == DType::Float64 && device.kind == DeviceKind::CPU;
  // Every element of the buffer is 8 bytes wide at most; gaps hold NaN so
  // that a read outside the view shows in the results.
  const std::int64_t buffer_size = last + 1 + ((layout & 8) ? 3 : 0);
  Tensor buffer(Shape{static_cast<long>(buffer_size)}, dtype, device);
  const std::size_t bytes = static_cast<std::size_t>(buffer_size) * zorvane::element_size(dtype);
  std::memset(buffer.data(), 0, bytes);
  Shape view_shape(shape.data(), shape.size());
  Strides view_strides(strides.data(), strides.size());
  arg.tensor = buffer.as_strided(view_shape, view_strides, offset);
  if (dtype != DType::Float64) return arg;

  double* base = buffer.data();
  for (std::int64_t i = 0; i < buffer_size; ++i) base[i] = std::nan("7");
  std::int64_t count = 1;
  for (auto e : shape) count *= e;
  arg.logical.resize(static_cast<std::size_t>(count));
  for (auto& v : arg.logical) v = in.value();
  // Symmetric inputs reach the spectral code; an optional tiny skew probes
  // the symmetry tolerance.
  if (ndim == 2 && shape[0] == shape[1] && in.flag(2)) {
    const double skew = in.flag(4) ? 1e-15 : 0.0;
    const std::int64_t n = shape[0];
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::int64_t j = i + 1; j < n; ++j) {
        arg.logical[static_cast<std::size_t>(j * n + i)] =
            arg.logical[static_cast<std::size_t>(i * n + j)] * (1.0 + skew);
      }
    }
  }
  for (std::int64_t i = 0; i < count; ++i) {
    const double v = arg.logical[static_cast<std::size_t>(i)];
    base[offset + element_offset(shape, strides, i)] = v;
    const double a = std::abs(v);
    if (!std::isfinite(v) || (a != 0.0 && (a < 1e-100 || a > 1e100))) arg.moderate = false;
  }
  return arg;
}

std::size_t matrix_or_other_rank(ByteReader& in) {
  switch (in.byte() % 10) {
    case 0: return 1;
    case 1: return 3;
    case 2: return 0;
    default: return 2;
  }
}

Argument matrix_argument(ByteReader& in, bool square) {
  return make_argument(in, matrix_or_other_rank(in), square);
}

bool is_square_matrix(const Argument& a) {
  return a.float64_cpu && a.tensor.ndim() == 2 && a.tensor.shape()[0] == a.tensor.shape()[1];
}

// ---- checks on results ------------------------------------------------------

void expect_shape(const Tensor& t, std::initializer_list<std::int64_t> shape, const char* op) {
  expect(t.defined(), op, "undefined result tensor");
  expect(t.dtype() == DType::Float64 && t.device().kind == DeviceKind::CPU, op,
         "result not float64 on the CPU");
  expect(t.ndim() == static_cast<std::int64_t>(shape.size()), op, "result rank");
  std::int64_t k = 0, stride = 1;
  for (auto it = shape.end(); it != shape.begin();) {
    --it;
    const std::int64_t dim = static_cast<std::int64_t>(shape.size()) - 1 - k++;
    expect(t.shape()[static_cast<std::size_t>(dim)] == *it, op, "result extent");
    // Strides of a tensor without elements mean nothing.
    if (*it > 1 && t.numel() > 0) {
      expect(t.strides()[static_cast<std::size_t>(dim)] == stride, op, "result not row-major");
    }
    stride *= *it;
  }
}

void expect_finite(const Tensor& t, const char* op) {
  for (std::int64_t i = 0; i < t.numel(); ++i) {
    expect(std::isfinite(t.data()[i]), op, "non-finite result for moderate finite input");
  }
}

void expect_permutation(const Tensor& t, std::int64_t n, const char* op) {
  const double* p = t.data();
  for (std::int64_t i = 0; i < n; ++i) {
    double row = 0.0, col = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
      expect(p[i * n + j] == 0.0 || p[i * n + j] == 1.0, op, "permutation entry not 0 or 1");
      row += p[i * n + j];
      col += p[j * n + i];
    }
    expect(row == 1.0 && col == 1.0, op, "not a permutation");
  }
}

/// Zeros strictly below (lower = false) or above (lower = true) the diagonal.
void expect_triangular(const Tensor& t, bool lower, const char* op) {
  const std::int64_t rows = t.shape()[0], cols = t.shape()[1];
  for (std::int64_t i = 0; i < rows; ++i) {
    for (std::int64_t j = 0; j < cols; ++j) {
      if ((lower && j > i) || (!lower && i > j)) {
        expect(t.data()[i * cols + j] == 0.0, op, "triangle not zero");
      }
    }
  }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- the operations ---------------------------------------------------------

using Names = std::initializer_list<const char*>;

/// Runs `call`; an exception must be one of the three allowed types, and
/// its message must begin "zorvane: " followed by one of `names`.
template <class Call>
void guarded(const char* op, Names names, Call&& call) {
  const auto check_message = [&](const std::exception& e) {
    const std::string what = e.what();
    for (const char* name : names) {
      if (what.rfind(std::string("zorvane: ") + name + " ", 0) == 0) return;
    }
    fail(op, "bad message: " + what);
  };
  try {
    call();
  } catch (const std::invalid_argument& e) {
    if (typeid(e) != typeid(std::invalid_argument)) fail(op, "subclass of invalid_argument");
    check_message(e);
  } catch (const std::runtime_error& e) {
    if (typeid(e) != typeid(std::runtime_error)) fail(op, "subclass of runtime_error");
    check_message(e);
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& e) {
    fail(op, std::string("unexpected exception ") + typeid(e).name() + ": " + e.what());
  }
}

/// Calls `call` (guarded) with a symmetric positive-definite matrix made
/// from a square input's values, its eigenvalues within [1, 2n + 1]: a
/// matrix away from every threshold, on which the levels must agree.
template <class Body>
void with_well_conditioned_companion(const Argument& a, Body&& call) {
  if (!is_square_matrix(a) || !a.moderate) return;
  const Eigen::Index n = a.tensor.shape()[0];
  const Eigen::Map<const lv::RowMajor> values(a.logical.data(), n, n);
  const double largest = n == 0 ? 0.0 : values.cwiseAbs().maxCoeff();
  const Eigen::MatrixXd symmetric = (values + values.transpose()) / (2.0 * std::max(largest, 1e-300));
  const Eigen::MatrixXd companion =
      symmetric + static_cast<double>(n + 1) * Eigen::MatrixXd::Identity(n, n);
  lv::well_conditioned = true;
  guarded("well-conditioned companion", {"cholesky", "matrix_sqrt", "matrix_exp", "matrix_log",
                                         "matrix_sign", "eig_sym"},
          [&] { call(zl::detail::scatter_matrix(companion)); });
  lv::well_conditioned = false;
}

void run_square_function(const char* op, Tensor (*f)(const Tensor&), const Argument& a) {
  with_well_conditioned_companion(a, [f](const Tensor& m) { (void)f(m); });
  guarded(op, {op, "eig_sym"}, [&] {
    const Tensor r = f(a.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    expect_shape(r, {n, n}, op);
    if (a.moderate) expect_finite(r, op);
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::int64_t j = 0; j < n; ++j) {
        const double upper = r.data()[i * n + j], lower = r.data()[j * n + i];
        expect(same_bits(upper, lower) || (std::isnan(upper) && std::isnan(lower)), op,
               "result not symmetric");
      }
    }
  });
}

void run_eig_sym(const Argument& a) {
  guarded("eig_sym", {"eig_sym"}, [&] {
    const zl::EigenResult r = lv::eig_sym(a.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    expect_shape(r.values, {n}, "eig_sym");
    expect_shape(r.vectors, {n, n}, "eig_sym");
    // Whatever the input, a returned decomposition is finite: non-finite
    // eigenvalues are reported as a failure to converge.
    expect_finite(r.values, "eig_sym");
    expect_finite(r.vectors, "eig_sym");
    for (std::int64_t i = 1; i < n; ++i) {
      expect(r.values.data()[i - 1] <= r.values.data()[i], "eig_sym", "values not ascending");
    }
  });
}

void run_cholesky(const Argument& a) {
  guarded("cholesky", {"cholesky"}, [&] {
    const Tensor l = lv::cholesky(a.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    expect_shape(l, {n, n}, "cholesky");
    expect_triangular(l, true, "cholesky");
  });
  with_well_conditioned_companion(a, [](const Tensor& m) { (void)lv::cholesky(m); });
}

void run_lu(const Argument& a) {
  guarded("lu", {"lu"}, [&] {
    const zl::LUResult r = lv::lu(a.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    for (const Tensor* t : {&r.L, &r.U, &r.P, &r.Q}) expect_shape(*t, {n, n}, "lu");
    expect_triangular(r.L, true, "lu");
    expect_triangular(r.U, false, "lu");
    for (std::int64_t i = 0; i < n; ++i) expect(r.L.data()[i * n + i] == 1.0, "lu", "L not unit");
    expect_permutation(r.P, n, "lu");
    expect_permutation(r.Q, n, "lu");
    expect(r.rank >= 0 && r.rank <= n, "lu", "rank out of range");
    expect(r.singular == (r.rank < n), "lu", "singular disagrees with rank");
    if (a.moderate) expect_finite(r.L, "lu");
  });
  guarded("det", {"det"}, [&] { (void)lv::det(a.tensor); });
}

void run_solve(ByteReader& in, const Argument& a) {
  const Argument b = make_argument(in, in.byte() % 4);
  guarded("solve", {"solve"}, [&] {
    const Tensor x = lv::solve(a.tensor, b.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    if (b.tensor.ndim() == 1) expect_shape(x, {n}, "solve");
    else expect_shape(x, {n, b.tensor.shape()[1]}, "solve");
  });
  guarded("inv", {"inv"}, [&] {
    const Tensor x = lv::inv(a.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    expect_shape(x, {n, n}, "inv");
  });
}

void run_qr_svd(const Argument& a) {
  const bool matrix = a.float64_cpu && a.tensor.ndim() == 2;
  const std::int64_t m = matrix ? a.tensor.shape()[0] : 0;
  const std::int64_t n = matrix ? a.tensor.shape()[1] : 0;
  const std::int64_t k = std::min(m, n);
  guarded("qr", {"qr"}, [&] {
    const zl::QRResult r = lv::qr(a.tensor);
    expect_shape(r.Q, {m, k}, "qr");
    expect_shape(r.R, {k, n}, "qr");
    expect_triangular(r.R, false, "qr");
    if (a.moderate) {
      expect_finite(r.Q, "qr");
      expect_finite(r.R, "qr");
    }
  });
  guarded("svd", {"svd"}, [&] {
    const zl::SVDResult r = lv::svd(a.tensor);
    expect_shape(r.U, {m, k}, "svd");
    expect_shape(r.S, {k}, "svd");
    expect_shape(r.Vt, {k, n}, "svd");
    for (std::int64_t i = 0; i < k; ++i) {
      expect(r.S.data()[i] >= 0.0, "svd", "negative or NaN singular value");
      if (i > 0) expect(r.S.data()[i - 1] >= r.S.data()[i], "svd", "values not descending");
    }
    if (a.moderate) {
      expect_finite(r.U, "svd");
      expect_finite(r.Vt, "svd");
    }
  });
}

void run_pinv_lstsq_norm(ByteReader& in, const Argument& a) {
  const bool matrix = a.float64_cpu && a.tensor.ndim() == 2;
  const std::int64_t m = matrix ? a.tensor.shape()[0] : 0;
  const std::int64_t n = matrix ? a.tensor.shape()[1] : 0;
  const double rcond = in.flag(2) ? -1.0 : in.value();
  guarded("pinv", {"pinv"}, [&] { expect_shape(lv::pinv(a.tensor, rcond), {n, m}, "pinv"); });
  const Argument b = make_argument(in, in.byte() % 4);
  guarded("lstsq", {"lstsq"}, [&] {
    const zl::LstsqResult r = lv::lstsq(a.tensor, b.tensor);
    if (b.tensor.ndim() == 1) expect_shape(r.x, {n}, "lstsq");
    else expect_shape(r.x, {n, b.tensor.shape()[1]}, "lstsq");
    expect(r.rank >= 0 && r.rank <= std::min(m, n), "lstsq", "rank out of range");
  });
  const auto kind = static_cast<zl::NormKind>(static_cast<std::int32_t>(in.byte() % 6) - 1);
  guarded("norm", {"norm"}, [&] {
    const double value = lv::norm(a.tensor, kind);
    expect(std::isnan(value) || value >= 0.0, "norm", "negative norm");
    if (a.moderate) expect(std::isfinite(value), "norm", "non-finite norm");
  });
}

void run_eig(const Argument& a) {
  guarded("eig", {"eig"}, [&] {
    const zl::EigResult r = lv::eig(a.tensor);
    const std::int64_t n = a.tensor.shape()[0];
    expect_shape(r.values_real, {n}, "eig");
    expect_shape(r.values_imag, {n}, "eig");
    expect_shape(r.vectors_real, {n, n}, "eig");
    expect_shape(r.vectors_imag, {n, n}, "eig");
    if (a.moderate) {
      for (const Tensor* t : {&r.values_real, &r.values_imag, &r.vectors_real, &r.vectors_imag}) {
        expect_finite(*t, "eig");
      }
    }
  });
}

void run_trace(const Argument& a) {
  guarded("trace", {"trace"}, [&] {
    const double t = lv::trace(a.tensor);
    if (!is_square_matrix(a)) fail("trace", "accepted an invalid tensor");
    const std::int64_t n = a.tensor.shape()[0];
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) sum += a.logical[static_cast<std::size_t>(i * n + i)];
    expect(same_bits(t, sum), "trace", "wrong diagonal sum");
  });
}

/// gather_matrix must read exactly the view's elements, scatter_matrix must
/// write them back in row-major order; both bit for bit.
void run_transfers(const Argument& a) {
  guarded("gather_matrix", {"gather_matrix"}, [&] {
    zl::detail::require_2d_f64_cpu(a.tensor, "gather_matrix");
    const Eigen::MatrixXd m = zl::detail::gather_matrix(a.tensor);
    const std::int64_t rows = a.tensor.shape()[0], cols = a.tensor.shape()[1];
    expect(m.rows() == rows && m.cols() == cols, "gather_matrix", "matrix size");
    for (std::int64_t i = 0; i < rows; ++i) {
      for (std::int64_t j = 0; j < cols; ++j) {
        expect(same_bits(m(i, j), a.logical[static_cast<std::size_t>(i * cols + j)]),
               "gather_matrix", "element differs from the view");
      }
    }
    const Tensor t = zl::detail::scatter_matrix(m);
    expect_shape(t, {rows, cols}, "scatter_matrix");
    for (std::int64_t i = 0; i < rows * cols; ++i) {
      expect(same_bits(t.data()[i], a.logical[static_cast<std::size_t>(i)]), "scatter_matrix",
             "element differs from the matrix");
    }
  });
}

/// r(x) = C · x + c ⊙ sin(x) − y with data from the input; the residual may
/// throw a marker exception after some calls, which must come out unchanged.
struct CallbackFailure {};

void run_levenberg_marquardt(ByteReader& in) {
  const Argument x0 = make_argument(in, in.flag(8) ? 2 : 1);
  const bool valid_x0 = x0.float64_cpu && x0.tensor.ndim() == 1;
  const std::int64_t n = valid_x0 ? x0.tensor.shape()[0] : 0;
  const std::int64_t m = static_cast<std::int64_t>(in.byte() % (kMaxExtent + 2)) - 1;
  std::vector<double> c(static_cast<std::size_t>(std::max<std::int64_t>(m, 0) * n));
  for (auto& v : c) v = in.value();
  const double curvature = in.value();
  std::vector<double> y(static_cast<std::size_t>(std::max<std::int64_t>(m, 0)));
  for (auto& v : y) v = in.value();
  const int throw_after = in.flag(6) ? 1 + in.byte() % 8 : -1;
  int calls = 0;

  zl::LMParameters params;
  params.max_iterations = static_cast<std::int64_t>(in.byte() % 24) - 2;
  if (in.flag(2)) params.ftol = in.value();
  if (in.flag(2)) params.xtol = in.value();
  if (in.flag(2)) params.gtol = in.value();
  if (in.flag(2)) params.initial_damping = in.value();
  if (in.flag(3)) params.damping_increase = in.value();
  if (in.flag(3)) params.damping_decrease = in.value();

  zl::LMCallback residual = [&](const double* x, double* r) {
    if (++calls == throw_after) throw CallbackFailure{};
    for (std::int64_t i = 0; i < m; ++i) {
      double sum = -y[static_cast<std::size_t>(i)];
      for (std::int64_t j = 0; j < n; ++j) sum += c[static_cast<std::size_t>(i * n + j)] * x[j];
      r[i] = sum + curvature * std::sin(x[i % n]);
    }
  };
  zl::LMCallback jacobian = [&](const double* x, double* jac) {
    for (std::int64_t i = 0; i < m; ++i) {
      for (std::int64_t j = 0; j < n; ++j) {
        jac[i * n + j] = c[static_cast<std::size_t>(i * n + j)] +
                         (j == i % n ? curvature * std::cos(x[j]) : 0.0);
      }
    }
  };
  if (in.flag(16)) residual = nullptr;
  if (in.flag(16)) jacobian = nullptr;

  bool thrown = false;
  guarded("levenberg_marquardt", {"levenberg_marquardt"}, [&] {
    try {
      const zl::LMResult r = lv::levenberg_marquardt(residual, jacobian, x0.tensor, m, params);
      expect_shape(r.x, {n}, "levenberg_marquardt");
      expect_shape(r.residual, {m}, "levenberg_marquardt");
      expect(std::isnan(r.cost) || r.cost >= 0.0, "levenberg_marquardt", "negative cost");
      expect(r.iterations >= 0 && r.iterations <= std::max<std::int64_t>(params.max_iterations, 0),
             "levenberg_marquardt", "iteration count");
      const auto status = static_cast<int>(r.status);
      expect(status >= 0 && status <= 2, "levenberg_marquardt", "unknown status");
    } catch (const CallbackFailure&) {
      thrown = true;
    }
  });
  // The marker was thrown exactly when `calls` reached `throw_after`.
  expect(thrown == (throw_after > 0 && calls >= throw_after), "levenberg_marquardt",
         "a callback's exception was not passed on unchanged");
}

// ---- the batched operations --------------------------------------------------


using Outputs = std::vector<Tensor>;

/// A batched operation beside the single-matrix one that each of its slices
/// must equal bit for bit; `b` is solve's right-hand side.
struct BatchedOperation {
  const char* name;
  const char* also;  // a name its messages may carry too
  bool square;
  Outputs (*batched)(const Tensor& a, const Tensor& b);
  Outputs (*single)(const Tensor& a, const Tensor& b);
};

Outputs scalar(double value) {
  Tensor t(Shape{1}, DType::Float64, Device{DeviceKind::CPU, -1});
  t.data()[0] = value;
  return {t};
}

const BatchedOperation kBatched[] = {
    {"eig_sym", nullptr, true,
     [](const Tensor& a, const Tensor&) {
       auto r = lv::batched_eig_sym(a);
       return Outputs{r.values, r.vectors};
     },
     [](const Tensor& a, const Tensor&) {
       auto r = lv::eig_sym(a);
       return Outputs{r.values, r.vectors};
     }},
    {"matrix_sqrt", "eig_sym", true,
     [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_matrix_sqrt(a)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::matrix_sqrt(a)}; }},
    {"matrix_exp", "eig_sym", true,
     [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_matrix_exp(a)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::matrix_exp(a)}; }},
    {"matrix_log", "eig_sym", true,
     [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_matrix_log(a)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::matrix_log(a)}; }},
    {"matrix_sign", "eig_sym", true,
     [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_matrix_sign(a)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::matrix_sign(a)}; }},
    {"cholesky", nullptr, true,
     [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_cholesky(a)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::cholesky(a)}; }},
    {"lu", nullptr, true,
     [](const Tensor& a, const Tensor&) {
       auto r = lv::batched_lu(a);
       return Outputs{r.L, r.U, r.P, r.Q, r.determinant};
     },
     [](const Tensor& a, const Tensor&) {
       auto r = lv::lu(a);
       return Outputs{r.L, r.U, r.P, r.Q, scalar(r.determinant)[0]};
     }},
    {"det", nullptr, true, [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_det(a)}; },
     [](const Tensor& a, const Tensor&) { return scalar(lv::det(a)); }},
    {"inv", nullptr, true, [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_inv(a)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::inv(a)}; }},
    {"solve", nullptr, true,
     [](const Tensor& a, const Tensor& b) { return Outputs{lv::batched_solve(a, b)}; },
     [](const Tensor& a, const Tensor& b) { return Outputs{lv::solve(a, b)}; }},
    {"qr", nullptr, false,
     [](const Tensor& a, const Tensor&) {
       auto r = lv::batched_qr(a);
       return Outputs{r.Q, r.R};
     },
     [](const Tensor& a, const Tensor&) {
       auto r = lv::qr(a);
       return Outputs{r.Q, r.R};
     }},
    {"svd", nullptr, false,
     [](const Tensor& a, const Tensor&) {
       auto r = lv::batched_svd(a);
       return Outputs{r.U, r.S, r.Vt};
     },
     [](const Tensor& a, const Tensor&) {
       auto r = lv::svd(a);
       return Outputs{r.U, r.S, r.Vt};
     }},
    {"pinv", nullptr, false,
     [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_pinv(a, -1.0)}; },
     [](const Tensor& a, const Tensor&) { return Outputs{lv::pinv(a, -1.0)}; }},
    {"norm", nullptr, false,
     [](const Tensor& a, const Tensor&) {
       return Outputs{lv::batched_norm(a, zl::NormKind::Spectral)};
     },
     [](const Tensor& a, const Tensor&) { return scalar(lv::norm(a, zl::NormKind::Spectral)); }},
    {"eig", nullptr, true,
     [](const Tensor& a, const Tensor&) {
       auto r = lv::batched_eig(a);
       return Outputs{r.values_real, r.values_imag, r.vectors_real, r.vectors_imag};
     },
     [](const Tensor& a, const Tensor&) {
       auto r = lv::eig(a);
       return Outputs{r.values_real, r.values_imag, r.vectors_real, r.vectors_imag};
     }},
    {"trace", nullptr, true, [](const Tensor& a, const Tensor&) { return Outputs{lv::batched_trace(a)}; },
     [](const Tensor& a, const Tensor&) { return scalar(lv::trace(a)); }},
};

/// Matrix `b` (row-major order over the leading extents) of a stack, as a
/// 2-D view of the stack's own storage; its trailing `matrix_dims` (1 or 2)
/// dimensions are the matrix.
Tensor slice(const Tensor& stack, std::int64_t b, std::int64_t matrix_dims) {
  const auto nd = static_cast<std::size_t>(stack.ndim());
  const std::size_t lead = nd - static_cast<std::size_t>(matrix_dims);
  std::int64_t offset = 0;
  for (std::size_t k = lead; k-- > 0;) {
    offset += (b % stack.shape()[k]) * stack.strides()[k];
    b /= stack.shape()[k];
  }
  const Shape shape(stack.shape().data() + lead, static_cast<std::size_t>(matrix_dims));
  const Strides strides(stack.strides().data() + lead, static_cast<std::size_t>(matrix_dims));
  return stack.as_strided(shape, strides, offset);
}

/// A stack of up to three leading dimensions of up to three matrices each,
/// of orders 0 to 6 (both kernel paths), in any layout; every slice of
/// every result must equal the single-matrix result of its matrix.
void run_batched(ByteReader& in) {
  const BatchedOperation& op = kBatched[in.byte() % (sizeof kBatched / sizeof kBatched[0])];
  std::vector<std::int64_t> shape(in.byte() % 4);
  for (auto& e : shape) e = in.byte() % 4;
  const std::int64_t n = in.byte() % 7;
  const std::int64_t m = op.square || in.flag(2) ? n : in.byte() % 7;
  const std::size_t lead = shape.size();
  shape.push_back(m);
  shape.push_back(n);
  const Argument a = make_view(in, shape);
  // solve's B: one vector for every system, or n x k matrices that repeat
  // along the leading dimensions where their stride is 0.
  std::vector<std::int64_t> rhs_shape = {n};
  if (!in.flag(3)) {
    rhs_shape.assign(shape.begin(), shape.end() - 2);
    rhs_shape.push_back(n);
    rhs_shape.push_back(in.byte() % 3);
  }
  const std::int64_t b_matrix_dims = rhs_shape.size() == 1 ? 1 : 2;
  const Argument b = make_view(in, rhs_shape, b_matrix_dims == 1 ? 0 : lead);
  std::int64_t count = 1;
  for (std::size_t k = 0; k < lead; ++k) count *= shape[k];
  guarded(op.name, {op.name, op.also ? op.also : op.name}, [&] {
    const Outputs outputs = op.batched(a.tensor, b.tensor);
    for (std::int64_t k = 0; k < count; ++k) {
      const Tensor rhs = b_matrix_dims == 1 ? b.tensor : slice(b.tensor, k, 2);
      Outputs expected;
      try {
        expected = op.single(slice(a.tensor, k, 2), rhs);
      } catch (const std::exception& e) {
        fail(op.name, std::string("the stack passed but one of its matrices fails: ") + e.what());
      }
      for (std::size_t o = 0; o < outputs.size(); ++o) {
        const std::int64_t size = expected[o].numel();
        expect(outputs[o].numel() == count * size, op.name, "stacked result size");
        expect(size == 0 || std::memcmp(outputs[o].data() + k * size, expected[o].data(),
                                        static_cast<std::size_t>(size) * sizeof(double)) == 0,
               op.name, "a slice differs from the single-matrix result");
      }
    }
  });
}

/// How the runs at different levels must agree on an operation. The
/// fuzzer's inputs sit on every threshold: a definiteness, rank or overflow
/// decision, or an eigenvalue's sign, that rounding tips one way at one
/// level and the other way at another, and eigenvalues of non-normal
/// matrices that rounding moves by far more than itself; and values near
/// the ends of the range overflow or underflow in one order of summation
/// and not in another. So the runs must agree bit for bit, whatever the
/// input, where both levels run the same code (the LU family), and
/// otherwise for moderate inputs on the norms and the trace, and on
/// eig_sym, svd and qr through their spectra and the products of their
/// factors. cholesky and the spectral functions are compared on a
/// well-conditioned matrix the harness makes from each square input. The
/// level tests compare every operation on inputs away from the thresholds.
enum class Compared { Always, WellConditioned, Never };

Compared compared_across_levels(const std::string& operation) {
  const std::string name =
      operation.rfind("batched_", 0) == 0 ? operation.substr(sizeof "batched_" - 1) : operation;
  for (const char* compared : {"trace", "norm", "eig_sym", "svd", "qr"}) {
    if (name == compared) return Compared::Always;
  }
  for (const char* compared : {"cholesky", "matrix_sqrt", "matrix_exp", "matrix_log",
                               "matrix_sign"}) {
    if (name == compared) return Compared::WellConditioned;
  }
  return Compared::Never;
}

/// Where the calls of a run at `level` depart from the baseline's.
void compare_levels(const zl::dispatch::Level& level, const std::vector<lv::Call>& baseline,
                    const std::vector<lv::Call>& other) {
  const auto baseline_table = zl::dispatch::operations_of(*zl::dispatch::compiled_levels().begin());
  const auto level_table = zl::dispatch::operations_of(level);
  // The harness's next calls may follow from an outcome that a threshold
  // tipped; the runs are compared while they make the same calls.
  for (std::size_t k = 0; k < std::min(baseline.size(), other.size()); ++k) {
    const lv::Call& call = baseline[k];
    if (std::string(call.operation) != other[k].operation) return;
    const zorvane::test::Agreement agreement =
        zorvane::test::agreement_of(call.operation, baseline_table, level_table);
    if (agreement != zorvane::test::Agreement::Bits) {
      const Compared compared = compared_across_levels(call.operation);
      if (compared == Compared::Never || !call.moderate) continue;
      if (compared == Compared::WellConditioned && !call.well_conditioned) continue;
    }
    const std::string differs =
        zorvane::test::disagreement(call.outcome, other[k].outcome, agreement, call.order, 1.0);
    if (!differs.empty()) fail(call.operation, std::string("at ") + level.name + ": " + differs);
  }
}

void run_input(const std::uint8_t* data, std::size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<lv::Call> baseline;
  for (const auto& level : zorvane::linalg::dispatch::compiled_levels()) {
    if (!level.runs()) continue;
    const auto operations = zorvane::linalg::dispatch::operations_of(level);
    std::vector<lv::Call> calls;
    lv::level = &operations;
    lv::calls = &calls;
    run_input(data, size);
    lv::level = nullptr;
    lv::calls = nullptr;
    if (&level == zorvane::linalg::dispatch::compiled_levels().begin()) {
      baseline = std::move(calls);
    } else {
      compare_levels(level, baseline, calls);
    }
  }
  return 0;
}

namespace {

/// One input at the current level.
void run_input(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::uint8_t operation = in.byte();
  switch (operation % 12) {
    case 0: run_trace(matrix_argument(in, in.flag(4) == false)); break;
    case 1: run_eig_sym(matrix_argument(in, true)); break;
    case 2: {
      const Argument a = matrix_argument(in, true);
      switch (in.byte() % 4) {
        case 0: run_square_function("matrix_sqrt", lv::matrix_sqrt, a); break;
        case 1: run_square_function("matrix_exp", lv::matrix_exp, a); break;
        case 2: run_square_function("matrix_log", lv::matrix_log, a); break;
        default: run_square_function("matrix_sign", lv::matrix_sign, a); break;
      }
      break;
    }
    case 3: run_cholesky(matrix_argument(in, !in.flag(8))); break;
    case 4: run_lu(matrix_argument(in, !in.flag(8))); break;
    case 5: {
      const Argument a = matrix_argument(in, !in.flag(8));
      run_solve(in, a);
      break;
    }
    case 6: run_qr_svd(matrix_argument(in, false)); break;
    case 7: {
      const Argument a = matrix_argument(in, false);
      run_pinv_lstsq_norm(in, a);
      break;
    }
    case 8: run_eig(matrix_argument(in, !in.flag(8))); break;
    case 9: run_levenberg_marquardt(in); break;
    case 11: run_batched(in); break;
    default: run_transfers(matrix_argument(in, false)); break;
  }
}

}  // namespace
