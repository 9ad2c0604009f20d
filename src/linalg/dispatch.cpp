// The library's entry points. Its numerical code is compiled once per
// instruction-set level (the portable x86-64 baseline, x86-64-v3 with AVX2 and
// FMA, x86-64-v4 with AVX-512), each level linked apart; every exported
// operation forwards to one level's implementation. The level is chosen once,
// at the first call, as the best one the CPU and the operating system support,
// or the one ZORVANE_CPU_LEVEL names; it is a constant of the process after
// that. This file is compiled for the baseline, so it runs on every CPU.
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "levels.h"
#include "operations.h"

namespace zorvane::linalg {
namespace {

using dispatch::compiled_levels;
using dispatch::Level;
using dispatch::Operations;

/// "baseline, x86-64-v3": the levels this CPU runs.
std::string levels_this_cpu_runs() {
  std::string names;
  for (const Level& level : compiled_levels()) {
    if (level.runs()) names += (names.empty() ? "" : ", ") + std::string(level.name);
  }
  return names;
}

[[noreturn]] void refuse_forced_level(const char* value, const char* why) {
  throw std::invalid_argument(std::string("zorvane: ZORVANE_CPU_LEVEL=") + value + why +
                              " (levels available here: " + levels_this_cpu_runs() + ")");
}

/// The level ZORVANE_CPU_LEVEL names, or else the widest one this CPU runs.
const Level& choose_level() {
  const char* forced = std::getenv("ZORVANE_CPU_LEVEL");
  if (forced != nullptr && *forced != '\0') {
    for (const Level& level : compiled_levels()) {
      if (std::strcmp(level.name, forced) != 0) continue;
      if (!level.runs()) refuse_forced_level(forced, " needs instructions this CPU lacks");
      return level;
    }
    refuse_forced_level(forced, " names no instruction-set level of this library");
  }
  const Level* widest = compiled_levels().begin();
  for (const Level& level : compiled_levels()) {
    if (level.runs()) widest = &level;
  }
  return *widest;
}

struct Running {
  const char* name;
  Operations operations;
};

/// The level this process runs, chosen at the first call; a refused
/// ZORVANE_CPU_LEVEL throws at every call, as nothing is chosen then.
const Running& running() {
  static const Running chosen = [] {
    const Level& level = choose_level();
    return Running{level.name, dispatch::operations_of(level)};
  }();
  return chosen;
}

}  // namespace

const char* instruction_set() { return running().name; }

}  // namespace zorvane::linalg

// ---- the exported operations ----------------------------------------------

namespace zorvane {

#define ZORVANE_LINALG_FORWARD(result, field, function, parameters, arguments) \
  result function parameters { return linalg::running().operations.field arguments; }
ZORVANE_LINALG_OPERATIONS(ZORVANE_LINALG_FORWARD)
#undef ZORVANE_LINALG_FORWARD

}  // namespace zorvane

// ---- the inline helpers of detail.h ---------------------------------------

namespace zorvane::linalg::detail {
namespace {

// Taking the inline helpers' addresses in a table the linker must keep forces
// an out-of-line copy of each into the library, where it is exported; the
// levels' own copies stay local to them.
struct ExportedHelpers {
  void (*require_2d)(const Tensor&, const char*);
  void (*require_square)(const Tensor&, const char*);
  Eigen::MatrixXd (*gather)(const Tensor&);
  Tensor (*scatter)(const Eigen::MatrixXd&);
};

[[maybe_unused]] __attribute__((used)) const ExportedHelpers kExportedHelpers = {
    &require_2d_f64_cpu,
    &require_square_f64_cpu,
    &gather_matrix,
    &scatter_matrix,
};

}  // namespace
}  // namespace zorvane::linalg::detail
