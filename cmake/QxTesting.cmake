# Test registration for every configuration.
#
# A Windows build's tests run under the Wine loader of the build's own word
# size: QX_WINE_ARCH (win32 for i686, win64 for x86_64) goes to every Wine
# test in its environment, and cmake/wine-env reads it; no script picks an
# architecture of its own. Which build a machine tests is cmake/wine-env's
# choice too (scripts/test).
if(QX_WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QX_WINE_ARCH win64)
  else()
    set(QX_WINE_ARCH win32)
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run)
endif()

# qx_add_wine_test(NAME [SOURCES ...] [LIBS ...] [PROGRAM target] [NO_GTEST]
#                  [DRIVER script] [ARGS ...] [DEPENDS target ...]
#                  [TIMEOUT seconds] [LABELS ...])
# One test under Wine (Windows configuration only). The test program is NAME,
# a console program built from SOURCES with LIBS and GoogleTest's main
# (NO_GTEST: without GoogleTest), or an existing target given as PROGRAM.
# Without DRIVER, CTest runs the program through cmake/wine-run; with it,
# CTest runs `bash DRIVER PROGRAM_FILE ARGS...`, the driver setting up the
# prefix. DEPENDS are built before the program (helpers the test starts).
function(qx_add_wine_test name)
  cmake_parse_arguments(T "NO_GTEST" "PROGRAM;DRIVER;TIMEOUT" "SOURCES;LIBS;ARGS;DEPENDS;LABELS" ${ARGN})
  if(NOT QX_WIN32)
    message(FATAL_ERROR "qx_add_wine_test(${name}) in a configuration that is not Windows")
  endif()
  if(T_PROGRAM)
    set(program ${T_PROGRAM})
  else()
    set(program ${name})
    add_executable(${program} ${T_SOURCES})
    target_link_libraries(${program} PRIVATE ${T_LIBS})
    if(NOT T_NO_GTEST)
      target_link_libraries(${program} PRIVATE gtest gtest_main)
    endif()
    # Console test programs; keep them free of any DLL beside them.
    target_link_options(${program} PRIVATE -mconsole)
  endif()
  if(T_DEPENDS)
    add_dependencies(${program} ${T_DEPENDS})
  endif()
  if(T_DRIVER)
    add_test(NAME ${name} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/${T_DRIVER} $<TARGET_FILE:${program}> ${T_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${program} ${T_ARGS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT QX_WINE_ARCH=${QX_WINE_ARCH})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# qx_add_test(NAME SOURCES ... [LIBS ...] [WIN32_ONLY] [TIMEOUT s] [LABELS ...])
# One GoogleTest program. Platform-neutral tests build in both configurations
# (natively under the sanitizers, and for Windows under Wine); WIN32_ONLY
# tests build only in the Windows configuration.
function(qx_add_test name)
  cmake_parse_arguments(T "WIN32_ONLY" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(QX_WIN32)
    qx_add_wine_test(${name} SOURCES ${T_SOURCES} LIBS ${T_LIBS} TIMEOUT ${T_TIMEOUT} LABELS ${T_LABELS})
    return()
  endif()
  if(T_WIN32_ONLY)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# qx_add_fuzz(NAME CORPUS dir SOURCES ... [LIBS ...] [MAX_LEN n])
# A libFuzzer program (native Clang builds only) and two tests: the saved
# corpus run once, then 20 s of fuzzing whose new inputs stay in the build
# tree (the saved corpus only seeds it).
function(qx_add_fuzz name)
  cmake_parse_arguments(F "" "CORPUS;MAX_LEN" "SOURCES;LIBS" ${ARGN})
  if(QX_WIN32 OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-work)
  file(MAKE_DIRECTORY ${work})
  set(limits -timeout=10 -rss_limit_mb=2048)
  if(F_MAX_LEN)
    list(APPEND limits -max_len=${F_MAX_LEN})
  endif()
  add_test(NAME ${name}_corpus COMMAND ${name} -runs=0 ${F_CORPUS})
  add_test(NAME ${name}_timed COMMAND ${name} -max_total_time=20 ${limits} ${work} ${F_CORPUS})
  set_tests_properties(${name}_corpus ${name}_timed PROPERTIES TIMEOUT 120)
endfunction()
