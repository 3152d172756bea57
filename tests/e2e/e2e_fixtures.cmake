# The end-to-end crash tests: a host program linked with the real libraries,
# launched by the tests as separate processes.
if(TARGET beacon_crashes)
  add_executable(crash_e2e_host "${CMAKE_CURRENT_SOURCE_DIR}/e2e/crash_e2e_host.cc")
  target_link_libraries(crash_e2e_host PRIVATE beacon_crashes_internals beacon_internals)
  plotwick_test_binary(e2e_tests e2e beacon_crashes_internals beacon_internals)
  if(TARGET e2e_tests)
    add_dependencies(e2e_tests crash_e2e_host)
    target_compile_definitions(e2e_tests PRIVATE CRASH_E2E_HOST="$<TARGET_FILE:crash_e2e_host>")
  endif()
endif()
