# The console scanners' command line and words (neutral), the Linux scanner
# quellix-scan (POSIX) and the live system's quellix-scan.exe (Win32).
set(QX_SCAN_VERSION 1.0.0 CACHE INTERNAL "Version of quellix-scan")
add_library(ui_scan_cli STATIC scan_cli.cpp scan_cli_output.cpp)
target_link_libraries(ui_scan_cli PUBLIC scan_core remedy_core)
target_compile_definitions(ui_scan_cli PRIVATE QX_SCAN_VERSION="${QX_SCAN_VERSION}")
qx_add_test(ui_scan_cli_test SOURCES tests/scan_cli_test.cpp tests/scan_cli_output_test.cpp LIBS ui_scan_cli)

if(NOT QX_WIN32)
  add_executable(quellix-scan quellix_scan_posix.cpp)
  target_link_libraries(quellix-scan PRIVATE ui_scan_cli scan_core engine_posix walker_posix remedy_posix)
  # End to end: the program on planted volumes.
  qx_add_test(quellix_scan_test SOURCES tests/quellix_scan_posix_test.cpp LIBS engine_forge remedy_hive_testing)
  target_compile_definitions(quellix_scan_test PRIVATE QX_SCAN_PROGRAM="$<TARGET_FILE:quellix-scan>")
  add_dependencies(quellix_scan_test quellix-scan)

  # The man page is the program's own --help, made by help2man.
  set(man ${CMAKE_CURRENT_BINARY_DIR}/quellix-scan.1)
  add_custom_command(OUTPUT ${man}.gz
    COMMAND help2man --no-info --section=1
            "--name=find and remove the Quellix worm on a mounted Windows volume"
            --output=${man} $<TARGET_FILE:quellix-scan>
    COMMAND gzip -9nf ${man}
    DEPENDS quellix-scan VERBATIM)
  add_custom_target(quellix-scan-man ALL DEPENDS ${man}.gz)
  install(TARGETS quellix-scan RUNTIME DESTINATION bin)
  install(FILES ${man}.gz DESTINATION share/man/man1)

  # `cpack -G DEB` in the build folder: quellix-scan_<version>_<arch>.deb.
  add_test(NAME quellix_scan_package_test
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/package_test.sh ${CMAKE_BINARY_DIR} ${QX_SCAN_VERSION})
  set_tests_properties(quellix_scan_package_test PROPERTIES TIMEOUT 300)
endif()

if(QX_WIN32)
  # The console scanner of the live system: the dialog's passes, the Linux
  # scanner's command line. A console program of subsystem 4.0 like the dialog.
  add_executable(quellix-scan quellix_scan_win32.cpp language_win32.cpp quellix_scan_win32.rc)
  target_link_libraries(quellix-scan PRIVATE ui_scan_cli ui_texts scan sys)
  # Its manifest is made with the dialog's (program.cmake).
  set_source_files_properties(quellix_scan_win32.rc PROPERTIES
    OBJECT_DEPENDS ${QX_MANIFEST_DIR}/ui/quellix_scan_win32.manifest)
  target_link_options(quellix-scan PRIVATE -mconsole)

  # End to end under Wine in a prefix of its own whose D: and E: are test
  # folders: every action, the Run values, the restore file, the quarantine
  # round trip, the exit statuses and Ctrl+C.
  qx_add_wine_test(quellix_scan_exe_test SOURCES tests/quellix_scan_win32_test.cpp
                   LIBS scan_test_harness
                   DEPENDS quellix-scan scan_sleeper scan_file_holder forge-specimen
                   DRIVER tests/quellix_scan_win32_test.sh ARGS ${CMAKE_CURRENT_BINARY_DIR}/quellix-scan-drives
                   TIMEOUT 600)
endif()
