# Text tables (neutral) and the scan context with its report controls (Win32).
#
# Each language's unit is UTF-8 source compiled with that language's code page
# as the execution character set, so its literals are stored as code-page
# bytes. GCC (MinGW) does this itself; Clang knows no execution character set
# but UTF-8, so in a Clang build the host g++ compiles those units to objects
# that join the library.
set(QX_TEXT_UNITS chs:CP936 cht:CP950 jpn:CP932)
set(QX_TEXT_SOURCES texts.cpp texts_eng.cpp)

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  foreach(unit ${QX_TEXT_UNITS})
    string(REPLACE ":" ";" unit ${unit})
    list(GET unit 0 suffix)
    list(GET unit 1 charset)
    list(APPEND QX_TEXT_SOURCES texts_${suffix}.cpp)
    set_source_files_properties(texts_${suffix}.cpp PROPERTIES COMPILE_OPTIONS -fexec-charset=${charset})
  endforeach()
else()
  find_program(QX_HOST_GXX NAMES g++ REQUIRED)
  foreach(unit ${QX_TEXT_UNITS})
    string(REPLACE ":" ";" unit ${unit})
    list(GET unit 0 suffix)
    list(GET unit 1 charset)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/texts_${suffix}.o)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${QX_HOST_GXX} -std=c++17 -O1 -fPIC -Wall -Wextra -Werror -fexec-charset=${charset}
              -I${CMAKE_SOURCE_DIR} -MD -MF ${object}.d
              -c ${CMAKE_CURRENT_SOURCE_DIR}/texts_${suffix}.cpp -o ${object}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/texts_${suffix}.cpp
      DEPFILE ${object}.d
      COMMENT "Compiling texts_${suffix}.cpp for code page ${charset}"
      VERBATIM)
    list(APPEND QX_TEXT_SOURCES ${object})
  endforeach()
endif()

add_library(ui_texts STATIC ${QX_TEXT_SOURCES})

if(QX_WIN32)
  qx_add_test(ui_texts_test SOURCES tests/texts_test.cpp tests/decode_win32.cpp LIBS ui_texts)
else()
  qx_add_test(ui_texts_test SOURCES tests/texts_test.cpp tests/decode_posix.cpp LIBS ui_texts)
endif()

if(QX_WIN32)
  add_library(ui_report STATIC scan_context_win32.cpp language_win32.cpp)
  target_link_libraries(ui_report PUBLIC ui_texts comctl32)

  qx_add_test(ui_scan_context_test WIN32_ONLY SOURCES tests/scan_context_win32_test.cpp LIBS ui_report
              TIMEOUT 120)

  # The language choice under Wine started with different locales.
  qx_add_wine_test(ui_language_choice_test SOURCES tests/language_probe_win32.cpp LIBS ui_report NO_GTEST
                   DRIVER tests/language_choice_test.sh)
endif()
