# Eigen 3.4.1 or newer: 3.4.0 fails to converge on some valid non-symmetric
# inputs. PyPI's cmeel-eigen ships it with a CMake package; when it is not on
# CMAKE_PREFIX_PATH we ask the Python environment where cmeel put it (the
# presets name the project's virtual environment in Python_EXECUTABLE).
find_package(Eigen3 3.4.1 NO_MODULE QUIET)
if(NOT Eigen3_FOUND)
  find_package(Python COMPONENTS Interpreter QUIET)
  if(Python_Interpreter_FOUND)
    execute_process(COMMAND "${Python_EXECUTABLE}" -m cmeel cmake
      OUTPUT_VARIABLE _zorvane_cmeel_prefix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_zorvane_cmeel_prefix)
      list(APPEND CMAKE_PREFIX_PATH "${_zorvane_cmeel_prefix}")
    endif()
  endif()
  find_package(Eigen3 REQUIRED NO_MODULE)
endif()
if(Eigen3_VERSION VERSION_LESS 3.4.1)
  message(FATAL_ERROR "Eigen ${Eigen3_VERSION} found at ${Eigen3_DIR}; 3.4.1 or newer is required "
                      "(pip install cmeel-eigen==3.4.1 and pass its prefix in CMAKE_PREFIX_PATH)")
endif()

find_package(glog REQUIRED)

# Keeps a library that is linked on purpose but not called in DT_NEEDED even
# where the toolchain links --as-needed by default.
set(CMAKE_LINK_LIBRARY_USING_zorvane_no_as_needed
    "LINKER:--push-state,--no-as-needed" "<LINK_ITEM>" "LINKER:--pop-state")
set(CMAKE_LINK_LIBRARY_USING_zorvane_no_as_needed_SUPPORTED TRUE)
