# The formatter's golden files: report files encoded from .textproto cases
# and a small Mach-O image, both committed (see tests/golden/encode.sh).
if(TARGET beacon_crashes_tests)
  target_compile_definitions(beacon_crashes_tests PRIVATE PLOTWICK_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
endif()
