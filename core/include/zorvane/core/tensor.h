/// @file
/// Stand-in for the framework's core tensor library: the tensor handle that the
/// linear-algebra backend takes and returns. It keeps the framework's contract
/// (shared storage, element strides, dtype and device tags) and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#define ZORVANE_CORE_API __attribute__((visibility("default")))

namespace zorvane {

/// Element types; the linear-algebra operations take and return Float64 only.
enum class DType : std::uint8_t { Int32 = 0, Int64 = 1, Float32 = 2, Float64 = 3 };

/// Device tags; the linear-algebra operations run on CPU tensors only.
enum class DeviceKind : std::int32_t { CPU = 0, CUDA = 1 };

/// Where a tensor's storage lives. Every device is backed by host memory here;
/// the kind is a tag that lets callers exercise device checks.
struct Device {
  DeviceKind kind;
  std::int32_t index;
};

/// Bytes one element of `dtype` occupies.
constexpr std::size_t element_size(DType dtype) noexcept {
  return dtype == DType::Int32 || dtype == DType::Float32 ? 4 : 8;
}

namespace core_detail {

/// An owned array of signed 64-bit values, kept inline for up to four
/// dimensions so that the common 1-D and 2-D tensors cost no extra allocation.
class ZORVANE_CORE_API DimArray {
 public:
  DimArray() noexcept {}  // user-provided: a const empty tensor needs no initialiser
  DimArray(std::initializer_list<long> values);
  DimArray(const std::int64_t* values, std::size_t size);
  DimArray(const DimArray& other);
  DimArray(DimArray&& other) noexcept { take(other); }
  DimArray& operator=(const DimArray& other);
  DimArray& operator=(DimArray&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~DimArray() { release(); }

  std::int64_t operator[](std::size_t i) const noexcept { return data()[i]; }
  std::size_t size() const noexcept { return size_; }
  const std::int64_t* data() const noexcept { return heap_ ? heap_ : inline_; }
  const std::int64_t* begin() const noexcept { return data(); }
  const std::int64_t* end() const noexcept { return data() + size_; }

 protected:
  std::int64_t* mutable_data() noexcept { return heap_ ? heap_ : inline_; }
  /// Makes room for `size` values, leaving them unspecified.
  void resize_uninitialized(std::size_t size);

 private:
  static constexpr std::size_t kInline = 4;

  void take(DimArray& other) noexcept {
    size_ = other.size_;
    heap_ = other.heap_;
    if (!heap_) {
      for (std::size_t k = 0; k < size_; ++k) inline_[k] = other.inline_[k];
    }
    other.size_ = 0;
    other.heap_ = nullptr;
  }
  void release() noexcept;

  std::size_t size_ = 0;
  std::int64_t* heap_ = nullptr;  // owned; used only beyond kInline values
  std::int64_t inline_[kInline];
};

struct Storage;

}  // namespace core_detail

/// Extents of a tensor, one per dimension.
class ZORVANE_CORE_API Shape : public core_detail::DimArray {
 public:
  using DimArray::DimArray;
};

/// Steps between neighbouring elements, one per dimension, counted in elements.
class ZORVANE_CORE_API Strides : public core_detail::DimArray {
 public:
  using DimArray::DimArray;
  /// The strides of a contiguous row-major tensor of `shape`.
  static Strides row_major(const Shape& shape);
};

/// A reference-counted handle to typed storage seen through a shape and
/// element strides. Copies share the storage; a move leaves the source empty.
class ZORVANE_CORE_API Tensor {
 public:
  /// An empty handle: `defined()` is false.
  Tensor() noexcept = default;
  /// New contiguous row-major storage with unspecified content.
  /// Throws std::invalid_argument for a negative extent and std::bad_alloc
  /// when the element count reaches 2^60 or the allocation fails.
  Tensor(Shape shape, DType dtype, Device device);
  /// A contiguous row-major tensor over `data`, which the caller owns: it
  /// must outlive the tensor and every copy and view of it. Nothing is
  /// copied, and dropping the last reference frees nothing but the handle.
  /// Throws as the constructor does for the shape.
  static Tensor borrow(void* data, Shape shape, DType dtype, Device device);

  Tensor(const Tensor& other) noexcept;
  Tensor(Tensor&& other) noexcept;
  Tensor& operator=(const Tensor& other) noexcept;
  Tensor& operator=(Tensor&& other) noexcept;
  ~Tensor();

  /// Element 0 of this view. Never dereference it when `numel()` is 0.
  double* data() noexcept { return reinterpret_cast<double*>(first_); }
  const double* data() const noexcept { return reinterpret_cast<const double*>(first_); }

  const Shape& shape() const noexcept { return shape_; }
  const Strides& strides() const noexcept { return strides_; }
  std::int64_t ndim() const noexcept { return static_cast<std::int64_t>(shape_.size()); }
  std::int64_t numel() const noexcept { return numel_; }
  DType dtype() const noexcept { return dtype_; }
  Device device() const noexcept { return device_; }
  bool defined() const noexcept { return storage_ != nullptr; }

  /// A view sharing this tensor's storage: element idx lies at
  /// data() + offset + sum(idx[k] * strides[k]). Throws std::out_of_range when
  /// any element of the view would fall outside the storage, and
  /// std::invalid_argument when the shape and strides disagree in length or an
  /// extent is negative.
  Tensor as_strided(Shape shape, Strides strides, std::int64_t offset = 0) const;

 private:
  void release() noexcept;

  core_detail::Storage* storage_ = nullptr;
  unsigned char* first_ = nullptr;
  Shape shape_;
  Strides strides_;
  std::int64_t numel_ = 0;
  DType dtype_ = DType::Float64;
  Device device_ = {DeviceKind::CPU, -1};
};

}  // namespace zorvane
