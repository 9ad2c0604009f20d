// The instruction-set levels compiled into the library: what the CPU and the
// operating system support, and each level's table as the library runs it.
// Compiled for the baseline, so it runs on every CPU.
#include "levels.h"

#include <cpuid.h>

#include <cstdint>

namespace zorvane::linalg::dispatch {
namespace {

// ---- what the CPU and the operating system support ------------------------

struct Registers {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

/// CPUID leaf `leaf` (subleaf 0), or zeros where the CPU has no such leaf.
Registers cpuid(unsigned leaf) {
  Registers r;
  if (__get_cpuid_max(leaf & 0x80000000u, nullptr) >= leaf) {
    __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
  }
  return r;
}

bool all_of(unsigned bits, unsigned mask) { return (bits & mask) == mask; }

/// The register state the operating system saves on a context switch (XCR0);
/// without it, a CPU's vector registers are not usable.
std::uint64_t saved_state() {
  if (!all_of(cpuid(1).ecx, 1u << 27)) return 0;  // OSXSAVE: XGETBV is not available
  unsigned low = 0, high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

/// x86-64-v3: SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT, CX16, LAHF, AVX, AVX2, BMI1,
/// BMI2, F16C, FMA, LZCNT and MOVBE, with the SSE and AVX state saved.
[[maybe_unused]] bool runs_x86_64_v3() {
  const unsigned leaf1 = cpuid(1).ecx;
  const unsigned leaf7 = cpuid(7).ebx;
  const unsigned extended = cpuid(0x80000001u).ecx;
  const unsigned sse3 = 1u << 0, ssse3 = 1u << 9, fma = 1u << 12, cx16 = 1u << 13,
                 sse41 = 1u << 19, sse42 = 1u << 20, movbe = 1u << 22, popcnt = 1u << 23,
                 avx = 1u << 28, f16c = 1u << 29;
  const unsigned bmi1 = 1u << 3, avx2 = 1u << 5, bmi2 = 1u << 8;
  const unsigned lahf = 1u << 0, lzcnt = 1u << 5;
  return all_of(leaf1, sse3 | ssse3 | fma | cx16 | sse41 | sse42 | movbe | popcnt | avx | f16c) &&
         all_of(leaf7, bmi1 | avx2 | bmi2) && all_of(extended, lahf | lzcnt) &&
         (saved_state() & 0x6) == 0x6;
}

/// x86-64-v4: x86-64-v3 with AVX512F, AVX512BW, AVX512CD, AVX512DQ and
/// AVX512VL, with the opmask and all of the ZMM state saved.
[[maybe_unused]] bool runs_x86_64_v4() {
  const unsigned leaf7 = cpuid(7).ebx;
  const unsigned f = 1u << 16, dq = 1u << 17, cd = 1u << 28, bw = 1u << 30, vl = 1u << 31;
  return runs_x86_64_v3() && all_of(leaf7, f | dq | cd | bw | vl) &&
         (saved_state() & 0xe6) == 0xe6;
}

bool runs_baseline() { return true; }

// Ordered from the most portable to the widest.
constexpr Level kLevels[] = {
    {"baseline", runs_baseline, zorvane_linalg_operations_baseline},
#ifdef ZORVANE_LEVEL_X86_64_V3
    {"x86-64-v3", runs_x86_64_v3, zorvane_linalg_operations_x86_64_v3},
#endif
#ifdef ZORVANE_LEVEL_X86_64_V4
    {"x86-64-v4", runs_x86_64_v4, zorvane_linalg_operations_x86_64_v4},
#endif
};

}  // namespace

Levels compiled_levels() { return Levels{kLevels, sizeof kLevels / sizeof kLevels[0]}; }

/// The operations of `level`, each engine at the level it runs fastest at
/// (operations.h lists those that run the baseline's code everywhere).
Operations operations_of(const Level& level) {
  Operations operations = *level.operations();
  const Operations& baseline = *kLevels[0].operations();
#define ZORVANE_LINALG_FROM_BASELINE(field) operations.field = baseline.field;
  ZORVANE_LINALG_BASELINE_OPERATIONS(ZORVANE_LINALG_FROM_BASELINE)
#undef ZORVANE_LINALG_FROM_BASELINE
  return operations;
}

}  // namespace zorvane::linalg::dispatch
