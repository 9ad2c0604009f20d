#include "conversion.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace zorvane::python {
namespace {

// The copy reads host memory; an array that lives on a device must never
// reach it.
template <class Array>
void require_host_memory(const Array& array) {
  if (array.device_type() != nb::device::cpu::value) {
    throw std::invalid_argument(
        "zorvane: only host (CPU) arrays are accepted; copy the array to host memory first");
  }
}

template <class Array>
Tensor copy_into_tensor(const Array& array) {
  const std::size_t ndim = array.ndim();
  if (ndim != 1 && ndim != 2) {
    throw std::invalid_argument("zorvane: expected a 1-D or 2-D array (got ndim=" +
                                std::to_string(static_cast<unsigned long>(ndim)) + ")");
  }
  require_host_memory(array);
  const auto rows = static_cast<long>(array.shape(0));
  Tensor tensor = ndim == 2
                      ? Tensor(Shape{rows, static_cast<long>(array.shape(1))}, DType::Float64,
                               Device{DeviceKind::CPU, -1})
                      : Tensor(Shape{rows}, DType::Float64, Device{DeviceKind::CPU, -1});
  // C-contiguity makes the array's memory identical to a row-major tensor.
  const auto bytes = static_cast<std::size_t>(tensor.numel()) * sizeof(double);
  if (bytes > 0) std::memcpy(tensor.data(), array.data(), bytes);
  return tensor;
}

void destroy_owned_tensor(PyObject* capsule) noexcept {
  delete static_cast<Tensor*>(PyCapsule_GetPointer(capsule, nullptr));
}

template <std::size_t Rank>
OutputArray export_tensor(Tensor&& tensor) {
  auto owned = std::make_unique<Tensor>(std::move(tensor));
  PyObject* capsule = PyCapsule_New(owned.get(), nullptr, destroy_owned_tensor);
  if (!capsule) throw nb::python_error();
  Tensor* heap = owned.release();  // the capsule owns it now
  nb::capsule owner = nb::steal<nb::capsule>(capsule);

  std::size_t shape[Rank];
  for (std::size_t k = 0; k < Rank; ++k) shape[k] = static_cast<std::size_t>(heap->shape()[k]);
  // A tensor without elements may have a null address; NumPy never reads it.
  return OutputArray(heap->data(), Rank, shape, owner);
}

}  // namespace

Tensor ndarray_to_tensor(const InputMatrix& array) { return copy_into_tensor(array); }
Tensor ndarray_to_tensor(const InputArray& array) { return copy_into_tensor(array); }

OutputArray tensor_to_ndarray_1d(Tensor&& tensor) { return export_tensor<1>(std::move(tensor)); }
OutputArray tensor_to_ndarray_2d(Tensor&& tensor) { return export_tensor<2>(std::move(tensor)); }

nb::object tensor_to_ndarray(Tensor&& tensor) {
  OutputArray array;
  if (tensor.ndim() == 1) {
    array = tensor_to_ndarray_1d(std::move(tensor));
  } else if (tensor.ndim() == 2) {
    array = tensor_to_ndarray_2d(std::move(tensor));
  } else {
    throw std::invalid_argument("zorvane: cannot convert Tensor of rank != 1 or 2 to ndarray");
  }
  nb::handle exported = nb::detail::make_caster<OutputArray>::from_cpp(
      array, nb::rv_policy::automatic_reference, nullptr);
  if (!exported.is_valid()) {
    if (PyErr_Occurred()) throw nb::python_error();
    throw std::bad_cast();
  }
  return nb::steal(exported);
}

// ---- Stacks of matrices, for the batched module -----------------------------

namespace {

nb::dlpack::dtype numpy_dtype_of(const Tensor& tensor) {
  switch (tensor.dtype()) {
    case DType::Float64:
      return nb::dtype<double>();
    case DType::Int64:
      return nb::dtype<std::int64_t>();
    case DType::Int32:
      return nb::dtype<std::int32_t>();
    case DType::Float32:
      break;
  }
  throw std::invalid_argument("zorvane: cannot convert a float32 tensor to ndarray");
}

}  // namespace

Tensor stack_to_tensor(const InputStack& array) {
  require_host_memory(array);
  std::vector<std::int64_t> extents(array.ndim());
  for (std::size_t k = 0; k < extents.size(); ++k) {
    extents[k] = static_cast<std::int64_t>(array.shape(k));
  }
  Tensor tensor(Shape(extents.data(), extents.size()), DType::Float64,
                Device{DeviceKind::CPU, -1});
  // C-contiguity makes the array's memory identical to a row-major tensor.
  const auto bytes = static_cast<std::size_t>(tensor.numel()) * sizeof(double);
  if (bytes > 0) std::memcpy(tensor.data(), array.data(), bytes);
  return tensor;
}

nb::object tensor_to_stack(Tensor&& tensor) {
  const nb::dlpack::dtype dtype = numpy_dtype_of(tensor);
  auto owned = std::make_unique<Tensor>(std::move(tensor));
  PyObject* capsule = PyCapsule_New(owned.get(), nullptr, destroy_owned_tensor);
  if (!capsule) throw nb::python_error();
  Tensor* heap = owned.release();  // the capsule owns it now
  nb::capsule owner = nb::steal<nb::capsule>(capsule);

  std::vector<std::size_t> shape(static_cast<std::size_t>(heap->ndim()));
  for (std::size_t k = 0; k < shape.size(); ++k) shape[k] = static_cast<std::size_t>(heap->shape()[k]);
  // A tensor without elements may have a null address; NumPy never reads it.
  const nb::ndarray<nb::numpy> array(heap->data(), shape.size(), shape.data(), owner, nullptr,
                                     dtype);
  nb::handle exported = nb::detail::make_caster<nb::ndarray<nb::numpy>>::from_cpp(
      array, nb::rv_policy::automatic_reference, nullptr);
  if (!exported.is_valid()) {
    if (PyErr_Occurred()) throw nb::python_error();
    throw std::bad_cast();
  }
  nb::object result = nb::steal(exported);
  // NumPy imports 64-bit integers as C long long; the view (no copy) gives
  // them NumPy's own int64 type, so that their scalars are np.int64.
  if (heap->dtype() == DType::Int64) result = result.attr("view")("int64");
  if (!shape.empty()) return result;
  // The NumPy scalar of a rank-0 array: array[()].
  PyObject* scalar = PyObject_GetItem(result.ptr(), nb::tuple().ptr());
  if (!scalar) throw nb::python_error();
  return nb::steal(scalar);
}

}  // namespace zorvane::python
