# qx_add_test(NAME SOURCES ... [LIBS ...] [WIN32_ONLY] [LABELS ...])
# Builds one GoogleTest program. Platform-neutral tests build in both
# configurations (natively under the sanitizers, and for Windows under Wine);
# WIN32_ONLY tests build only in the Windows configuration. In the Windows
# configuration CTest runs the program through the cross-compiling emulator.
function(qx_add_test name)
  cmake_parse_arguments(T "WIN32_ONLY" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_WIN32_ONLY AND NOT QX_WIN32)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  if(QX_WIN32)
    # Console test programs; keep them free of any DLL beside them.
    target_link_options(${name} PRIVATE -mconsole)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
