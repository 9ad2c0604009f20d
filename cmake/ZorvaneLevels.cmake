# ZORVANE_CPU_LEVELS: the instruction-set levels compiled into the library,
# of which it runs the widest the CPU supports (or the one the environment
# variable ZORVANE_CPU_LEVEL names):
#   baseline   the portable x86-64 instruction set (SSE2): runs on every x86-64 CPU
#   x86-64-v3  AVX2, FMA, BMI2 (Haswell, Zen 1 and newer)
#   x86-64-v4  AVX-512 F, BW, CD, DQ, VL (Skylake-SP, Zen 4 and newer)
# Each level's objects are compiled with its flags and linked apart into one
# relocatable object whose only global symbol is the level's table of
# operations: Eigen's template instances, named alike at every level, stay
# local to their level, so no level ever runs another level's code.
include_guard(GLOBAL)
include(CheckCXXCompilerFlag)

set(ZORVANE_CPU_LEVELS "baseline;x86-64-v3;x86-64-v4" CACHE STRING
    "Instruction-set levels compiled into the library (baseline always)")

# The flags of each level. The baseline names the portable instruction set
# outright, so that no -march among the caller's flags reaches it.
set(_zorvane_flags_baseline -march=x86-64 -mtune=generic)
set(_zorvane_flags_x86-64-v3 -march=x86-64-v3 -mtune=generic)
set(_zorvane_flags_x86-64-v4 -march=x86-64-v4 -mtune=generic)
# GCC 12 warns falsely of uninitialised variables inside its own AVX-512
# headers as Eigen uses them; the warning says nothing about our code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND _zorvane_flags_x86-64-v4 -Wno-maybe-uninitialized)
endif()

if(NOT "baseline" IN_LIST ZORVANE_CPU_LEVELS)
  message(FATAL_ERROR "ZORVANE_CPU_LEVELS=${ZORVANE_CPU_LEVELS} must include baseline")
endif()
foreach(_zorvane_level IN LISTS ZORVANE_CPU_LEVELS)
  if(NOT DEFINED _zorvane_flags_${_zorvane_level})
    message(FATAL_ERROR "ZORVANE_CPU_LEVELS: unknown level ${_zorvane_level} "
                        "(expected baseline, x86-64-v3, x86-64-v4)")
  endif()
endforeach()
message(STATUS "zorvane: instruction-set levels ${ZORVANE_CPU_LEVELS}")

# Every level rounds the same way wherever its code runs: with contraction,
# the compiler may fuse a multiply and an add in one copy of the code and not
# in another (a loop it unswitches for one layout of the input, say), and a
# slice of a batch would then differ from the same matrix alone. Eigen's own
# fused multiply-adds, which it writes out, stay.
set(_zorvane_level_common_flags -ffp-contract=off)

# GCC emits the static locals of inline functions as unique global symbols,
# which the dynamic linker would merge across levels; as plain weak symbols
# they are localised with the rest.
check_cxx_compiler_flag(-fno-gnu-unique ZORVANE_HAS_NO_GNU_UNIQUE)

# Compiles `sources` once per level as object libraries that link `links`
# for their usage requirements, links each level's objects into one
# relocatable object, levels/<id>.o, and adds those objects to `target`
# (see zorvane_use_levels).
function(zorvane_add_levels target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LINKS")
  set(level_objects "")
  foreach(level IN LISTS ZORVANE_CPU_LEVELS)
    string(MAKE_C_IDENTIFIER "${level}" id)
    set(objects ${target}_${id})
    set(table zorvane_linalg_operations_${id})
    add_library(${objects} OBJECT ${arg_SOURCES})
    target_link_libraries(${objects} PRIVATE ${arg_LINKS})
    target_compile_options(${objects} PRIVATE ${_zorvane_flags_${level}}
                           ${_zorvane_level_common_flags}
                           $<$<BOOL:${ZORVANE_HAS_NO_GNU_UNIQUE}>:-fno-gnu-unique>)
    target_compile_definitions(${objects} PRIVATE ZORVANE_LEVEL_OPERATIONS=${table})
    set_target_properties(${objects} PROPERTIES
      POSITION_INDEPENDENT_CODE ON
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
    # Dissolving the COMDAT groups keeps the final link from keeping one
    # copy of an instance for all levels; localising keeps it from binding
    # one level's calls to another's.
    set(linked "${CMAKE_CURRENT_BINARY_DIR}/levels/${id}.o")
    add_custom_command(OUTPUT "${linked}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/levels"
      COMMAND "${CMAKE_LINKER}" -r --force-group-allocation -o "${linked}.all"
              "$<TARGET_OBJECTS:${objects}>"
      COMMAND "${CMAKE_OBJCOPY}" --keep-global-symbol=${table} "${linked}.all" "${linked}"
      # The object library by name as well as its files: Ninja tracks files
      # across targets, but Makefile generators only order targets, and
      # without the target dependency find no rule for another's objects.
      DEPENDS ${objects} "$<TARGET_OBJECTS:${objects}>"
      COMMAND_EXPAND_LISTS VERBATIM
      COMMENT "Linking the ${level} level apart")
    set_source_files_properties("${linked}" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    list(APPEND level_objects "${linked}")
  endforeach()
  # One target runs the partial links, so that every target built from the
  # levels (the library, the tests' copy) waits for them and none runs a
  # link of its own beside another.
  add_custom_target(${target}_levels DEPENDS ${level_objects})
  set_target_properties(${target}_levels PROPERTIES ZORVANE_LEVEL_OBJECTS "${level_objects}")
  zorvane_use_levels(${target} ${target})
endfunction()

# Adds the levels that zorvane_add_levels made for `library` to `target`:
# their objects, ZORVANE_LEVEL_<ID> for each level, and the baseline's flags
# for the target's own sources, which run before any level is chosen.
function(zorvane_use_levels target library)
  get_target_property(level_objects ${library}_levels ZORVANE_LEVEL_OBJECTS)
  target_sources(${target} PRIVATE ${level_objects})
  add_dependencies(${target} ${library}_levels)
  foreach(level IN LISTS ZORVANE_CPU_LEVELS)
    string(MAKE_C_IDENTIFIER "${level}" id)
    string(TOUPPER "${id}" upper)
    target_compile_definitions(${target} PRIVATE ZORVANE_LEVEL_${upper})
  endforeach()
  target_compile_options(${target} PRIVATE ${_zorvane_flags_baseline})
endfunction()

# Compiles `target` (and nothing that links it) for x86-64-v3 when both the
# compiler and the CPU running CMake support it: a program built for another
# instruction set than the library's levels.
function(zorvane_compile_for_this_cpu target)
  check_cxx_compiler_flag("-march=x86-64-v3" ZORVANE_COMPILER_HAS_V3)
  if(NOT ZORVANE_COMPILER_HAS_V3 OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/zorvane_cpu_v3.cpp")
  file(WRITE "${probe}"
    "int main() { __builtin_cpu_init(); return __builtin_cpu_supports(\"avx2\") && "
    "__builtin_cpu_supports(\"fma\") ? 0 : 1; }\n")
  try_run(run_code compile_ok "${CMAKE_BINARY_DIR}/CMakeFiles/zorvane_cpu_v3" "${probe}")
  if(compile_ok AND run_code EQUAL 0)
    target_compile_options(${target} PRIVATE -march=x86-64-v3)
  endif()
endfunction()
