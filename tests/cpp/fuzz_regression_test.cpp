// Inputs the fuzzer found to misbehave, kept as ordinary tests. Some faults
// only show under the sanitizer build (make test's ASan+UBSan stage).
#include "test_util.h"

namespace zorvane::test {
namespace {

// A right-hand side without columns: Eigen's QR solve binds a reference to
// the first entry of its right-hand side, which does not exist here.
class LstsqWithoutColumns : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(LstsqWithoutColumns, GivesAnEmptySolutionOfNRows) {
  const auto [m, n] = GetParam();
  const Eigen::MatrixXd a = random_matrix(m, n, 41);  // of full rank
  const Tensor b = make_tensor(Shape{m, 0});
  for (const Tensor& view : {tensor_from(a), transposed_view_of(a)}) {
    const linalg::LstsqResult r = linalg::lstsq(view, b);
    ASSERT_EQ(r.x.ndim(), 2);
    EXPECT_EQ(r.x.shape()[0], n);
    EXPECT_EQ(r.x.shape()[1], 0);
    EXPECT_EQ(r.rank, std::min(m, n));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LstsqWithoutColumns,
                         ::testing::Values(std::make_pair(1, 1), std::make_pair(3, 3),
                                           std::make_pair(5, 2), std::make_pair(2, 5)));

}  // namespace
}  // namespace zorvane::test
