# The console scanners' command line and words (neutral), and the
# Linux scanner quellix-scan (POSIX).
add_library(ui_scan_cli STATIC scan_cli.cpp)
target_link_libraries(ui_scan_cli PUBLIC scan_core remedy_core)
qx_add_test(ui_scan_cli_test SOURCES tests/scan_cli_test.cpp LIBS ui_scan_cli)

if(NOT QX_WIN32)
  add_executable(quellix-scan quellix_scan_posix.cpp)
  target_link_libraries(quellix-scan PRIVATE ui_scan_cli scan_core engine_posix walker_posix remedy_posix)
  # End to end: the program on planted volumes.
  qx_add_test(quellix_scan_test SOURCES tests/quellix_scan_test.cpp LIBS engine_forge remedy_hive_testing)
  target_compile_definitions(quellix_scan_test PRIVATE QX_SCAN_PROGRAM="$<TARGET_FILE:quellix-scan>")
  add_dependencies(quellix_scan_test quellix-scan)
endif()
