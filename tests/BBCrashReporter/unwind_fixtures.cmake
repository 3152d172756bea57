# Images for the stack-walk tests:
# - Mach-O dylibs with thousands of functions (several second-level pages of
#   __unwind_info; frame-based, frameless immediate and frameless indirect
#   encodings) for x86_64 and arm64, checked against llvm-objdump;
# - small x86_64 Mach-O dylibs that the tests map and run (live walks), one
#   of them with __eh_frame only;
# - a helper program walked under gdb;
# - -O2 -fomit-frame-pointer code for the live DWARF walks.
find_program(UNWIND_CLANG14 NAMES clang-14)
find_program(UNWIND_LD64 NAMES ld64.lld-14 ld64.lld PATHS /usr/lib/llvm-14/bin)
find_program(UNWIND_OBJDUMP NAMES llvm-objdump-14 llvm-objdump PATHS /usr/lib/llvm-14/bin)
find_program(UNWIND_NM NAMES llvm-nm-14 llvm-nm PATHS /usr/lib/llvm-14/bin)
find_program(UNWIND_DWARFDUMP NAMES llvm-dwarfdump-14 llvm-dwarfdump PATHS /usr/lib/llvm-14/bin)
find_program(UNWIND_GDB NAMES gdb)

if(TARGET bbcrash_tests)
  set(_uw_src "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/unwind_fixtures")
  set(_uw_out "${CMAKE_CURRENT_BINARY_DIR}/BBCrashReporter/unwind_fixtures")
  file(MAKE_DIRECTORY "${_uw_out}")

  if(UNWIND_CLANG14 AND UNWIND_LD64 AND UNWIND_OBJDUMP AND UNWIND_NM AND UNWIND_DWARFDUMP)
    # Many functions whose neighbours differ in encoding, so that the linker
    # cannot fold them: saved-register sets vary with the index, and every
    # fourth frameless function has a frame too large for the encoding.
    set(_many_fp "${_uw_out}/many_fp.c")
    set(_many_nofp "${_uw_out}/many_nofp.c")
    set(_hdr "typedef long (*cb_t)(long);\n#if defined(__x86_64__)\n#define S0 \"rbx\"\n#define S1 \"rbx\", \"r12\"\n#define S2 \"rbx\", \"r12\", \"r13\"\n#define S3 \"rbx\", \"r12\", \"r13\", \"r14\", \"r15\"\n#else\n#define S0 \"x19\"\n#define S1 \"x19\", \"x20\", \"x21\"\n#define S2 \"x19\", \"x20\", \"x21\", \"x22\", \"x23\"\n#define S3 \"x19\", \"x20\", \"x21\", \"x22\", \"x23\", \"x24\", \"x25\", \"x26\", \"x27\", \"x28\"\n#endif\n")
    set(_fp_body "${_hdr}")
    set(_nofp_body "${_hdr}")
    foreach(i RANGE 0 1499)
      math(EXPR k "${i} % 4")
      string(APPEND _fp_body "long fp_${i}(cb_t cb, long x) { __asm__ volatile(\"\" ::: S${k}); return cb(x + ${i}) + ${i}; }\n")
      if(k EQUAL 3)
        math(EXPR size "2100 + (${i} % 7) * 16")
        string(APPEND _nofp_body "long nofp_${i}(cb_t cb, long x) { volatile char b[${size}]; b[x & 1023] = 1; __asm__ volatile(\"\" ::: S2); return cb(b[(x + ${i}) & 1023]) + ${i}; }\n")
      else()
        string(APPEND _nofp_body "long nofp_${i}(cb_t cb, long x) { __asm__ volatile(\"\" ::: S${k}); return cb(x ^ ${i}) + ${i}; }\n")
      endif()
    endforeach()
    file(CONFIGURE OUTPUT "${_many_fp}" CONTENT "${_fp_body}" @ONLY)
    file(CONFIGURE OUTPUT "${_many_nofp}" CONTENT "${_nofp_body}" @ONLY)

    set(_uw_outputs)
    foreach(arch x86_64 arm64)
      set(_target ${arch}-apple-macos11)
      set(_objs)
      foreach(pair "many_fp;-fno-omit-frame-pointer;${_many_fp}" "many_nofp;-fomit-frame-pointer;${_many_nofp}")
        list(GET pair 0 _stem)
        list(GET pair 1 _flag)
        list(GET pair 2 _source)
        set(_obj "${_uw_out}/${_stem}-${arch}.o")
        add_custom_command(OUTPUT "${_obj}"
          COMMAND ${UNWIND_CLANG14} -target ${_target} -O2 ${_flag} -fno-stack-protector -c "${_source}" -o "${_obj}"
          DEPENDS "${_source}" VERBATIM)
        list(APPEND _objs "${_obj}")
      endforeach()
      set(_dylib "${_uw_out}/libmany-${arch}.dylib")
      add_custom_command(OUTPUT "${_dylib}"
        COMMAND ${UNWIND_LD64} -arch ${arch} -platform_version macos 11.0 11.0 -dylib -undefined dynamic_lookup
                -install_name @rpath/libmany.dylib ${_objs} -o "${_dylib}"
        DEPENDS ${_objs} VERBATIM)
      list(APPEND _uw_outputs "${_dylib}")
    endforeach()

    # The live image: x86_64 only, since the tests run it.
    set(_live_objs)
    foreach(pair "live_fp;-fno-omit-frame-pointer" "live_nofp;-fomit-frame-pointer")
      list(GET pair 0 _stem)
      list(SUBLIST pair 1 -1 _flag)
      set(_obj "${_uw_out}/${_stem}.o")
      add_custom_command(OUTPUT "${_obj}"
        COMMAND ${UNWIND_CLANG14} -target x86_64-apple-macos11 -O2 ${_flag} -fno-stack-protector
                -c "${_uw_src}/${_stem}.c" -o "${_obj}"
        DEPENDS "${_uw_src}/${_stem}.c" VERBATIM)
      list(APPEND _live_objs "${_obj}")
    endforeach()
    set(_live "${_uw_out}/liblive-x86_64.dylib")
    add_custom_command(OUTPUT "${_live}"
      COMMAND ${UNWIND_LD64} -arch x86_64 -platform_version macos 11.0 11.0 -dylib -undefined dynamic_lookup
              -install_name @rpath/liblive.dylib ${_live_objs} -o "${_live}"
      DEPENDS ${_live_objs} VERBATIM)
    list(APPEND _uw_outputs "${_live}")

    # An image with __eh_frame and no __unwind_info: the cursor falls back
    # from the compact reader to the DWARF reader.
    set(_dwarf_obj "${_uw_out}/dwarf_only.o")
    set(_dwarf_dylib "${_uw_out}/libdwarfonly-x86_64.dylib")
    add_custom_command(OUTPUT "${_dwarf_dylib}"
      COMMAND ${UNWIND_CLANG14} -target x86_64-apple-macos11 -c "${_uw_src}/dwarf_only.s" -o "${_dwarf_obj}"
      COMMAND ${UNWIND_LD64} -arch x86_64 -platform_version macos 11.0 11.0 -dylib -undefined dynamic_lookup
              -install_name @rpath/libdwarfonly.dylib "${_dwarf_obj}" -o "${_dwarf_dylib}"
      DEPENDS "${_uw_src}/dwarf_only.s" VERBATIM)
    list(APPEND _uw_outputs "${_dwarf_dylib}")

    add_custom_target(bbcrash_unwind_fixtures DEPENDS ${_uw_outputs})
    add_dependencies(bbcrash_tests bbcrash_unwind_fixtures)
    target_compile_definitions(bbcrash_tests PRIVATE
      PLOTWICK_UNWIND_FIXTURES=1
      PLOTWICK_UNWIND_FIXTURE_DIR="${_uw_out}"
      PLOTWICK_UNWIND_OBJDUMP="${UNWIND_OBJDUMP}"
      PLOTWICK_UNWIND_NM="${UNWIND_NM}"
      PLOTWICK_UNWIND_DWARFDUMP="${UNWIND_DWARFDUMP}")
  else()
    message(WARNING "clang-14, ld64.lld-14, llvm-objdump-14, llvm-nm-14 or llvm-dwarfdump-14 missing: stack-walk fixture tests are skipped")
    target_compile_definitions(bbcrash_tests PRIVATE PLOTWICK_UNWIND_FIXTURES=0)
  endif()

  if(UNWIND_DWARFDUMP)
    target_compile_definitions(bbcrash_tests PRIVATE PLOTWICK_DWARFDUMP="${UNWIND_DWARFDUMP}")
  endif()
endif()

# The live DWARF walks need code that only its call-frame information can
# unwind.
if(TARGET bbcrash_tests)
  set_source_files_properties("${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/DwarfLiveFrames.cpp"
    "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/RandomStackFrames.cpp" PROPERTIES
    COMPILE_OPTIONS "-O2;-fomit-frame-pointer")
endif()

# A program that walks its own stack by frame pointers, for comparison with
# gdb's backtrace of the same stack (a .cc file: every .cpp file of the test
# folder goes into the test binary).
if(TARGET bbcrash_tests)
  add_executable(bbcrash_frame_walk_helper "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/unwind_fixtures/frame_walk_helper.cc")
  target_link_libraries(bbcrash_frame_walk_helper PRIVATE bbcrash_internals)
  add_dependencies(bbcrash_tests bbcrash_frame_walk_helper)
  target_compile_definitions(bbcrash_tests PRIVATE
    PLOTWICK_FRAME_WALK_HELPER="$<TARGET_FILE:bbcrash_frame_walk_helper>")
  if(UNWIND_GDB)
    target_compile_definitions(bbcrash_tests PRIVATE PLOTWICK_GDB="${UNWIND_GDB}")
  endif()
endif()

# A crash whose handler walks and symbolicates with malloc, free and
# pthread_mutex_lock interposed and counted (a .cc file, as above).
if(TARGET bbcrash_tests)
  add_executable(bbcrash_crash_path_probe "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/unwind_fixtures/crash_path_probe.cc"
    "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter/LoadedImages.cpp")
  target_include_directories(bbcrash_crash_path_probe PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/BBCrashReporter")
  target_link_libraries(bbcrash_crash_path_probe PRIVATE bbcrash_internals ${CMAKE_DL_LIBS})
  add_dependencies(bbcrash_tests bbcrash_crash_path_probe)
  target_compile_definitions(bbcrash_tests PRIVATE
    PLOTWICK_CRASH_PATH_PROBE="$<TARGET_FILE:bbcrash_crash_path_probe>")
endif()
