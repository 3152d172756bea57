#include "platform/security/SecureRandom.h"

#include <climits>
#include <gtest/gtest.h>

using platform::security::SecureRandom;

TEST(SecureRandom, GivesTheCountAskedOrNothing) {
    auto empty = SecureRandom::bytes(0);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    auto a = SecureRandom::bytes(32), b = SecureRandom::bytes(32);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), 32u);
    EXPECT_NE(*a, *b);
    EXPECT_NE(*a, std::vector<std::uint8_t>(32, 0));

    // More than the generator takes in one call is refused, not truncated.
    EXPECT_FALSE(SecureRandom::bytes(static_cast<std::size_t>(INT_MAX) + 1));
}
