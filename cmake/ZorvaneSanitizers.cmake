# ZORVANE_SANITIZE: the sanitizers compiled into the build, as a list
# ("address;undefined", "thread"; the fuzzing build adds "fuzzer-no-link").
# A sanitizer's runtime must see the whole program, so the flags go on every
# object and every link of the tree, the tests included. Any report is fatal.
include_guard(GLOBAL)

set(ZORVANE_SANITIZE "" CACHE STRING "Sanitizers for the whole build, a list (address;undefined, thread)")

set(ZORVANE_SANITIZER_FLAGS "")
if(ZORVANE_SANITIZE)
  list(JOIN ZORVANE_SANITIZE "," _zorvane_sanitizers)
  set(ZORVANE_SANITIZER_FLAGS
    "-fsanitize=${_zorvane_sanitizers}" -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${ZORVANE_SANITIZER_FLAGS})
  add_link_options(${ZORVANE_SANITIZER_FLAGS})
  # Clang's AddressSanitizer finds an object's globals through a section of
  # their own, which the partial link of each instruction-set level merges
  # across objects; registered from a table in each object instead, they
  # survive it.
  if("address" IN_LIST ZORVANE_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_compile_options(-fno-sanitize-address-globals-dead-stripping)
  endif()
  message(STATUS "zorvane: sanitizers ${_zorvane_sanitizers}")
endif()
