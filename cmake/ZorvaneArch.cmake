# ZORVANE_ARCH: the instruction set the library is compiled for.
#   baseline  the portable x86-64 instruction set (SSE2): runs on every x86-64 CPU
#   v3        -march=x86-64-v3 (AVX2, FMA, BMI2; Haswell and Zen 1 or newer)
#   native    -march=native: whatever the building CPU has; the build runs only there
#   auto      v3 when both the compiler and the building CPU support it, else baseline
# The flags stay inside the library. Eigen's alignment differs with them (16
# bytes under SSE2, 32 under AVX, 64 under AVX-512), but no Eigen object
# crosses the library boundary: the API takes and returns tensors, and the
# library binds its calls to the inline helpers of detail.h to its own copies
# (-Bsymbolic-functions), so a caller's copies, built with the caller's flags,
# only ever meet the caller's matrices.
include_guard(GLOBAL)
include(CheckCXXCompilerFlag)

set(ZORVANE_ARCH "baseline" CACHE STRING "Instruction set: baseline, v3, native or auto")
set_property(CACHE ZORVANE_ARCH PROPERTY STRINGS baseline v3 native auto)

# True when the CPU running CMake executes x86-64-v3 code; false when
# cross-compiling, since the build machine then says nothing about the target.
function(_zorvane_cpu_runs_v3 result)
  set(${result} FALSE PARENT_SCOPE)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/zorvane_cpu_v3.cpp")
  file(WRITE "${probe}"
    "int main() { __builtin_cpu_init(); return __builtin_cpu_supports(\"x86-64-v3\") ? 0 : 1; }\n")
  try_run(run_code compile_ok "${CMAKE_BINARY_DIR}/CMakeFiles/zorvane_cpu_v3" "${probe}")
  if(compile_ok AND run_code EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

function(_zorvane_resolve_arch out_flags out_name)
  set(arch "${ZORVANE_ARCH}")
  if(arch STREQUAL "auto")
    check_cxx_compiler_flag("-march=x86-64-v3" ZORVANE_COMPILER_HAS_V3)
    _zorvane_cpu_runs_v3(cpu_v3)
    if(ZORVANE_COMPILER_HAS_V3 AND cpu_v3)
      set(arch v3)
    else()
      set(arch baseline)
    endif()
  endif()
  if(arch STREQUAL "baseline")
    set(flags "")
  elseif(arch STREQUAL "v3")
    set(flags "-march=x86-64-v3")
  elseif(arch STREQUAL "native")
    set(flags "-march=native")
  else()
    message(FATAL_ERROR "ZORVANE_ARCH=${ZORVANE_ARCH}: expected baseline, v3, native or auto")
  endif()
  set(${out_flags} "${flags}" PARENT_SCOPE)
  set(${out_name} "${arch}" PARENT_SCOPE)
endfunction()

_zorvane_resolve_arch(ZORVANE_ARCH_FLAGS _zorvane_arch)
# Kept in the cache so that tools (the benchmarks) can tell what a build tree was built for.
set(ZORVANE_ARCH_RESOLVED "${_zorvane_arch}" CACHE INTERNAL "the instruction set ZORVANE_ARCH chose")
message(STATUS "zorvane: ZORVANE_ARCH=${ZORVANE_ARCH} -> ${ZORVANE_ARCH_RESOLVED} ${ZORVANE_ARCH_FLAGS}")

# Compiles `target` (and nothing that links it) for the chosen instruction set.
function(zorvane_apply_arch target)
  if(ZORVANE_ARCH_FLAGS)
    target_compile_options(${target} PRIVATE ${ZORVANE_ARCH_FLAGS})
  endif()
endfunction()
