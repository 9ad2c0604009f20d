// Conversions between the module's array types and zorvane tensors. Inputs
// are copied into new tensors; results are handed to NumPy without a copy,
// owned by a capsule that frees the tensor with the last reference.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zorvane/core/tensor.h"
#include "zorvane/linalg/linalg.h"

namespace zorvane::python {

namespace nb = nanobind;

/// Every parameter "A": a C-contiguous float64 matrix.
using InputMatrix = nb::ndarray<double, nb::shape<-1, -1>, nb::c_contig>;
/// The "B" of solve: a C-contiguous float64 array of any rank.
using InputArray = nb::ndarray<double, nb::c_contig>;

/// Every array argument of the batched and the extended functions: float64,
/// C-contiguous, any rank; read-only arrays too, since nothing is written to
/// an input.
using InputAnyRank = nb::ndarray<const double, nb::c_contig>;

/// What the copy reads from an array argument: where its elements start (the
/// array's data pointer advanced by its byte offset), its number of
/// dimensions, its extents (owned by the array, which outlives the call), and
/// where its memory lives.
struct ArrayView {
  const void* data = nullptr;
  std::size_t ndim = 0;
  const std::int64_t* extents = nullptr;
  std::int32_t device_type = 0;
};

/// Reads `object` in place when it is a NumPy array (of any subclass) that
/// already meets the constraints of its parameter type: float64 in native
/// byte order, C-contiguous, writable unless `read_only_allowed`, and of
/// `required_ndim` dimensions (any number when negative). Anything else is
/// left to nanobind's import and its implicit conversions. Never raises.
bool view_numpy_array_in_place(PyObject* object, int required_ndim, bool read_only_allowed,
                               ArrayView& view) noexcept;

/// A plain numpy.ndarray viewing the same memory when `object` is an
/// instance of a subclass of it, else an invalid object. nanobind converts
/// only arrays whose type it knows by its module, so a subclass defined
/// elsewhere is imported through this view, with the plain array's
/// conversion. Never raises.
nb::object plain_array_view(PyObject* object) noexcept;

/// An array parameter as a bound function receives it. A NumPy array that
/// fits is read in place; any other argument goes through nanobind's import
/// of `Array` (InputMatrix, InputArray or InputAnyRank), whose converted copy
/// lives as long as the argument. It renders in signatures exactly as
/// `Array` does.
template <class Array>
class Argument {
 public:
  const ArrayView& view() const { return view_; }

 private:
  friend struct nb::detail::type_caster<Argument<Array>>;
  ArrayView view_;
  Array imported_;
};

using MatrixArgument = Argument<InputMatrix>;
using ArrayArgument = Argument<InputArray>;
using AnyRankArgument = Argument<InputAnyRank>;

/// How the stubs of the batched and extended functions type an AnyRankArgument:
/// an array of booleans, integers or floats, which is converted; lists and
/// complex arrays are refused. A macro, so that signatures stay literals.
#define ZORVANE_PY_ARRAY_IN "numpy.typing.NDArray[numpy.bool_ | numpy.integer | numpy.floating]"

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

/// Copies a 1-D or 2-D host array into a new tensor (one block copy); any
/// other rank is refused.
Tensor ndarray_to_tensor(const ArrayView& view);
template <class Array>
Tensor ndarray_to_tensor(const Argument<Array>& argument) {
  return ndarray_to_tensor(argument.view());
}

/// A tensor over a host array of any rank where it lies, without a copy. The
/// library only reads its arguments, and the argument keeps the array (or
/// its converted copy) alive for the whole call, so the tensor never
/// outlives the memory it views.
Tensor view_as_tensor(const ArrayView& view);
template <class Array>
Tensor view_as_tensor(const Argument<Array>& argument) {
  return view_as_tensor(argument.view());
}

/// The view of an array imported by nanobind.
template <class Array>
ArrayView view_of(const Array& array) {
  return ArrayView{array.data(), array.ndim(), array.shape_ptr(), array.device_type()};
}

/// Hands a row-major result tensor to a NumPy array of rank 1 or 2. The rank
/// is the result's documented one; the tensor's own is not consulted.
OutputArray tensor_to_ndarray_1d(Tensor&& tensor);
OutputArray tensor_to_ndarray_2d(Tensor&& tensor);
/// The same for a row-major tensor of any rank the tensor reports (at most
/// 32, NumPy's oldest limit) and of dtype float64, int64 or int32.
OutputArray tensor_to_ndarray_nd(Tensor&& tensor);

/// Hands a result tensor of rank 1 or 2 to NumPy as a generic object.
nb::object tensor_to_ndarray(Tensor&& tensor);

/// Hands a result tensor of any rank and of dtype float64, int64 or int32 to
/// NumPy without a copy; a rank-0 result becomes a NumPy scalar.
nb::object tensor_to_stack(Tensor&& tensor);

// ---- Python values the extended and batched functions take -----------------

/// The norm NumPy's `ord` names: None or 'fro' (Frobenius), 1, 2 (spectral)
/// or inf, the numbers as Python or NumPy integers or floats (1.0 and 2.0
/// too), never as booleans. Anything else raises ValueError naming them.
linalg::NormKind norm_kind_of(nb::handle ord);

/// A new float64 NumPy array of shape (n,) holding a copy of the n doubles
/// at `data`.
OutputArray vector_copy(const double* data, std::int64_t n);

/// Copies what the levenberg_marquardt callback `callback` returned into
/// `out`. The value is converted as numpy.asarray converts it, must hold
/// real numbers (booleans, integers or floats) and have exactly the shape
/// `expected`; anything else raises ValueError naming the callback, the
/// expected and the received shape.
void copy_callback_result(nb::handle value, const char* callback,
                          const std::vector<std::int64_t>& expected, double* out);

}  // namespace zorvane::python

namespace nanobind::detail {

template <class Array>
struct type_caster<zorvane::python::Argument<Array>> {
  NB_TYPE_CASTER(zorvane::python::Argument<Array>, make_caster<Array>::Name)

  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    if (zorvane::python::view_numpy_array_in_place(src.ptr(), Array::Config::N, Array::ReadOnly,
                                                   value.view_)) {
      return true;
    }
    const object plain = zorvane::python::plain_array_view(src.ptr());
    make_caster<Array> imported;
    if (!imported.from_python(plain.is_valid() ? handle(plain) : src, flags, cleanup)) return false;
    value.imported_ = std::move(imported.value);
    value.view_ = zorvane::python::view_of(value.imported_);
    return true;
  }
};

}  // namespace nanobind::detail
