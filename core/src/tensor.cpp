#include "zorvane/core/tensor.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>

namespace zorvane {

namespace core_detail {

DimArray::DimArray(std::initializer_list<long> values) {
  static_assert(sizeof(long) == sizeof(std::int64_t), "extents are 64-bit");
  resize_uninitialized(values.size());
  std::copy(values.begin(), values.end(), mutable_data());
}

DimArray::DimArray(const std::int64_t* values, std::size_t size) {
  resize_uninitialized(size);
  std::copy(values, values + size, mutable_data());
}

DimArray::DimArray(const DimArray& other) : DimArray(other.data(), other.size_) {}

DimArray& DimArray::operator=(const DimArray& other) {
  if (this != &other) {
    DimArray copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void DimArray::resize_uninitialized(std::size_t size) {
  std::int64_t* heap = size > kInline ? new std::int64_t[size] : nullptr;
  release();
  heap_ = heap;
  size_ = size;
}

void DimArray::release() noexcept {
  delete[] heap_;
  heap_ = nullptr;
  size_ = 0;
}

// One allocation holds the reference count and the elements, so creating a
// tensor costs a single trip to the allocator. The plain allocator's 16-byte
// alignment serves every dtype; over-aligned allocation costs several times
// as much in glibc, which shows on small matrices. Borrowed storage is the
// header alone, pointing at elements that someone else owns.
struct Storage {
  std::atomic<std::int64_t> references{1};
  std::size_t bytes = 0;
  unsigned char* borrowed = nullptr;

  static constexpr std::size_t kHeader = 32;

  unsigned char* elements() noexcept {
    if (borrowed) return borrowed;
    return bytes == 0 ? nullptr : reinterpret_cast<unsigned char*>(this) + kHeader;
  }

  static Storage* create(std::size_t bytes) {
    static_assert(sizeof(Storage) <= kHeader, "header must fit before the elements");
    void* memory = ::operator new(kHeader + bytes);
    prefer_huge_pages(memory, kHeader + bytes);
    Storage* storage = new (memory) Storage;
    storage->bytes = bytes;
    return storage;
  }

  static Storage* borrow(void* elements, std::size_t bytes) {
    Storage* storage = new (::operator new(kHeader)) Storage;
    storage->bytes = bytes;
    storage->borrowed = static_cast<unsigned char*>(elements);
    return storage;
  }

  // A stack of many small matrices is written once, front to back: with 4 KiB
  // pages most of that time goes to page faults. Large blocks ask for
  // transparent huge pages (where the system grants them on request), as
  // NumPy does for its large arrays; the advice is only a hint, so a refusal
  // changes nothing.
  static void prefer_huge_pages(void* memory, std::size_t size) noexcept {
    constexpr std::size_t kHugeBlock = std::size_t{1} << 22;  // 4 MiB
    constexpr std::uintptr_t kPage = 4096;
    if (size < kHugeBlock) return;
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (start + size) & ~(kPage - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }

  static void destroy(Storage* storage) noexcept {
    storage->~Storage();
    ::operator delete(static_cast<void*>(storage));
  }
};

}  // namespace core_detail

namespace {

constexpr std::int64_t kMaxElements = std::int64_t{1} << 60;

// Element count of `shape`; a count that reaches 2^60 cannot be stored.
std::int64_t checked_element_count(const Shape& shape) {
  std::int64_t count = 1;
  bool too_many = false;
  for (std::int64_t extent : shape) {
    if (extent < 0) throw std::invalid_argument("zorvane: tensor extents must be non-negative");
    // Saturates instead of overflowing; a zero extent later still wins.
    if (__builtin_mul_overflow(count, extent, &count) || count >= kMaxElements) {
      too_many = true;
      count = 1;
    }
  }
  for (std::int64_t extent : shape) {
    if (extent == 0) return 0;
  }
  if (too_many) throw std::bad_alloc();
  return count;
}

}  // namespace

Strides Strides::row_major(const Shape& shape) {
  Strides strides;
  strides.resize_uninitialized(shape.size());
  std::int64_t step = 1;
  for (std::size_t k = shape.size(); k-- > 0;) {
    strides.mutable_data()[k] = step;
    // Only a tensor with a zero extent can get here with an overflowing
    // product; its strides are never used to reach an element.
    if (__builtin_mul_overflow(step, std::max<std::int64_t>(shape[k], 1), &step)) step = 0;
  }
  return strides;
}

Tensor::Tensor(Shape shape, DType dtype, Device device)
    : shape_(std::move(shape)),
      strides_(Strides::row_major(shape_)),
      numel_(checked_element_count(shape_)),
      dtype_(dtype),
      device_(device) {
  storage_ = core_detail::Storage::create(static_cast<std::size_t>(numel_) * element_size(dtype));
  first_ = storage_->elements();
}

Tensor Tensor::borrow(void* data, Shape shape, DType dtype, Device device) {
  Tensor tensor;
  tensor.numel_ = checked_element_count(shape);
  tensor.strides_ = Strides::row_major(shape);
  tensor.shape_ = std::move(shape);
  tensor.dtype_ = dtype;
  tensor.device_ = device;
  tensor.storage_ = core_detail::Storage::borrow(
      data, static_cast<std::size_t>(tensor.numel_) * element_size(dtype));
  tensor.first_ = tensor.storage_->elements();
  return tensor;
}

Tensor::Tensor(const Tensor& other) noexcept
    : storage_(other.storage_),
      first_(other.first_),
      shape_(other.shape_),
      strides_(other.strides_),
      numel_(other.numel_),
      dtype_(other.dtype_),
      device_(other.device_) {
  if (storage_) storage_->references.fetch_add(1, std::memory_order_relaxed);
}

Tensor::Tensor(Tensor&& other) noexcept
    : storage_(other.storage_),
      first_(other.first_),
      shape_(std::move(other.shape_)),
      strides_(std::move(other.strides_)),
      numel_(other.numel_),
      dtype_(other.dtype_),
      device_(other.device_) {
  other.storage_ = nullptr;
  other.first_ = nullptr;
  other.numel_ = 0;
}

Tensor& Tensor::operator=(const Tensor& other) noexcept {
  if (this != &other) {
    Tensor copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Tensor& Tensor::operator=(Tensor&& other) noexcept {
  if (this != &other) {
    release();
    storage_ = other.storage_;
    first_ = other.first_;
    shape_ = std::move(other.shape_);
    strides_ = std::move(other.strides_);
    numel_ = other.numel_;
    dtype_ = other.dtype_;
    device_ = other.device_;
    other.storage_ = nullptr;
    other.first_ = nullptr;
    other.numel_ = 0;
  }
  return *this;
}

Tensor::~Tensor() { release(); }

void Tensor::release() noexcept {
  if (storage_ && storage_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    core_detail::Storage::destroy(storage_);
  }
  storage_ = nullptr;
  first_ = nullptr;
}

Tensor Tensor::as_strided(Shape shape, Strides strides, std::int64_t offset) const {
  if (shape.size() != strides.size()) {
    throw std::invalid_argument("zorvane: as_strided needs one stride per dimension");
  }
  if (!storage_) throw std::out_of_range("zorvane: as_strided on an empty tensor");
  const std::int64_t count = checked_element_count(shape);

  // Reachable element range relative to this view's first element; a view
  // with no elements reaches nothing and is always valid.
  const auto item = static_cast<std::int64_t>(element_size(dtype_));
  const std::int64_t before = (first_ - storage_->elements()) / item;
  const std::int64_t capacity = static_cast<std::int64_t>(storage_->bytes) / item;
  if (count > 0) {
    std::int64_t low = offset, high = offset;
    bool overflow = false;
    for (std::size_t k = 0; k < shape.size(); ++k) {
      std::int64_t reach = 0;
      overflow |= __builtin_mul_overflow(shape[k] - 1, strides[k], &reach);
      overflow |= __builtin_add_overflow(reach < 0 ? low : high, reach, reach < 0 ? &low : &high);
    }
    if (overflow || low < -before || high >= capacity - before) {
      throw std::out_of_range("zorvane: as_strided view exceeds the tensor's storage");
    }
  }

  Tensor view(*this);
  view.first_ = count > 0 ? first_ + offset * item : first_;
  view.shape_ = std::move(shape);
  view.strides_ = std::move(strides);
  view.numel_ = count;
  return view;
}

}  // namespace zorvane
