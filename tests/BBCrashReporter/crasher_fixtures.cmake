# The program the crash tests start: it enables the crash reporter and
# crashes in the way its arguments name.
if(TARGET bbcrash_tests)
  add_executable(bbcrash_crasher "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/crasher/bbcrash_crasher.cc")
  target_link_libraries(bbcrash_crasher PRIVATE bbcrash ${CMAKE_DL_LIBS})
  add_dependencies(bbcrash_tests bbcrash_crasher)
  target_compile_definitions(bbcrash_tests PRIVATE PLOTWICK_CRASHER="$<TARGET_FILE:bbcrash_crasher>")
endif()
