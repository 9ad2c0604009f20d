# The shared library carries its soname, exports exactly zorvane's API and the
# shared helpers of detail.h (no Eigen, glog or standard-library instantiation,
# no lambda, no internal helper), and binds its own calls to those helpers to
# its own copies.
execute_process(COMMAND readelf -d "${LIBRARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
if(NOT dynamic MATCHES "Library soname: \\[libzorvane_linalg_cpu\\.so\\.0\\]")
  message(FATAL_ERROR "soname is not libzorvane_linalg_cpu.so.0:\n${dynamic}")
endif()

# Every operation of the table, by its function: the third argument of each
# X(result, field, function, ...) of the list in src/linalg/operations.h.
# instruction_set and the inline helpers of detail.h are exported beside it.
file(READ "${OPERATIONS}" header)
string(REGEX MATCH "#define ZORVANE_LINALG_OPERATIONS\\(X\\)([^\n]*\\\\\n)+[^\n]*" list "${header}")
string(REGEX MATCHALL "[ \t]X\\([^,]+, *[a-z0-9_]+, *[a-z0-9_:]+," entries "${list}")
if(NOT entries)
  message(FATAL_ERROR "no operations read from ${OPERATIONS}")
endif()
set(expected zorvane::linalg::instruction_set)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*, *([a-z0-9_:]+),$" "zorvane::\\1" function "${entry}")
  list(APPEND expected "${function}")
endforeach()
foreach(helper require_2d_f64_cpu require_square_f64_cpu gather_matrix scatter_matrix)
  list(APPEND expected "zorvane::linalg::detail::${helper}")
endforeach()

execute_process(COMMAND nm -D --defined-only -C "${LIBRARY}" OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "address type name(parameters)": the name runs from the third field to "(".
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "\\(.*" "" function "${name}")
  if(NOT function IN_LIST expected)
    message(FATAL_ERROR "exports more than the API: ${name}")
  endif()
  list(APPEND exported "${function}")
endforeach()
foreach(function IN LISTS expected)
  if(NOT function IN_LIST exported)
    message(FATAL_ERROR "does not export ${function}")
  endif()
endforeach()

# A dynamic relocation against one of its own zorvane::linalg symbols would let
# a caller's copy of an inline helper, built with other flags, stand in for
# the library's.
execute_process(COMMAND readelf -rW "${LIBRARY}" OUTPUT_VARIABLE relocations
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf -r failed on ${LIBRARY}")
endif()
string(REGEX MATCH "_ZN7zorvane6linalg[A-Za-z0-9_]*" relocated "${relocations}")
if(relocated)
  message(FATAL_ERROR "a call into the library resolves at run time: ${relocated}")
endif()
list(LENGTH exported count)
message(STATUS "${count} zorvane::linalg symbols exported, all bound locally")
