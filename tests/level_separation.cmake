# Each instruction-set level's code stays apart from the others, so that no
# level ever runs code compiled for another: every level object exports only
# its table and holds no COMDAT group the final link could share, the
# baseline object holds no VEX- or EVEX-encoded instruction (code that runs
# on every x86-64 CPU), and each wider level does use its own registers (so
# the flags reached it).
#   -DLEVELS_DIR=<build>/levels -DLEVELS=baseline;x86-64-v3;...
function(run output)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

# What marks code of a level: ymm registers (AVX2 and wider), zmm (AVX-512).
set(marker_x86-64-v3 "%ymm")
set(marker_x86-64-v4 "%zmm")

foreach(level IN LISTS LEVELS)
  string(MAKE_C_IDENTIFIER "${level}" id)
  set(object "${LEVELS_DIR}/${id}.o")

  run(globals nm -g --defined-only "${object}")
  string(STRIP "${globals}" globals)
  if(NOT globals MATCHES "^[0-9a-f]+ T zorvane_linalg_operations_${id}$")
    message(FATAL_ERROR "the ${level} level exports more than its table:\n${globals}")
  endif()

  run(groups readelf -g "${object}")
  if(NOT groups MATCHES "There are no section groups")
    message(FATAL_ERROR "the ${level} level keeps COMDAT groups the final link could share")
  endif()

  run(code objdump -d --no-show-raw-insn "${object}")
  if(level STREQUAL "baseline")
    # A VEX or EVEX instruction is spelt with a leading v (vmovapd, vfmadd...)
    # or names a ymm or zmm register.
    string(REGEX MATCH "\t(v[a-z0-9]+ [^\n]*|[^\n]*%[yz]mm[0-9]+[^\n]*)" wide "${code}")
    if(wide)
      message(FATAL_ERROR "the baseline level holds an instruction beyond SSE2: ${wide}")
    endif()
  elseif(NOT code MATCHES "${marker_${level}}")
    message(FATAL_ERROR "the ${level} level holds none of its own instructions")
  endif()
endforeach()
list(LENGTH LEVELS count)
message(STATUS "${count} levels apart; the baseline is plain x86-64")
