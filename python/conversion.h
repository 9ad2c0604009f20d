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
/// Every array result: a float64 NumPy array.
using OutputArray = nb::ndarray<nb::numpy, double>;

/// Copies a 1-D or 2-D host array into a new tensor (one block copy).
Tensor ndarray_to_tensor(const InputMatrix& array);
Tensor ndarray_to_tensor(const InputArray& array);

/// Hands a row-major result tensor to a NumPy array of rank 1 or 2.
OutputArray tensor_to_ndarray_1d(Tensor&& tensor);
OutputArray tensor_to_ndarray_2d(Tensor&& tensor);

/// Hands a result tensor of rank 1 or 2 to NumPy as a generic object.
nb::object tensor_to_ndarray(Tensor&& tensor);

// ---- Stacks of matrices, for the batched module -----------------------------

/// Every array argument of the batched functions: float64, C-contiguous, any
/// rank; read-only arrays too, since nothing is written to an input.
using InputStack = nb::ndarray<const double, nb::c_contig>;

/// Copies a host array of any rank into a new tensor (one block copy).
Tensor stack_to_tensor(const InputStack& array);

/// Hands a result tensor of any rank and of dtype float64, int64 or int32 to
/// NumPy without a copy; a rank-0 result becomes a NumPy scalar.
nb::object tensor_to_stack(Tensor&& tensor);

}  // namespace zorvane::python
