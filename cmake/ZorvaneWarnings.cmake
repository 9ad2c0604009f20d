# Warnings for our own code; Eigen comes in as a system include and stays quiet.
add_library(zorvane_warnings INTERFACE)
target_compile_options(zorvane_warnings INTERFACE -Wall -Wextra -Wpedantic)
