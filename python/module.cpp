// The Python module: twelve functions that convert their arrays, call the
// library, and convert the results. Nothing numerical happens here.
#include <nanobind/nanobind.h>
#include <nanobind/stl/tuple.h>

#include <cstdint>
#include <tuple>

#include "conversion.h"
#include "docstrings.h"
#include "zorvane/linalg/linalg.h"

namespace zorvane::python {
namespace {

namespace linalg = zorvane::linalg;

using Pair = std::tuple<OutputArray, OutputArray>;
using Triple = std::tuple<OutputArray, OutputArray, OutputArray>;
using Quadruple = std::tuple<OutputArray, OutputArray, OutputArray, OutputArray>;
using LUTuple =
    std::tuple<OutputArray, OutputArray, OutputArray, OutputArray, std::int64_t, double, bool>;

// Results are converted one field at a time, in record order, before the
// tuple is built: the order in which function arguments are evaluated is
// unspecified, so no conversion is written inside a tuple constructor.

Pair eig_sym(const MatrixArgument& A) {
  linalg::EigenResult r = linalg::eig_sym(ndarray_to_tensor(A));
  OutputArray values = tensor_to_ndarray_1d(std::move(r.values));
  OutputArray vectors = tensor_to_ndarray_2d(std::move(r.vectors));
  return {std::move(values), std::move(vectors)};
}

template <Tensor (*Operation)(const Tensor&)>
OutputArray matrix_function(const MatrixArgument& A) {
  return tensor_to_ndarray_2d(Operation(ndarray_to_tensor(A)));
}

Triple svd(const MatrixArgument& A) {
  linalg::SVDResult r = linalg::svd(ndarray_to_tensor(A));
  OutputArray U = tensor_to_ndarray_2d(std::move(r.U));
  OutputArray S = tensor_to_ndarray_1d(std::move(r.S));
  OutputArray Vt = tensor_to_ndarray_2d(std::move(r.Vt));
  return {std::move(U), std::move(S), std::move(Vt)};
}

nb::object solve(const MatrixArgument& A, const ArrayArgument& B) {
  const Tensor a = ndarray_to_tensor(A);
  const Tensor b = ndarray_to_tensor(B);
  return tensor_to_ndarray(linalg::solve(a, b));
}

Pair qr(const MatrixArgument& A) {
  linalg::QRResult r = linalg::qr(ndarray_to_tensor(A));
  OutputArray Q = tensor_to_ndarray_2d(std::move(r.Q));
  OutputArray R = tensor_to_ndarray_2d(std::move(r.R));
  return {std::move(Q), std::move(R)};
}

LUTuple lu(const MatrixArgument& A) {
  linalg::LUResult r = linalg::lu(ndarray_to_tensor(A));
  OutputArray L = tensor_to_ndarray_2d(std::move(r.L));
  OutputArray U = tensor_to_ndarray_2d(std::move(r.U));
  OutputArray P = tensor_to_ndarray_2d(std::move(r.P));
  OutputArray Q = tensor_to_ndarray_2d(std::move(r.Q));
  return {std::move(L), std::move(U), std::move(P), std::move(Q), r.rank, r.determinant,
          r.singular};
}

Quadruple eig(const MatrixArgument& A) {
  linalg::EigResult r = linalg::eig(ndarray_to_tensor(A));
  OutputArray values_real = tensor_to_ndarray_1d(std::move(r.values_real));
  OutputArray values_imag = tensor_to_ndarray_1d(std::move(r.values_imag));
  OutputArray vectors_real = tensor_to_ndarray_2d(std::move(r.vectors_real));
  OutputArray vectors_imag = tensor_to_ndarray_2d(std::move(r.vectors_imag));
  return {std::move(values_real), std::move(values_imag), std::move(vectors_real),
          std::move(vectors_imag)};
}

double trace(const MatrixArgument& A) { return linalg::trace(ndarray_to_tensor(A)); }

}  // namespace
}  // namespace zorvane::python

NB_MODULE(zorvane_linalg, m) {
  namespace nb = nanobind;
  namespace py = zorvane::python;
  namespace doc = zorvane::python::doc;
  using zorvane::linalg::cholesky;
  using zorvane::linalg::matrix_exp;
  using zorvane::linalg::matrix_log;
  using zorvane::linalg::matrix_sign;
  using zorvane::linalg::matrix_sqrt;

  m.doc() = "Python bindings for Zorvane linear algebra (CPU backend, float64)";

  m.def("eig_sym", &py::eig_sym, nb::arg("A"), doc::eig_sym);
  m.def("matrix_sqrt", &py::matrix_function<matrix_sqrt>, nb::arg("A"), doc::matrix_sqrt);
  m.def("matrix_exp", &py::matrix_function<matrix_exp>, nb::arg("A"), doc::matrix_exp);
  m.def("cholesky", &py::matrix_function<cholesky>, nb::arg("A"), doc::cholesky);
  m.def("svd", &py::svd, nb::arg("A"), doc::svd);
  m.def("solve", &py::solve, nb::arg("A"), nb::arg("B"), doc::solve);
  m.def("qr", &py::qr, nb::arg("A"), doc::qr);
  m.def("lu", &py::lu, nb::arg("A"), doc::lu);
  m.def("matrix_log", &py::matrix_function<matrix_log>, nb::arg("A"), doc::matrix_log);
  m.def("matrix_sign", &py::matrix_function<matrix_sign>, nb::arg("A"), doc::matrix_sign);
  m.def("eig", &py::eig, nb::arg("A"), doc::eig);
  m.def("trace", &py::trace, nb::arg("A"), doc::trace);
}
