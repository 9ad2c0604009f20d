// The stand-in tensor library: layout, sharing, moves and strided views.
#include <thread>

#include "test_util.h"

namespace zorvane {
namespace {

using test::kCpu;

TEST(Tensor, NewTensorIsContiguousRowMajor) {
  Tensor t(Shape{2, 3}, DType::Float64, kCpu);
  EXPECT_TRUE(t.defined());
  EXPECT_EQ(t.ndim(), 2);
  EXPECT_EQ(t.numel(), 6);
  EXPECT_EQ(t.shape()[0], 2);
  EXPECT_EQ(t.shape()[1], 3);
  EXPECT_EQ(t.strides()[0], 3);
  EXPECT_EQ(t.strides()[1], 1);
  EXPECT_EQ(t.dtype(), DType::Float64);
  EXPECT_EQ(t.device().kind, DeviceKind::CPU);
  EXPECT_EQ(t.device().index, -1);
}

TEST(Tensor, DefaultHandleIsEmpty) {
  const Tensor t;
  EXPECT_FALSE(t.defined());
  EXPECT_EQ(t.numel(), 0);
  EXPECT_EQ(t.ndim(), 0);
}

TEST(Tensor, CopiesShareStorage) {
  Tensor a(Shape{2}, DType::Float64, kCpu);
  Tensor b = a;
  a.data()[1] = 7.5;
  EXPECT_EQ(b.data(), a.data());
  EXPECT_EQ(b.data()[1], 7.5);
}

TEST(Tensor, MoveLeavesSourceEmptyAndKeepsBuffer) {
  Tensor a(Shape{3, 2}, DType::Float64, kCpu);
  double* buffer = a.data();
  Tensor b = std::move(a);
  EXPECT_FALSE(a.defined());  // NOLINT(bugprone-use-after-move): the contract under test
  EXPECT_EQ(a.ndim(), 0);
  EXPECT_EQ(b.data(), buffer);
  EXPECT_EQ(b.shape()[0], 3);

  Tensor c(Shape{1}, DType::Float64, kCpu);
  c = std::move(b);
  EXPECT_FALSE(b.defined());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(c.data(), buffer);
}

TEST(Tensor, StorageOutlivesTheTensorThatMadeItThroughAView) {
  Tensor view;
  {
    Tensor base(Shape{4}, DType::Float64, kCpu);
    for (int i = 0; i < 4; ++i) base.data()[i] = i;
    view = base.as_strided(Shape{2}, Strides{2}, 1);
  }
  EXPECT_EQ(view.data()[0], 1.0);
  EXPECT_EQ(view.data()[2], 3.0);
}

TEST(Tensor, ZeroExtentsAndManyDimensions) {
  const Tensor empty(Shape{0, 5}, DType::Float64, kCpu);
  EXPECT_TRUE(empty.defined());
  EXPECT_EQ(empty.numel(), 0);

  const Tensor five_d(Shape{1, 2, 1, 3, 2}, DType::Float32, kCpu);
  EXPECT_EQ(five_d.ndim(), 5);
  EXPECT_EQ(five_d.numel(), 12);
  EXPECT_EQ(five_d.strides()[0], 12);
  EXPECT_EQ(five_d.strides()[4], 1);
}

TEST(Tensor, RejectsNegativeExtentsAndImpossibleSizes) {
  EXPECT_THROW_MSG(Tensor(Shape{2, -1}, DType::Float64, kCpu), std::invalid_argument,
                   "zorvane: tensor extents must be non-negative");
  EXPECT_THROW(Tensor(Shape{1L << 30, 1L << 30}, DType::Float64, kCpu), std::bad_alloc);
  EXPECT_THROW(Tensor(Shape{1L << 62, 1L << 62}, DType::Float64, kCpu), std::bad_alloc);
}

TEST(Tensor, AsStridedAddressesTheDocumentedElements) {
  Tensor base(Shape{3, 4}, DType::Float64, kCpu);
  for (int i = 0; i < 12; ++i) base.data()[i] = i;
  const Tensor transposed = base.as_strided(Shape{4, 3}, Strides{1, 4});
  EXPECT_EQ(transposed.data()[2 * 1 + 1 * 4], 6.0);  // element (2, 1) = base (1, 2)

  const Tensor reversed = base.as_strided(Shape{3}, Strides{-1}, 11);
  EXPECT_EQ(reversed.data()[0], 11.0);
  EXPECT_EQ(reversed.data()[-2], 9.0);
}

TEST(Tensor, AsStridedRejectsViewsOutsideTheStorage) {
  const Tensor base(Shape{3, 4}, DType::Float64, kCpu);
  const char* outside = "zorvane: as_strided view exceeds the tensor's storage";
  EXPECT_THROW_MSG(base.as_strided(Shape{3, 4}, Strides{4, 1}, 1), std::out_of_range, outside);
  EXPECT_THROW_MSG(base.as_strided(Shape{2}, Strides{-1}, 0), std::out_of_range, outside);
  EXPECT_THROW_MSG(base.as_strided(Shape{2, 2}, Strides{1L << 62, 4}), std::out_of_range, outside);
  EXPECT_THROW_MSG(base.as_strided(Shape{2}, Strides{1, 1}), std::invalid_argument,
                   "zorvane: as_strided needs one stride per dimension");
  // A view with no elements reaches nothing and is always valid.
  EXPECT_NO_THROW(base.as_strided(Shape{0, 4}, Strides{100, 1}, 50));
  // A view of a view is checked against the same storage.
  const Tensor tail = base.as_strided(Shape{4}, Strides{1}, 8);
  EXPECT_NO_THROW(tail.as_strided(Shape{3}, Strides{-4}, 0));
  EXPECT_THROW(tail.as_strided(Shape{4}, Strides{-4}, 0), std::out_of_range);
}

TEST(Tensor, ConcurrentCopiesKeepTheCountRight) {
  Tensor shared(Shape{16}, DType::Float64, kCpu);
  shared.data()[0] = 3.0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 10000; ++i) {
        Tensor copy = shared;
        Tensor moved = std::move(copy);
        ASSERT_EQ(moved.data()[0], 3.0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared.data()[0], 3.0);
}

}  // namespace
}  // namespace zorvane
