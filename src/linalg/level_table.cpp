// One instruction-set level's table of every exported operation. The
// level's code is compiled with the level's flags and linked apart, and this
// table is the only symbol of it that stays global: everything else,
// Eigen's template instances included, is local to the level.
#include "operations.h"

#ifndef ZORVANE_LEVEL_OPERATIONS
#error "ZORVANE_LEVEL_OPERATIONS names this level's table; the build defines it per level"
#endif

namespace zorvane {
namespace {

#define ZORVANE_LINALG_OPERATION_ADDRESS(result, field, function, parameters, arguments) &function,
constexpr linalg::dispatch::Operations kOperations = {
    ZORVANE_LINALG_OPERATIONS(ZORVANE_LINALG_OPERATION_ADDRESS)};
#undef ZORVANE_LINALG_OPERATION_ADDRESS

}  // namespace
}  // namespace zorvane

extern "C" const zorvane::linalg::dispatch::Operations* ZORVANE_LEVEL_OPERATIONS() {
  return &zorvane::kOperations;
}
