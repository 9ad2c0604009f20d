// Conversions between the module's array types and zorvane tensors. Inputs
// are copied into new tensors; results are handed to NumPy without a copy,
// owned by a capsule that frees the tensor with the last reference.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "zorvane/core/tensor.h"

namespace zorvane::python {

namespace nb = nanobind;

/// Every parameter "A": a C-contiguous float64 matrix.
using InputMatrix = nb::ndarray<double, nb::shape<-1, -1>, nb::c_contig>;
/// The "B" of solve: a C-contiguous float64 array of any rank.
using InputArray = nb::ndarray<double, nb::c_contig>;

/// True for an instance of numpy.ndarray (or of a subclass); false while
/// NumPy has not been imported by the module yet.
bool is_numpy_array(PyObject* object) noexcept;

/// Every array result: a writable, C-contiguous float64 numpy.ndarray that
/// views a result tensor's memory. It is built directly with NumPy's C API,
/// which costs a fraction of a generic framework export.
class OutputArray : public nb::object {
 public:
  NB_OBJECT_DEFAULT(OutputArray, object, "numpy.ndarray[dtype=float64]", is_numpy_array)
};

/// Copies a 1-D or 2-D host array into a new tensor (one block copy).
Tensor ndarray_to_tensor(const InputMatrix& array);
Tensor ndarray_to_tensor(const InputArray& array);

/// Hands a row-major result tensor to a NumPy array of rank 1 or 2. The rank
/// is the result's documented one; the tensor's own is not consulted.
OutputArray tensor_to_ndarray_1d(Tensor&& tensor);
OutputArray tensor_to_ndarray_2d(Tensor&& tensor);
/// The same for a row-major tensor of any rank the tensor reports (at most
/// 32, NumPy's oldest limit).
OutputArray tensor_to_ndarray_nd(Tensor&& tensor);

/// Hands a result tensor of rank 1 or 2 to NumPy as a generic object.
nb::object tensor_to_ndarray(Tensor&& tensor);

}  // namespace zorvane::python
