// The instruction-set levels compiled into the library, which of them this
// CPU runs, and each level's table of operations as the library runs it.
// Private: the entry points choose a level with it, and the tests and the
// fuzzer link it (in a static library of their own, beside the shared one)
// to run every level in one process.
#pragma once

#include <cstddef>

#include "operations.h"

namespace zorvane::linalg::dispatch {

struct Level {
  const char* name;
  bool (*runs)();
  const Operations* (*operations)();
};

/// The levels compiled in, from the most portable (the baseline) to the widest.
struct Levels {
  const Level* first;
  std::size_t count;
  const Level* begin() const { return first; }
  const Level* end() const { return first + count; }
};
Levels compiled_levels();

/// The operations of `level`, each engine at the level it runs fastest at.
Operations operations_of(const Level& level);

}  // namespace zorvane::linalg::dispatch
