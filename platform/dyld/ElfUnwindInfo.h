#pragma once
// A compact unwind table ("__TEXT,__unwind_info", version 1, regular
// second-level pages) built from an ELF image's .eh_frame, as a Mach-O linker
// builds one from its objects' call-frame information.
//
// Every row of every FDE (a range of addresses with one set of call-frame
// rules) gets an entry: a row whose rules are exactly a compact encoding's
// gets that encoding (an RBP frame, or a frameless function with its stack
// size in the encoding), every other row the DWARF mode, which sends the
// unwinder to the call-frame information itself. A compact entry therefore
// gives the caller's registers exactly as the row it came from does. Signal
// frames, expressions, and FDEs this reader does not fully understand are
// DWARF mode throughout; so are the gaps between FDEs. Built when an image is
// added, never at crash time.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::dyld {

class ElfUnwindInfo {
public:
    // Builds the table for the .eh_frame of `size` bytes at `ehFrame` (in
    // memory, where its pc-relative pointers point), with function offsets
    // relative to `imageBase`; only functions in [imageBase, imageBase +
    // textSize) are listed. Empty when the section holds nothing usable or
    // cannot be read as a whole.
    static std::vector<uint8_t> build(const uint8_t *ehFrame, size_t size, uintptr_t imageBase, uint64_t textSize);

    // The x86_64 compact encodings this builder emits.
    static constexpr uint32_t kModeFrame = 0x01000000;
    static constexpr uint32_t kModeFramelessImmediate = 0x02000000;
    static constexpr uint32_t kModeDwarf = 0x04000000;
};

}  // namespace platform::dyld
