# The program the process-exit test starts: SDK workers still running while
# exit() runs, linked with the SDK alone, as the application is.
if(TARGET beacon_tests)
  add_executable(bc_process_exit_child "${CMAKE_CURRENT_SOURCE_DIR}/Beacon/exit_child/bc_process_exit_child.cc")
  target_link_libraries(bc_process_exit_child PRIVATE beacon_internals platform_security platform_syslog
  Threads::Threads)
  add_dependencies(beacon_tests bc_process_exit_child)
  target_compile_definitions(beacon_tests PRIVATE PLOTWICK_EXIT_CHILD="$<TARGET_FILE:bc_process_exit_child>")
endif()
