// The batched module: sixteen functions for stacks of matrices (..., m, n).
// Each views its arrays as tensors where they lie (the arguments keep them
// alive for the call), releases the interpreter lock around the library call
// alone (it touches no Python object), and hands the results to NumPy. As
// with NumPy's own stacked calls, another thread that writes an argument
// array during the call changes what the call reads.
#include <nanobind/nanobind.h>

#include <utility>

#include "batched_docstrings.h"
#include "conversion.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::python {
namespace {

namespace batched = zorvane::linalg::batched;

// Signatures for the stubs: an array of booleans, integers or floats goes in
// (it is converted to float64; lists and complex arrays are refused), and
// per-matrix scalars of a 2-D input come back as NumPy scalars.
namespace sig {
constexpr const char* eig_sym =
    "def eig_sym(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "tuple[numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64]]";
constexpr const char* matrix_sqrt =
    "def matrix_sqrt(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* matrix_exp =
    "def matrix_exp(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* cholesky =
    "def cholesky(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* svd =
    "def svd(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "tuple[numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]";
constexpr const char* solve =
    "def solve(A: " ZORVANE_PY_ARRAY_IN ", B: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* qr =
    "def qr(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "tuple[numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64]]";
constexpr const char* lu =
    "def lu(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "tuple[numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64] | numpy.int64, "
    "numpy.typing.NDArray[numpy.float64] | numpy.float64, numpy.typing.NDArray[numpy.bool_] | "
    "numpy.bool_]";
constexpr const char* matrix_log =
    "def matrix_log(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* matrix_sign =
    "def matrix_sign(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* eig =
    "def eig(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "tuple[numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
    "numpy.typing.NDArray[numpy.float64]]";
constexpr const char* trace =
    "def trace(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64] | numpy.float64";
constexpr const char* det =
    "def det(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64] | numpy.float64";
constexpr const char* inv =
    "def inv(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* pinv =
    "def pinv(A: " ZORVANE_PY_ARRAY_IN ", rcond: float = -1.0) -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* norm =
    "def norm(A: " ZORVANE_PY_ARRAY_IN ", ord: float | typing.Literal['fro'] | None = None) -> "
    "numpy.typing.NDArray[numpy.float64] | numpy.float64";
}  // namespace sig

/// Runs the library call `call` with the interpreter lock released.
template <class Call>
auto without_gil(Call&& call) {
  nb::gil_scoped_release release;
  return call();
}

// Results are converted one field at a time, in record order.

nb::tuple eig_sym(const AnyRankArgument& A) {
  const Tensor a = view_as_tensor(A);
  linalg::EigenResult r = without_gil([&] { return batched::eig_sym(a); });
  nb::object values = tensor_to_stack(std::move(r.values));
  nb::object vectors = tensor_to_stack(std::move(r.vectors));
  return nb::make_tuple(values, vectors);
}

template <Tensor (*Operation)(const Tensor&)>
nb::object stacked_function(const AnyRankArgument& A) {
  const Tensor a = view_as_tensor(A);
  return tensor_to_stack(without_gil([&] { return Operation(a); }));
}

nb::tuple svd(const AnyRankArgument& A) {
  const Tensor a = view_as_tensor(A);
  linalg::SVDResult r = without_gil([&] { return batched::svd(a); });
  nb::object U = tensor_to_stack(std::move(r.U));
  nb::object S = tensor_to_stack(std::move(r.S));
  nb::object Vt = tensor_to_stack(std::move(r.Vt));
  return nb::make_tuple(U, S, Vt);
}

nb::object solve(const AnyRankArgument& A, const AnyRankArgument& B) {
  const Tensor a = view_as_tensor(A);
  const Tensor b = view_as_tensor(B);
  return tensor_to_stack(without_gil([&] { return batched::solve(a, b); }));
}

nb::tuple qr(const AnyRankArgument& A) {
  const Tensor a = view_as_tensor(A);
  linalg::QRResult r = without_gil([&] { return batched::qr(a); });
  nb::object Q = tensor_to_stack(std::move(r.Q));
  nb::object R = tensor_to_stack(std::move(r.R));
  return nb::make_tuple(Q, R);
}

nb::tuple lu(const AnyRankArgument& A) {
  const Tensor a = view_as_tensor(A);
  batched::LUResult r = without_gil([&] { return batched::lu(a); });
  nb::object L = tensor_to_stack(std::move(r.L));
  nb::object U = tensor_to_stack(std::move(r.U));
  nb::object P = tensor_to_stack(std::move(r.P));
  nb::object Q = tensor_to_stack(std::move(r.Q));
  nb::object rank = tensor_to_stack(std::move(r.rank));
  nb::object determinant = tensor_to_stack(std::move(r.determinant));
  // The library keeps the flags as int32 0 and 1; NumPy users get booleans.
  nb::object singular = tensor_to_stack(std::move(r.singular)).attr("astype")("bool");
  return nb::make_tuple(L, U, P, Q, rank, determinant, singular);
}

nb::object pinv(const AnyRankArgument& A, double rcond) {
  const Tensor a = view_as_tensor(A);
  return tensor_to_stack(without_gil([&] { return batched::pinv(a, rcond); }));
}

nb::object norm(const AnyRankArgument& A, nb::handle ord) {
  const linalg::NormKind kind = norm_kind_of(ord);
  const Tensor a = view_as_tensor(A);
  return tensor_to_stack(without_gil([&] { return batched::norm(a, kind); }));
}

nb::tuple eig(const AnyRankArgument& A) {
  const Tensor a = view_as_tensor(A);
  linalg::EigResult r = without_gil([&] { return batched::eig(a); });
  nb::object values_real = tensor_to_stack(std::move(r.values_real));
  nb::object values_imag = tensor_to_stack(std::move(r.values_imag));
  nb::object vectors_real = tensor_to_stack(std::move(r.vectors_real));
  nb::object vectors_imag = tensor_to_stack(std::move(r.vectors_imag));
  return nb::make_tuple(values_real, values_imag, vectors_real, vectors_imag);
}

}  // namespace
}  // namespace zorvane::python

NB_MODULE(batched, m) {
  namespace nb = nanobind;
  namespace py = zorvane::python;
  namespace doc = zorvane::python::batched_doc;
  namespace batched = zorvane::linalg::batched;
  namespace sig = zorvane::python::sig;

  m.doc() = "Batched Zorvane linear algebra: one call for a stack of matrices (..., m, n)";

  m.def("eig_sym", &py::eig_sym, nb::arg("A"), nb::sig(sig::eig_sym), doc::eig_sym);
  m.def("matrix_sqrt", &py::stacked_function<batched::matrix_sqrt>, nb::arg("A"),
        nb::sig(sig::matrix_sqrt), doc::matrix_sqrt);
  m.def("matrix_exp", &py::stacked_function<batched::matrix_exp>, nb::arg("A"),
        nb::sig(sig::matrix_exp), doc::matrix_exp);
  m.def("cholesky", &py::stacked_function<batched::cholesky>, nb::arg("A"), nb::sig(sig::cholesky),
        doc::cholesky);
  m.def("svd", &py::svd, nb::arg("A"), nb::sig(sig::svd), doc::svd);
  m.def("solve", &py::solve, nb::arg("A"), nb::arg("B"), nb::sig(sig::solve), doc::solve);
  m.def("qr", &py::qr, nb::arg("A"), nb::sig(sig::qr), doc::qr);
  m.def("lu", &py::lu, nb::arg("A"), nb::sig(sig::lu), doc::lu);
  m.def("matrix_log", &py::stacked_function<batched::matrix_log>, nb::arg("A"),
        nb::sig(sig::matrix_log), doc::matrix_log);
  m.def("matrix_sign", &py::stacked_function<batched::matrix_sign>, nb::arg("A"),
        nb::sig(sig::matrix_sign), doc::matrix_sign);
  m.def("eig", &py::eig, nb::arg("A"), nb::sig(sig::eig), doc::eig);
  m.def("trace", &py::stacked_function<batched::trace>, nb::arg("A"), nb::sig(sig::trace),
        doc::trace);
  m.def("det", &py::stacked_function<batched::det>, nb::arg("A"), nb::sig(sig::det), doc::det);
  m.def("inv", &py::stacked_function<batched::inv>, nb::arg("A"), nb::sig(sig::inv), doc::inv);
  m.def("pinv", &py::pinv, nb::arg("A"), nb::arg("rcond") = -1.0, nb::sig(sig::pinv), doc::pinv);
  m.def("norm", &py::norm, nb::arg("A"), nb::arg("ord") = nb::none(), nb::sig(sig::norm),
        doc::norm);
}
