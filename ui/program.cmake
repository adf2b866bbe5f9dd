# The dialog program QuellixRemover.exe: entry point, main dialog, About box
# and resources (Win32 only), and its tests.
if(NOT QX_WIN32)
  return()
endif()

# The dialog code alone, so that test programs can host the real dialogs.
add_library(ui_program STATIC main_window_win32.cpp about_box_win32.cpp)
target_link_libraries(ui_program PUBLIC ui_report ui_texts comctl32 shell32 gdi32 user32)

set(QX_ART ${CMAKE_CURRENT_SOURCE_DIR}/art/banner.bmp ${CMAKE_CURRENT_SOURCE_DIR}/art/program.ico
           ${CMAKE_CURRENT_SOURCE_DIR}/art/small.ico ${CMAKE_CURRENT_SOURCE_DIR}/art/about.ico)
# The dialog's application manifest, for the build's processor, under
# build/.../qx-manifests/ui/ (the .rc file names it "ui/..."); the console
# program's is made the same way in cli/.
configure_file(program_win32.manifest.in ${QX_MANIFEST_DIR}/ui/program_win32.manifest @ONLY)
# For every program here that compiles one of the .rc files (test programs too).
include_directories(${QX_MANIFEST_DIR})

set_source_files_properties(resources_win32.rc PROPERTIES
  OBJECT_DEPENDS "${QX_ART};${CMAKE_CURRENT_SOURCE_DIR}/resource_ids.h;${QX_MANIFEST_DIR}/ui/program_win32.manifest")

add_executable(QuellixRemover WIN32 app_main_win32.cpp resources_win32.rc)
target_link_libraries(QuellixRemover PRIVATE ui_program scan sys)

include(${CMAKE_CURRENT_SOURCE_DIR}/tests/program_tests.cmake)

# Drives the running program for the demo without a display and for the
# screenshots (ui/demo/).
add_executable(ui_demo_driver demo/demo_driver_win32.cpp)
target_link_libraries(ui_demo_driver PRIVATE comctl32)
target_link_options(ui_demo_driver PRIVATE -mconsole)
