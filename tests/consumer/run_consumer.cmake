# Installs the build tree's C++ package into a scratch prefix, then
# configures, builds and runs the consumer project against that prefix alone.
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${prefix}" "${WORK_DIR}/build")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --component cpp --prefix "${prefix}")
# The consumer is built with this tree's generator, build program and
# compiler, never with whatever else is on PATH.
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/consumer" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_PREFIX_PATH=${prefix};${PREFIX_PATH}" "-DEigen3_DIR=${Eigen3_DIR}"
    # A sanitized library needs a consumer built with the same runtime.
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/consumer")
