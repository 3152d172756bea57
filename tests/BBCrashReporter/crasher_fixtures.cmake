# The program the crash tests start: it enables the crash reporter and
# crashes in the way its arguments name.
if(TARGET bbcrash_tests)
  # A library that starts threads of its own, for the crasher to use.
  add_library(bbcrash_thread_library SHARED "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/crasher/bbcrash_thread_library.cc")
  add_executable(bbcrash_crasher "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/crasher/bbcrash_crasher.cc")
  target_link_libraries(bbcrash_crasher PRIVATE bbcrash_internals platform_dyld bbcrash_thread_library ${CMAKE_DL_LIBS})
  add_dependencies(bbcrash_tests bbcrash_crasher)
  target_compile_definitions(bbcrash_tests PRIVATE PLOTWICK_CRASHER="$<TARGET_FILE:bbcrash_crasher>")
endif()
