#include "conversion.h"

// The NumPy C API of this translation unit only: the module's other sources
// never see it.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

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

// NumPy is imported with the first result, not with the module: the module
// itself loads without it. The API table stays cached for later calls.
void require_numpy_api() {
  if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();
}

constexpr std::size_t max_export_rank = 32;

// The result array: NumPy's own constructor over the heap tensor's memory,
// with the capsule as its base object. C order and the flags below give a
// writable, aligned, C-contiguous array whose strides NumPy derives from
// the extents.
OutputArray export_tensor(Tensor&& tensor, std::size_t rank) {
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
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE),
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

Tensor ndarray_to_tensor(const InputMatrix& array) { return copy_into_tensor(array); }
Tensor ndarray_to_tensor(const InputArray& array) { return copy_into_tensor(array); }

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
  return export_tensor(std::move(tensor), rank);
}

nb::object tensor_to_ndarray(Tensor&& tensor) {
  if (tensor.ndim() == 1) return tensor_to_ndarray_1d(std::move(tensor));
  if (tensor.ndim() == 2) return tensor_to_ndarray_2d(std::move(tensor));
  throw std::invalid_argument("zorvane: cannot convert Tensor of rank != 1 or 2 to ndarray");
}

}  // namespace zorvane::python
