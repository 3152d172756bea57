# Real Mach-O images for the crash engine's reader tests, built with the
# LLVM 14 tools (no SDK: no libSystem, undefined symbols left to the loader),
# plus a ThreadSanitizer build of the lock-free list test.
find_program(PLOTWICK_CLANG14 NAMES clang-14)
find_program(PLOTWICK_LD64 NAMES ld64.lld-14 ld64.lld PATHS /usr/lib/llvm-14/bin)
find_program(PLOTWICK_OBJDUMP NAMES llvm-objdump-14 llvm-objdump PATHS /usr/lib/llvm-14/bin)
find_program(PLOTWICK_NM NAMES llvm-nm-14 llvm-nm PATHS /usr/lib/llvm-14/bin)

if(TARGET bbcrash_tests)
  set(_fx_src "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/fixtures")
  set(_fx_out "${CMAKE_CURRENT_BINARY_DIR}/BBCrashReporter/fixtures")
  set(_fx_outputs)
  if(PLOTWICK_CLANG14 AND PLOTWICK_LD64 AND PLOTWICK_OBJDUMP AND PLOTWICK_NM)
    set(_fx_cflags -fno-stack-protector -O1)
    foreach(arch x86_64 arm64)
      set(_target ${arch}-apple-macos11)
      set(_objs)
      foreach(src fixture_functions.c fixture_objc.m fixture_main.c)
        get_filename_component(_stem ${src} NAME_WE)
        set(_obj "${_fx_out}/${_stem}-${arch}.o")
        set(_extra)
        if(src MATCHES "\\.m$")
          set(_extra -fobjc-runtime=macosx)
        endif()
        add_custom_command(OUTPUT "${_obj}"
          COMMAND ${CMAKE_COMMAND} -E make_directory "${_fx_out}"
          COMMAND ${PLOTWICK_CLANG14} -target ${_target} ${_fx_cflags} ${_extra} -c "${_fx_src}/${src}" -o "${_obj}"
          DEPENDS "${_fx_src}/${src}" VERBATIM)
        list(APPEND _objs "${_obj}")
      endforeach()
      list(GET _objs 0 _functions_obj)
      list(GET _objs 1 _objc_obj)
      list(GET _objs 2 _main_obj)
      set(_dylib "${_fx_out}/libfixture-${arch}.dylib")
      set(_exe "${_fx_out}/fixture-${arch}")
      add_custom_command(OUTPUT "${_dylib}"
        COMMAND ${PLOTWICK_LD64} -arch ${arch} -platform_version macos 11.0 11.0 -dylib
                -undefined dynamic_lookup -install_name @rpath/libfixture.dylib
                "${_functions_obj}" "${_objc_obj}" -o "${_dylib}"
        DEPENDS "${_functions_obj}" "${_objc_obj}" VERBATIM)
      add_custom_command(OUTPUT "${_exe}"
        COMMAND ${PLOTWICK_LD64} -arch ${arch} -platform_version macos 11.0 11.0 -execute
                -undefined dynamic_lookup -e _main "${_main_obj}" "${_functions_obj}" -o "${_exe}"
        DEPENDS "${_main_obj}" "${_functions_obj}" VERBATIM)
      list(APPEND _fx_outputs "${_dylib}" "${_exe}")
    endforeach()
    add_custom_target(bbcrash_fixtures DEPENDS ${_fx_outputs})
    add_dependencies(bbcrash_tests bbcrash_fixtures)
    target_compile_definitions(bbcrash_tests PRIVATE
      PLOTWICK_MACHO_FIXTURES=1
      PLOTWICK_FIXTURE_DIR="${_fx_out}"
      PLOTWICK_OBJDUMP="${PLOTWICK_OBJDUMP}"
      PLOTWICK_NM="${PLOTWICK_NM}")
  else()
    message(WARNING "clang-14, ld64.lld-14, llvm-objdump-14 or llvm-nm-14 missing: Mach-O fixture tests are skipped")
    target_compile_definitions(bbcrash_tests PRIVATE PLOTWICK_MACHO_FIXTURES=0)
  endif()

  # The lock-free list under ThreadSanitizer: the list is a header-only
  # template, so its test builds on its own with the sanitizer (not in the
  # AddressSanitizer tree: the two sanitizers cannot be combined, and the
  # list's test runs there instrumented anyway).
  if(NOT PLOTWICK_SANITIZE)
    add_executable(bbcrash_async_list_tsan_tests
      "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/bbcrash_async_listTests.cpp")
    target_include_directories(bbcrash_async_list_tsan_tests PRIVATE "${CMAKE_SOURCE_DIR}/BBCrashReporter/Source")
    target_compile_options(bbcrash_async_list_tsan_tests PRIVATE -fsanitize=thread -O1 -g)
    target_link_options(bbcrash_async_list_tsan_tests PRIVATE -fsanitize=thread)
    target_link_libraries(bbcrash_async_list_tsan_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
    gtest_discover_tests(bbcrash_async_list_tsan_tests TEST_PREFIX "tsan." DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300)
  endif()
endif()
