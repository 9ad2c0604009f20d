// Shared helpers of the C++ tests: exact exception checks, constants, tensor
// and matrix builders. The reader of the reference files is reference_file.h.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>

#include "checks.h"
#include "entry.h"
#include "zorvane/core/tensor.h"
#include "zorvane/linalg/detail.h"
#include "zorvane/linalg/linalg.h"

/// Expects `statement` to throw exactly `type` with what() equal to `message`.
#define EXPECT_THROW_MSG(statement, type, message)                                          \
  do {                                                                                      \
    try {                                                                                   \
      statement;                                                                            \
      ADD_FAILURE() << "expected " #type " with \"" << (message) << "\", nothing thrown";   \
    } catch (const type& error_) {                                                          \
      EXPECT_EQ(std::string(error_.what()), std::string(message));                          \
      EXPECT_TRUE(typeid(error_) == typeid(type))                                           \
          << "threw a subclass of " #type ": " << typeid(error_).name();                   \
    } catch (const std::exception& error_) {                                                \
      ADD_FAILURE() << "expected " #type ", got " << typeid(error_).name() << ": "        \
                    << error_.what();                                                       \
    }                                                                                       \
  } while (false)

namespace zorvane::test {

/// Machine epsilon taken from the standard library rather than from the library's
/// own constant, so that the tolerance tests would notice a wrong constant.
/// True when the library runs its baseline code, which this program is
/// compiled for: only then does it round exactly as Eigen called from here.
inline bool library_runs_baseline() {
  return std::string(linalg::instruction_set()) == "baseline";
}

inline constexpr double kEps = std::numeric_limits<double>::epsilon();
inline const Device kCpu{DeviceKind::CPU, -1};
inline const Device kCuda{DeviceKind::CUDA, 0};
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

/// A contiguous row-major float64 CPU tensor holding `m`.
inline Tensor tensor_from(const Eigen::MatrixXd& m) { return linalg::detail::scatter_matrix(m); }

/// A contiguous row-major tensor from nested rows: tensor_from({{1, 2}, {3, 4}}).
inline Tensor tensor_from(std::initializer_list<std::initializer_list<double>> rows) {
  const auto r = static_cast<Eigen::Index>(rows.size());
  const auto c = r == 0 ? Eigen::Index{0} : static_cast<Eigen::Index>(rows.begin()->size());
  Eigen::MatrixXd m(r, c);
  Eigen::Index i = 0;
  for (const auto& row : rows) {
    Eigen::Index j = 0;
    for (double v : row) m(i, j++) = v;
    ++i;
  }
  return tensor_from(m);
}

/// A contiguous 1-D float64 CPU tensor.
inline Tensor vector_from(const Eigen::VectorXd& v) { return linalg::entry::tensor_of(v); }
inline Tensor vector_from(std::initializer_list<double> values) {
  Eigen::VectorXd v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double x : values) v(i++) = x;
  return vector_from(v);
}

/// A tensor of any shape, dtype and device, filled with zeros (tags only
/// matter for the checks, which never read the elements).
inline Tensor make_tensor(Shape shape, DType dtype = DType::Float64, Device device = kCpu) {
  Tensor t(std::move(shape), dtype, device);
  const std::int64_t bytes = t.numel() * static_cast<std::int64_t>(element_size(dtype));
  if (bytes > 0) std::fill_n(reinterpret_cast<unsigned char*>(t.data()), bytes, 0);
  return t;
}

/// The transposed view of a matrix held transposed in fresh storage: the
/// view's elements equal `m` while its strides are (1, rows).
inline Tensor transposed_view_of(const Eigen::MatrixXd& m) {
  const Tensor storage = tensor_from(Eigen::MatrixXd(m.transpose()));
  return storage.as_strided(Shape{static_cast<long>(m.rows()), static_cast<long>(m.cols())},
                            Strides{1, static_cast<long>(m.rows())});
}

/// A gapped view: `m` sits at every other row and column of a larger buffer
/// whose other entries are NaN, so reading a wrong element shows.
inline Tensor gapped_view_of(const Eigen::MatrixXd& m) {
  const Eigen::Index r = m.rows(), c = m.cols();
  Eigen::MatrixXd big =
      Eigen::MatrixXd::Constant(2 * r + 1, 2 * c + 1, std::numeric_limits<double>::quiet_NaN());
  for (Eigen::Index i = 0; i < r; ++i) {
    for (Eigen::Index j = 0; j < c; ++j) big(2 * i + 1, 2 * j + 1) = m(i, j);
  }
  const Tensor storage = tensor_from(big);
  const long width = static_cast<long>(2 * c + 1);
  return storage.as_strided(Shape{static_cast<long>(r), static_cast<long>(c)},
                            Strides{2 * width, 2}, width + 1);
}

/// A row-major view with padded rows: `m` in the first columns of a wider
/// buffer whose padding is NaN (column stride 1, row stride cols + 2), the
/// layout a contiguous row-major copy must not be mistaken for.
inline Tensor padded_view_of(const Eigen::MatrixXd& m) {
  Eigen::MatrixXd wide =
      Eigen::MatrixXd::Constant(m.rows(), m.cols() + 2, std::numeric_limits<double>::quiet_NaN());
  wide.leftCols(m.cols()) = m;
  return tensor_from(wide).as_strided(Shape{static_cast<long>(m.rows()), static_cast<long>(m.cols())},
                                      Strides{static_cast<long>(m.cols() + 2), 1});
}

/// Reads a matrix back from a tensor of any strides.
inline Eigen::MatrixXd matrix_of(const Tensor& t) { return linalg::detail::gather_matrix(t); }
inline Eigen::VectorXd vector_of(const Tensor& t) { return linalg::entry::vector_of(t); }

/// A deterministic random matrix with entries in [-1, 1].
inline Eigen::MatrixXd random_matrix(Eigen::Index rows, Eigen::Index cols, unsigned seed) {
  std::srand(seed);
  return Eigen::MatrixXd::Random(rows, cols);
}

/// A deterministic random symmetric matrix.
inline Eigen::MatrixXd random_symmetric(Eigen::Index n, unsigned seed) {
  const Eigen::MatrixXd a = random_matrix(n, n, seed);
  return (a + a.transpose()) * 0.5;
}

/// A deterministic random symmetric positive-definite matrix (B·Bᵀ + I),
/// exactly symmetric.
inline Eigen::MatrixXd random_spd(Eigen::Index n, unsigned seed) {
  const Eigen::MatrixXd b = random_matrix(n, n, seed);
  const Eigen::MatrixXd a = b * b.transpose() + Eigen::MatrixXd::Identity(n, n);
  return (a + a.transpose()) * 0.5;
}

/// A matrix from nested rows: mat({{1, 2}, {3, 4}}).
inline Eigen::MatrixXd mat(std::initializer_list<std::initializer_list<double>> rows) {
  return matrix_of(tensor_from(rows));
}

/// The infinity-norm (largest absolute row sum), for tolerances.
inline double norm_inf(const Eigen::MatrixXd& a) { return a.cwiseAbs().rowwise().sum().maxCoeff(); }

}  // namespace zorvane::test
