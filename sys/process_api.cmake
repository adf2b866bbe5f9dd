# Process API table (Win32): the memory pass's run-time bound toolhelp and
# NTDll entry points.
if(QX_WIN32)
  add_library(sys_process STATIC ${CMAKE_CURRENT_LIST_DIR}/process_api_win32.cpp)
  target_link_libraries(sys_process PUBLIC sys)
  qx_add_test(process_api_test WIN32_ONLY SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/process_api_win32_test.cpp LIBS sys_process)
endif()
