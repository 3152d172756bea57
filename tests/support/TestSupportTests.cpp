#include <gtest/gtest.h>

#include "support/TestSupport.h"

TEST(TestSupport, TemporaryHomeRedirectsAndRestores) {
    const char *before = getenv("XDG_CONFIG_HOME");
    std::string saved = before ? before : "";
    {
        testsupport::TemporaryHome home;
        EXPECT_EQ(std::string(getenv("XDG_CONFIG_HOME")), (home.path() / ".config").string());
    }
    const char *after = getenv("XDG_CONFIG_HOME");
    EXPECT_EQ(after ? std::string(after) : "", saved);
}
