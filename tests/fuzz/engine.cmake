# The crash engine's readers of untrusted bytes: the Mach-O image reader with
# symbol lookup and the Objective-C walk, the compact unwind reader, the DWARF
# call-frame reader (with the compact tables built from .eh_frame), and the
# DWARF expression evaluator.
plotwick_fuzzer(engine_macho SOURCE FuzzMachO.cpp LIBS bbcrash_internals)
plotwick_fuzzer(engine_compact_unwind SOURCE FuzzCompactUnwind.cpp LIBS bbcrash_internals)
plotwick_fuzzer(engine_dwarf_expression SOURCE FuzzDwarfExpression.cpp LIBS bbcrash_internals)

# The .eh_frame sections of this machine's libc and libstdc++ as seeds for
# the call-frame reader (each behind the target's 5-byte prefix: an offset of
# 0 and flags 0), extracted when the fuzz targets are built.
set(_eh_seeds "${CMAKE_CURRENT_BINARY_DIR}/seeds/engine_dwarf_cfa")
plotwick_fuzzer(engine_dwarf_cfa SOURCE FuzzDwarfCfa.cpp LIBS bbcrash_internals SEEDS_FROM "${_eh_seeds}")
find_program(FUZZ_OBJCOPY NAMES objcopy)
if(PLOTWICK_FUZZ AND FUZZ_OBJCOPY)
  set(_eh_outputs)
  foreach(lib libc.so.6 libstdc++.so.6)
    set(_out "${_eh_seeds}/${lib}.eh_frame")
    add_custom_command(OUTPUT "${_out}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_eh_seeds}"
      COMMAND sh -c "printf '\\000\\000\\000\\000\\000' > '${_out}' && ${FUZZ_OBJCOPY} -O binary --only-section=.eh_frame \"$(${CMAKE_CXX_COMPILER} -print-file-name=${lib})\" '${_out}.raw' && cat '${_out}.raw' >> '${_out}' && rm -f '${_out}.raw'"
      VERBATIM)
    list(APPEND _eh_outputs "${_out}")
  endforeach()
  add_custom_target(engine_dwarf_cfa_seeds DEPENDS ${_eh_outputs})
  add_dependencies(fuzz_engine_dwarf_cfa engine_dwarf_cfa_seeds)
endif()
