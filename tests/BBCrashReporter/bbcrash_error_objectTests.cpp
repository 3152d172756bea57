// Error objects of the engine: domain, code, description, underlying error.
#include "bbcrash_error_object.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(ErrorObjectTests, PopulatesDomainCodeDescriptionAndUnderlyingError) {
    std::shared_ptr<const platform::Error> error;
    bbcrash_populate_error(&error, 2, "Bad report", nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "BBCrashReporterErrorDomain");
    EXPECT_EQ(error->code(), 2);
    EXPECT_EQ(*error->userInfo().at(platform::kLocalizedDescriptionKey).string(), "Bad report");
    EXPECT_EQ(error->userInfo().count(platform::kUnderlyingErrorKey), 0u);

    bbcrash_populate_posix_error(&error, ENOENT, "Could not open");
    EXPECT_EQ(error->code(), 1);
    auto underlying = error->userInfo().at(platform::kUnderlyingErrorKey).objectAs<const platform::Error>();
    ASSERT_NE(underlying, nullptr);
    EXPECT_EQ(underlying->domain(), platform::kPOSIXErrorDomain);
    EXPECT_EQ(underlying->code(), ENOENT);

    bbcrash_populate_mach_error(&error, platform::mach::KERN_INVALID_ADDRESS, "Could not read");
    underlying = error->userInfo().at(platform::kUnderlyingErrorKey).objectAs<const platform::Error>();
    ASSERT_NE(underlying, nullptr);
    EXPECT_EQ(underlying->domain(), platform::kMachErrorDomain);
    EXPECT_EQ(underlying->code(), platform::mach::KERN_INVALID_ADDRESS);

    // No out parameter: nothing to do.
    bbcrash_populate_error(nullptr, 0, "ignored", nullptr);
}

}  // namespace
