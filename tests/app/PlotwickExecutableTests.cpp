// The application executable carries the SDK identity record.
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
