#!/bin/sh
# Encodes every case's .textproto into the .bbcrash report file the tests
# read: the 8-byte header "bbcrash" + version 1, then the protobuf body.
# Needs protoc (Debian's protobuf-compiler); the outputs are committed.
set -eu
cd "$(dirname "$0")"
for input in cases/*.textproto; do
  output="${input%.textproto}.bbcrash"
  { printf 'bbcrash\001'; protoc --proto_path=. --encode=bbcrash.CrashReport bbcrash.proto < "$input"; } > "$output"
done

# The Mach-O image of the selector case (its UUID and section addresses are
# written into cases/arm64e_selector.textproto).
if [ "${1:-}" = "--macho" ]; then
  clang-14 -target arm64-apple-macos11 -c macho/selectors.s -o macho/selectors.o
  ld64.lld-14 -arch arm64 -platform_version macos 11.0 11.0 -dylib -undefined dynamic_lookup \
    -install_name /Applications/Plotwick.app/Contents/Frameworks/libselectors.dylib \
    macho/selectors.o -o macho/libselectors-arm64.dylib
  rm macho/selectors.o
  llvm-objdump-14 --macho --section-headers --private-headers macho/libselectors-arm64.dylib | grep -E 'uuid|objc_methname'
fi
