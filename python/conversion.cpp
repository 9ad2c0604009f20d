#include "conversion.h"

// The NumPy C API of this translation unit only: the module's other sources
// never see it.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorvane::python {
namespace {

// The library reads host memory; an array that lives on a device must never
// reach it.
void require_host_memory(const ArrayView& view) {
  if (view.device_type != nb::device::cpu::value) {
    throw std::invalid_argument(
        "zorvane: only host (CPU) arrays are accepted; copy the array to host memory first");
  }
}

/// A new float64 CPU tensor of the array's shape holding its C-contiguous
/// elements: C-contiguity makes the array's memory identical to a row-major
/// tensor, so one block copy does.
Tensor copy_contiguous(const ArrayView& view) {
  require_host_memory(view);
  Tensor tensor(Shape(view.extents, view.ndim), DType::Float64, Device{DeviceKind::CPU, -1});
  const auto bytes = static_cast<std::size_t>(tensor.numel()) * sizeof(double);
  if (bytes > 0) std::memcpy(tensor.data(), view.data, bytes);
  return tensor;
}

/// True when a type's attribute `name` is the string `expected`.
bool attribute_is(PyObject* type, const char* name, const char* expected) noexcept {
  PyObject* value = PyObject_GetAttrString(type, name);
  const bool equal = value != nullptr && PyUnicode_Check(value) &&
                     PyUnicode_CompareWithASCIIString(value, expected) == 0;
  Py_XDECREF(value);
  PyErr_Clear();
  return equal;
}

/// True when `object` is a numpy.ndarray or derives from one, judged by the
/// module and name of its type and its bases, which needs no NumPy API. Read
/// through attributes, as the stable ABI allows, since type objects are
/// opaque there; this runs only until the API table is loaded.
bool derives_from_ndarray_by_name(PyObject* object) noexcept {
  PyObject* bases = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__mro__");
  bool found = false;
  if (bases != nullptr && PyTuple_Check(bases)) {
    for (Py_ssize_t k = 0; !found && k < PyTuple_Size(bases); ++k) {
      PyObject* type = PyTuple_GetItem(bases, k);
      found = attribute_is(type, "__module__", "numpy") && attribute_is(type, "__name__", "ndarray");
    }
  }
  Py_XDECREF(bases);
  PyErr_Clear();
  return found;
}

/// The plain name of an object's type (`list`, `Point`), as the stable ABI
/// gives it.
nb::str type_short_name(nb::handle value) {
  PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(value.type().ptr()));
  if (name == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(name);
}

// The NumPy API table is loaded by the first result, or here by the first
// NumPy argument, whose type proves that NumPy is imported already.
bool numpy_api_ready(PyObject* object) noexcept {
  if (PyArray_API != nullptr) return true;
  if (!derives_from_ndarray_by_name(object)) return false;
  if (PyArray_ImportNumPyAPI() == 0) return true;
  PyErr_Clear();
  return false;
}

void destroy_owned_tensor(PyObject* capsule) noexcept {
  delete static_cast<Tensor*>(PyCapsule_GetPointer(capsule, nullptr));
}

// NumPy is imported with the first result, not with the module: the module
// itself loads without it. The API table stays cached for later calls.
void require_numpy_api() {
  if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();
}

/// NumPy's number of the element type of a result tensor.
int numpy_type_of(const Tensor& tensor) {
  switch (tensor.dtype()) {
    case DType::Float64:
      return NPY_DOUBLE;
    case DType::Int64:
      return NPY_INT64;
    case DType::Int32:
      return NPY_INT32;
    case DType::Float32:
      break;
  }
  throw std::invalid_argument("zorvane: cannot convert a float32 tensor to ndarray");
}

constexpr std::size_t max_export_rank = 32;

// The result array: NumPy's own constructor over the heap tensor's memory,
// with the capsule as its base object. C order and the flags below give a
// writable, aligned, C-contiguous array whose strides NumPy derives from
// the extents. `type` is NumPy's number of the tensor's element type.
OutputArray export_tensor(Tensor&& tensor, std::size_t rank, int type = NPY_DOUBLE) {
  require_numpy_api();
  auto owned = std::make_unique<Tensor>(std::move(tensor));
  PyObject* capsule = PyCapsule_New(owned.get(), nullptr, destroy_owned_tensor);
  if (!capsule) throw nb::python_error();
  Tensor* heap = owned.release();  // the capsule owns it now
  nb::capsule owner = nb::steal<nb::capsule>(capsule);

  npy_intp extents[max_export_rank];
  for (std::size_t k = 0; k < rank; ++k) extents[k] = static_cast<npy_intp>(heap->shape()[k]);
  // A tensor without elements may have a null address, for which NumPy would
  // allocate storage of its own; any valid address does, since none is read.
  void* data = heap->data() ? static_cast<void*>(heap->data()) : static_cast<void*>(heap);
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type),
                                         static_cast<int>(rank), extents, nullptr, data,
                                         NPY_ARRAY_CARRAY, nullptr);
  if (!array) throw nb::python_error();
  OutputArray result = nb::steal<OutputArray>(array);
  // Takes the capsule's reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release().ptr()) < 0) {
    throw nb::python_error();
  }
  return result;
}

}  // namespace

bool view_numpy_array_in_place(PyObject* object, int required_ndim, bool read_only_allowed,
                               ArrayView& view) noexcept {
  if (!numpy_api_ready(object) || !PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const int ndim = PyArray_NDIM(array);
  if ((required_ndim >= 0 && ndim != required_ndim) || PyArray_TYPE(array) != NPY_DOUBLE ||
      !PyArray_ISNOTSWAPPED(array) || !PyArray_IS_C_CONTIGUOUS(array) ||
      !(read_only_allowed || PyArray_ISWRITEABLE(array))) {
    return false;
  }
  static_assert(sizeof(npy_intp) == sizeof(std::int64_t), "NumPy's extents are 64-bit");
  view.data = PyArray_DATA(array);
  view.ndim = static_cast<std::size_t>(ndim);
  view.extents = reinterpret_cast<const std::int64_t*>(PyArray_DIMS(array));
  view.device_type = nb::device::cpu::value;
  return true;
}

nb::object plain_array_view(PyObject* object) noexcept {
  if (!numpy_api_ready(object) || !PyArray_Check(object) || PyArray_CheckExact(object)) return {};
  PyObject* plain = PyArray_View(reinterpret_cast<PyArrayObject*>(object), nullptr, &PyArray_Type);
  if (plain == nullptr) PyErr_Clear();  // left to nanobind's import of the subclass
  return nb::steal(plain);
}

Tensor view_as_tensor(const ArrayView& view) {
  require_host_memory(view);
  // NumPy holds arrays at any byte offset (a buffer received off the wire,
  // np.frombuffer at an odd offset); the library reads its elements as
  // doubles, so memory off their alignment is copied instead of borrowed.
  if (reinterpret_cast<std::uintptr_t>(view.data) % alignof(double) != 0) {
    return copy_contiguous(view);
  }
  return Tensor::borrow(const_cast<void*>(view.data), Shape(view.extents, view.ndim),
                        DType::Float64, Device{DeviceKind::CPU, -1});
}

Tensor ndarray_to_tensor(const ArrayView& view) {
  if (view.ndim != 1 && view.ndim != 2) {
    throw std::invalid_argument("zorvane: expected a 1-D or 2-D array (got ndim=" +
                                std::to_string(static_cast<unsigned long>(view.ndim)) + ")");
  }
  return copy_contiguous(view);
}

bool is_numpy_array(PyObject* object) noexcept {
  return PyArray_API != nullptr && PyArray_Check(object);
}

OutputArray tensor_to_ndarray_1d(Tensor&& tensor) { return export_tensor(std::move(tensor), 1); }
OutputArray tensor_to_ndarray_2d(Tensor&& tensor) { return export_tensor(std::move(tensor), 2); }

OutputArray tensor_to_ndarray_nd(Tensor&& tensor) {
  const auto rank = static_cast<std::size_t>(tensor.ndim());
  if (rank > max_export_rank) {
    throw std::invalid_argument("zorvane: cannot convert Tensor of rank > 32 to ndarray");
  }
  const int type = numpy_type_of(tensor);
  return export_tensor(std::move(tensor), rank, type);
}

nb::object tensor_to_ndarray(Tensor&& tensor) {
  if (tensor.ndim() != 1 && tensor.ndim() != 2) {
    throw std::invalid_argument("zorvane: cannot convert Tensor of rank != 1 or 2 to ndarray");
  }
  return tensor_to_ndarray_nd(std::move(tensor));
}

nb::object tensor_to_stack(Tensor&& tensor) {
  const bool scalar_result = tensor.ndim() == 0;
  OutputArray array = tensor_to_ndarray_nd(std::move(tensor));
  if (!scalar_result) return std::move(array);
  // The NumPy scalar of a rank-0 array; the array and its tensor go with it.
  PyObject* scalar = PyArray_Return(reinterpret_cast<PyArrayObject*>(array.release().ptr()));
  if (!scalar) throw nb::python_error();
  return nb::steal(scalar);
}

// ---- Python values the extended and batched functions take -----------------

namespace {

/// True for a Python or NumPy integer or float; false for a boolean, whose
/// value 1 is more likely a slip than a norm.
bool is_real_number(PyObject* value) {
  if (PyBool_Check(value)) return false;
  if (PyLong_Check(value) || PyFloat_Check(value)) return true;
  require_numpy_api();
  return PyArray_IsScalar(value, Integer) || PyArray_IsScalar(value, Floating);
}

/// The norm `ord` names, if it names one.
std::optional<linalg::NormKind> named_norm(nb::handle ord) {
  if (ord.is_none()) return linalg::NormKind::Frobenius;
  if (PyUnicode_Check(ord.ptr())) {
    if (PyUnicode_CompareWithASCIIString(ord.ptr(), "fro") == 0) return linalg::NormKind::Frobenius;
    return std::nullopt;
  }
  if (!is_real_number(ord.ptr())) return std::nullopt;
  const double number = PyFloat_AsDouble(ord.ptr());
  if (number == -1.0 && PyErr_Occurred()) PyErr_Clear();  // beyond float64: no norm either
  if (number == 1.0) return linalg::NormKind::One;
  if (number == 2.0) return linalg::NormKind::Spectral;
  if (number == std::numeric_limits<double>::infinity()) return linalg::NormKind::Inf;
  return std::nullopt;
}

/// "(50,)", "(50, 4)" or "()": a shape as Python prints a tuple.
std::string shape_text(const std::int64_t* extents, std::size_t rank) {
  std::string text = "(";
  for (std::size_t k = 0; k < rank; ++k) {
    text += (k > 0 ? ", " : "") + std::to_string(extents[k]);
  }
  return text + (rank == 1 ? ",)" : ")");
}

}  // namespace

linalg::NormKind norm_kind_of(nb::handle ord) {
  if (const std::optional<linalg::NormKind> kind = named_norm(ord)) return *kind;
  throw std::invalid_argument("zorvane: norm accepts ord None, 'fro', 1, 2 or inf (got " +
                              std::string(nb::repr(ord).c_str()) + ")");
}

OutputArray vector_copy(const double* data, std::int64_t n) {
  require_numpy_api();
  npy_intp extent = n;
  PyObject* array = PyArray_SimpleNew(1, &extent, NPY_DOUBLE);
  if (!array) throw nb::python_error();
  OutputArray result = nb::steal<OutputArray>(array);
  if (n > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data,
                static_cast<std::size_t>(n) * sizeof(double));
  }
  return result;
}

void copy_callback_result(nb::handle value, const char* callback,
                          const std::vector<std::int64_t>& expected, double* out) {
  require_numpy_api();
  const std::string wanted = std::string("zorvane: levenberg_marquardt ") + callback +
                             " callback must return real numbers of shape " +
                             shape_text(expected.data(), expected.size());
  // numpy.asarray: an array-like in the dtype NumPy finds for it.
  PyObject* converted = PyArray_FromAny(value.ptr(), nullptr, 0, 0, 0, nullptr);
  if (!converted) {
    nb::python_error error;
    nb::raise_from(error, PyExc_ValueError, "%s (got %s, which NumPy does not convert to an array)",
                   wanted.c_str(), type_short_name(value).c_str());
  }
  const nb::object owned = nb::steal(converted);
  auto* array = reinterpret_cast<PyArrayObject*>(converted);
  static_assert(sizeof(npy_intp) == sizeof(std::int64_t), "NumPy's extents are 64-bit");
  const auto* extents = reinterpret_cast<const std::int64_t*>(PyArray_DIMS(array));
  const auto rank = static_cast<std::size_t>(PyArray_NDIM(array));
  const bool real = PyArray_ISBOOL(array) || PyArray_ISINTEGER(array) || PyArray_ISFLOAT(array);
  if (!real || rank != expected.size() || !std::equal(expected.begin(), expected.end(), extents)) {
    const nb::str dtype = nb::str(nb::handle(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    throw std::invalid_argument(wanted + " (got " + dtype.c_str() + " of shape " +
                                shape_text(extents, rank) + ")");
  }
  // Every real dtype casts to float64; the kind test above is the guard.
  PyObject* doubles = PyArray_FromArray(array, PyArray_DescrFromType(NPY_DOUBLE),
                                        NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST);
  if (!doubles) throw nb::python_error();
  const nb::object cast = nb::steal(doubles);
  auto* values = reinterpret_cast<PyArrayObject*>(doubles);
  const auto bytes = static_cast<std::size_t>(PyArray_NBYTES(values));
  if (bytes > 0) std::memcpy(out, PyArray_DATA(values), bytes);
}

}  // namespace zorvane::python
