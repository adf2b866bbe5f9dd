# Tests of the dialog program, included by ui/program.cmake. Its import table
# is checked with every shipped program's (tests/CMakeLists.txt).

# Resources read back from the built program.
qx_add_test(ui_program_resources_test WIN32_ONLY SOURCES tests/program_resources_win32_test.cpp LIBS version TIMEOUT 120)
add_dependencies(ui_program_resources_test QuellixRemover)

# The live dialogs, hosted with the real WinMain and a real scan, in a Wine
# prefix of their own under an X server of their own.
add_executable(ui_url_recorder WIN32 tests/url_recorder_win32.cpp)
qx_add_wine_test(ui_program_dialog_test
                 SOURCES tests/program_dialog_win32_test.cpp app_main_win32.cpp resources_win32.rc
                 LIBS ui_program scan sys engine_forge qx_test_support
                 DEPENDS ui_url_recorder DRIVER tests/program_dialog_test.sh
                 ARGS $<TARGET_FILE:ui_url_recorder> ${CMAKE_CURRENT_BINARY_DIR}/program_dialog_test)

# The dialog when its context cannot be allocated or its worker cannot start.
qx_add_test(ui_program_failure_test WIN32_ONLY
            SOURCES tests/program_failure_win32_test.cpp about_box_win32.cpp resources_win32.rc
            LIBS ui_report ui_texts scan sys comctl32 shell32 TIMEOUT 120)
