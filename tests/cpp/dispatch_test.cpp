// The instruction-set level: the one ZORVANE_CPU_LEVEL names, or the widest
// this CPU runs; a value that names no level is refused at every call. ctest
// also runs this test with ZORVANE_CPU_LEVEL=x86-64-v9.
#include <cstdlib>
#include <string>

#include "test_util.h"

namespace zorvane {
namespace {

TEST(InstructionSet, IsTheLevelTheEnvironmentNamesOrAKnownOne) {
  const char* forced = std::getenv("ZORVANE_CPU_LEVEL");
  const std::string value = forced ? forced : "";
  if (value == "x86-64-v9") {
    const std::string refused = "zorvane: ZORVANE_CPU_LEVEL=x86-64-v9 names no instruction-set "
                                "level of this library (levels available here: baseline";
    for (int call = 0; call < 2; ++call) {  // nothing is chosen, so every call refuses
      try {
        linalg::trace(test::tensor_from({{1.0}}));
        ADD_FAILURE() << "an unknown level was accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind(refused, 0), 0u) << e.what();
      }
    }
    return;
  }
  const std::string running = linalg::instruction_set();
  if (!value.empty()) {
    EXPECT_EQ(running, value);
  } else {
    EXPECT_TRUE(running == "baseline" || running == "x86-64-v3" || running == "x86-64-v4")
        << running;
  }
  EXPECT_EQ(linalg::trace(test::tensor_from({{1.0, 2.0}, {3.0, 4.0}})), 5.0);
}

}  // namespace
}  // namespace zorvane
