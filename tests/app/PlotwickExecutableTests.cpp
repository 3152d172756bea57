// The application executable carries the SDK identity record, and the copy
// the tests run names no server that resolves.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/TestSupport.h"

TEST(PlotwickExecutable, CarriesTheSdkIdentitySection) {
    const std::string dump = testsupport::runCommand(std::string("objcopy -O binary --only-section=__bc_sdk '") +
                                                     PLOTWICK_EXECUTABLE + "' /dev/stdout");
    ASSERT_EQ(dump.size(), 97u) << "the section holds the 97-byte record";
    EXPECT_EQ(dump[0], 1);
    EXPECT_EQ(std::string(dump.c_str() + 1), "beacon.macos");
    EXPECT_EQ(std::string(dump.c_str() + 33), "4.0.0");
    EXPECT_EQ(std::string(dump.c_str() + 65), "1");
}

// The copy the tests run is the application with log URLs that never
// resolve: whatever server the build is set to hears nothing from a test.
TEST(PlotwickExecutable, TheCopyTheTestsRunSendsToNoServer) {
    const std::string offline =
        testsupport::runCommand(std::string("strings -a '") + PLOTWICK_OFFLINE_EXECUTABLE + "'");
    EXPECT_NE(offline.find("https://in.plotwick.invalid\n"), std::string::npos);
    EXPECT_NE(offline.find("https://events.plotwick.invalid\n"), std::string::npos);
    const std::string configured = PLOTWICK_DEFAULT_LOG_URL;
    if (configured.find(".invalid") == std::string::npos) {
        EXPECT_EQ(offline.find(configured), std::string::npos) << "the copy names the server the build is set to";
    }
}
