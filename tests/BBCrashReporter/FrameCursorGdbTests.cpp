// A frame-pointer walk of a real stack against gdb's backtrace of the same
// stack: a helper program walks itself and prints its frames, then stops
// where gdb, running it in batch mode, prints the pc of every frame.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

#include "support/TestSupport.h"

#if defined(PLOTWICK_GDB) && defined(PLOTWICK_FRAME_WALK_HELPER)

TEST(FrameCursorGdbTests, FramePointerWalkMatchesGdbBacktrace) {
    int status = 0;
    const std::string output = testsupport::runCommand(
        std::string("timeout 120 ") + PLOTWICK_GDB +
            " -batch -nx -ex 'set backtrace past-main on' -ex 'break frame_walk_checkpoint' -ex run"
            " -ex 'frame apply all -q p/x $pc' --args " +
            PLOTWICK_FRAME_WALK_HELPER + " 2>&1",
        &status);
    std::vector<uint64_t> ours, gdb;
    int end = -1;
    static const std::regex walk(R"(^walk (0x[0-9a-f]+)$)");
    static const std::regex ended(R"(^end (\d+)$)");
    static const std::regex pc(R"(^\$\d+ = (0x[0-9a-f]+)$)");
    std::istringstream in(output);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, walk)) {
            ours.push_back(std::stoull(m[1], nullptr, 16));
        } else if (std::regex_match(line, m, ended)) {
            end = std::stoi(m[1]);
        } else if (std::regex_match(line, m, pc)) {
            gdb.push_back(std::stoull(m[1], nullptr, 16));
        }
    }
    if (gdb.empty() && output.find("ptrace") != std::string::npos) {
        GTEST_SKIP() << "gdb cannot trace here: " << output;
    }
    // gdb: checkpoint, walkAndStop (at the checkpoint's call), third,
    // second, first, main, the C library's caller of main, ...
    // ours: walkAndStop (at the capture), third, second, first, main, the
    // C library's caller of main; beyond that the C library keeps no frame
    // pointer and the chain ends.
    ASSERT_GE(gdb.size(), 7u) << output;
    ASSERT_GE(ours.size(), 6u) << output;
    for (size_t k = 1; k < 6; k++) {
        EXPECT_EQ(ours[k], gdb[k + 1]) << "frame " << k << "\n" << output;
    }
    EXPECT_NE(end, 0);
}

#endif
