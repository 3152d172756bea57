# Fuzz targets of the platform's readers and writers and of the SDK's
# decoders; their corpora begin with the shapes the tests use.
plotwick_fuzzer(plist SOURCE FuzzPlist.cpp LIBS platform_foundation)
plotwick_fuzzer(keyed_unarchiver SOURCE FuzzKeyedUnarchiver.cpp LIBS beacon_internals)
plotwick_fuzzer(encrypter SOURCE FuzzEncrypter.cpp LIBS beacon_internals platform_security)
plotwick_fuzzer(base64 SOURCE FuzzBase64.cpp LIBS platform_foundation)
plotwick_fuzzer(iso8601 SOURCE FuzzIso8601.cpp LIBS platform_foundation)
plotwick_fuzzer(format SOURCE FuzzFormat.cpp LIBS platform_foundation)
# The crash report reader and the formatter together, from a report file's
# bytes to the crash log's JSON; the golden report files are its seeds.
plotwick_fuzzer(crash_report SOURCE FuzzCrashReport.cpp LIBS beacon_crashes_internals beacon_internals bbcrash
  SEEDS_FROM "${CMAKE_SOURCE_DIR}/tests/golden/cases")
