// The extended module: det, inv, pinv, lstsq, norm and levenberg_marquardt,
// re-exported at the package's top level. Each converts its arguments,
// calls the library and converts the results, as the twelve functions do;
// levenberg_marquardt calls back into Python in every iteration, with the
// interpreter lock held throughout.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "conversion.h"
#include "extended_docstrings.h"
#include "zorvane/linalg/linalg.h"

namespace zorvane::python {
namespace {

namespace linalg = zorvane::linalg;
using namespace nb::literals;

// Signatures for the stubs: an array of booleans, integers or floats goes in
// (it is converted to float64; lists and complex arrays are refused). What a
// callback returns is converted as numpy.asarray does: any array-like.
namespace sig {
constexpr const char* det = "def det(A: " ZORVANE_PY_ARRAY_IN ") -> float";
constexpr const char* inv =
    "def inv(A: " ZORVANE_PY_ARRAY_IN ") -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* pinv =
    "def pinv(A: " ZORVANE_PY_ARRAY_IN ", rcond: float = -1.0) -> "
    "numpy.typing.NDArray[numpy.float64]";
constexpr const char* lstsq =
    "def lstsq(A: " ZORVANE_PY_ARRAY_IN ", B: " ZORVANE_PY_ARRAY_IN ") -> LstsqResult";
constexpr const char* norm =
    "def norm(A: " ZORVANE_PY_ARRAY_IN ", ord: float | typing.Literal['fro'] | None = None) -> "
    "float";

/// levenberg_marquardt's, with the defaults of `defaults` as Python prints them.
std::string levenberg_marquardt(const linalg::LMParameters& defaults) {
  const char* const callback =
      "collections.abc.Callable[[numpy.typing.NDArray[numpy.float64]], numpy.typing.ArrayLike]";
  std::string text = std::string("def levenberg_marquardt(residual: ") + callback +
                     ", jacobian: " + callback +
                     ", m: int, x0: " ZORVANE_PY_ARRAY_IN ", *, max_iterations: int = " +
                     std::to_string(defaults.max_iterations);
  for (const auto& [name, value] : {std::pair{"ftol", defaults.ftol},
                                    std::pair{"xtol", defaults.xtol},
                                    std::pair{"gtol", defaults.gtol},
                                    std::pair{"initial_damping", defaults.initial_damping},
                                    std::pair{"damping_increase", defaults.damping_increase},
                                    std::pair{"damping_decrease", defaults.damping_decrease}}) {
    text += std::string(", ") + name + ": float = " + nb::repr(nb::float_(value)).c_str();
  }
  return text + ") -> LMResult";
}
}  // namespace sig

double det(const AnyRankArgument& A) { return linalg::det(view_as_tensor(A)); }

OutputArray inv(const AnyRankArgument& A) {
  return tensor_to_ndarray_2d(linalg::inv(view_as_tensor(A)));
}

OutputArray pinv(const AnyRankArgument& A, double rcond) {
  return tensor_to_ndarray_2d(linalg::pinv(view_as_tensor(A), rcond));
}

/// lstsq's (x, rank) as a `result_type` named tuple.
nb::object lstsq(nb::handle result_type, const AnyRankArgument& A, const AnyRankArgument& B) {
  const Tensor a = view_as_tensor(A);
  const Tensor b = view_as_tensor(B);
  linalg::LstsqResult r = linalg::lstsq(a, b);
  nb::object x = tensor_to_ndarray(std::move(r.x));
  return result_type(x, r.rank);
}

double norm(const AnyRankArgument& A, nb::handle ord) {
  // ord is the call's own argument, read before the library checks A.
  const linalg::NormKind kind = norm_kind_of(ord);
  return linalg::norm(view_as_tensor(A), kind);
}

/// A Python callable as one of the solver's callbacks. The solver's point is
/// valid only during the call, so the callable gets a fresh array copy of it
/// that it may keep; what it returns is converted, checked and copied into
/// the solver's buffer. A Python exception leaves as nanobind's
/// python_error, which the solver lets through unchanged.
class PythonCallback {
 public:
  PythonCallback(nb::callable callable, const char* name, std::vector<std::int64_t> shape,
                 std::int64_t n)
      : callable_(std::move(callable)), name_(name), shape_(std::move(shape)), n_(n) {}

  void operator()(const double* x, double* out) const {
    const nb::object value = callable_(vector_copy(x, n_));
    copy_callback_result(value, name_, shape_, out);
  }

 private:
  nb::callable callable_;
  const char* name_;
  std::vector<std::int64_t> shape_;
  std::int64_t n_;
};

/// The solve as a `result_type` named tuple (x, residual, cost, iterations, status).
nb::object levenberg_marquardt(nb::handle result_type, nb::callable residual,
                               nb::callable jacobian, std::int64_t m, const AnyRankArgument& x0,
                               const linalg::LMParameters& params) {
  const Tensor start = view_as_tensor(x0);
  // The library checks x0 and m before any callback runs, so an x0 of
  // another rank never meets the shapes made of it here.
  const std::int64_t n = start.ndim() == 1 ? start.shape()[0] : 0;
  const linalg::LMCallback r = PythonCallback(std::move(residual), "residual", {m}, n);
  const linalg::LMCallback j = PythonCallback(std::move(jacobian), "jacobian", {m, n}, n);
  linalg::LMResult fit = linalg::levenberg_marquardt(r, j, start, m, params);
  nb::object x = tensor_to_ndarray_1d(std::move(fit.x));
  nb::object residuals = tensor_to_ndarray_1d(std::move(fit.residual));
  return result_type(x, residuals, fit.cost, fit.iterations, fit.status);
}

/// A named tuple type of this module (collections.namedtuple), kept as its
/// attribute `name`.
nb::object named_tuple(nb::module_& m, const char* name, std::initializer_list<const char*> fields,
                       const char* doc) {
  nb::list names;
  for (const char* field : fields) names.append(field);
  nb::object type = nb::module_::import_("collections")
                        .attr("namedtuple")(name, names, "module"_a = m.attr("__name__"));
  type.attr("__doc__") = doc;
  m.attr(name) = type;
  return type;
}

}  // namespace
}  // namespace zorvane::python

NB_MODULE(_extended, m) {
  namespace nb = nanobind;
  namespace py = zorvane::python;
  namespace doc = zorvane::python::extended_doc;
  namespace linalg = zorvane::linalg;
  namespace sig = zorvane::python::sig;
  using py::AnyRankArgument;

  m.doc() =
      "Determinant, inverse, pseudo-inverse, least squares, norms and the Levenberg-Marquardt "
      "solver of Zorvane linear algebra (CPU backend, float64)";

  nb::enum_<linalg::LMStatus>(m, "LMStatus", nb::is_arithmetic(), doc::lm_status)
      .value("Converged", linalg::LMStatus::Converged,
             "A gradient, step or cost-reduction tolerance was met.")
      .value("MaxIterations", linalg::LMStatus::MaxIterations,
             "The iteration limit was reached.")
      .value("DampingLimit", linalg::LMStatus::DampingLimit,
             "After a rejected step the damping passed 1e16.");
  const nb::object lstsq_result = py::named_tuple(m, "LstsqResult", {"x", "rank"},
                                                  doc::lstsq_result);
  const nb::object lm_result = py::named_tuple(
      m, "LMResult", {"x", "residual", "cost", "iterations", "status"}, doc::lm_result);

  m.def("det", &py::det, nb::arg("A"), nb::sig(sig::det), doc::det);
  m.def("instruction_set", &linalg::instruction_set, doc::instruction_set);
  m.def("inv", &py::inv, nb::arg("A"), nb::sig(sig::inv), doc::inv);
  m.def("pinv", &py::pinv, nb::arg("A"), nb::arg("rcond") = -1.0, nb::sig(sig::pinv), doc::pinv);
  m.def(
      "lstsq",
      [lstsq_result](const AnyRankArgument& A, const AnyRankArgument& B) {
        return py::lstsq(lstsq_result, A, B);
      },
      nb::arg("A"), nb::arg("B"), nb::sig(sig::lstsq), doc::lstsq);
  m.def("norm", &py::norm, nb::arg("A"), nb::arg("ord") = nb::none(), nb::sig(sig::norm),
        doc::norm);

  const linalg::LMParameters defaults;
  m.def(
      "levenberg_marquardt",
      [lm_result](nb::callable residual, nb::callable jacobian, std::int64_t residual_count,
                  const AnyRankArgument& x0, std::int64_t max_iterations, double ftol,
                  double xtol, double gtol, double initial_damping, double damping_increase,
                  double damping_decrease) {
        const linalg::LMParameters params{max_iterations, ftol,
                                          xtol,           gtol,
                                          initial_damping, damping_increase,
                                          damping_decrease};
        return py::levenberg_marquardt(lm_result, std::move(residual), std::move(jacobian),
                                       residual_count, x0, params);
      },
      nb::arg("residual"), nb::arg("jacobian"), nb::arg("m"), nb::arg("x0"), nb::kw_only(),
      nb::arg("max_iterations") = defaults.max_iterations, nb::arg("ftol") = defaults.ftol,
      nb::arg("xtol") = defaults.xtol, nb::arg("gtol") = defaults.gtol,
      nb::arg("initial_damping") = defaults.initial_damping,
      nb::arg("damping_increase") = defaults.damping_increase,
      nb::arg("damping_decrease") = defaults.damping_decrease,
      nb::sig(sig::levenberg_marquardt(defaults).c_str()), doc::levenberg_marquardt);
}
