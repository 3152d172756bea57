#include <gtest/gtest.h>

#include "BCHttpUtil.h"

TEST(BCHttpUtil, StatusCodes) {
    EXPECT_FALSE(BCHttpUtil::isSuccessStatusCode(199));
    EXPECT_TRUE(BCHttpUtil::isSuccessStatusCode(200));
    EXPECT_TRUE(BCHttpUtil::isSuccessStatusCode(299));
    EXPECT_FALSE(BCHttpUtil::isSuccessStatusCode(300));
    // A 3xx is a redirect that was not followed: nothing was delivered.
    for (long code : {0L, 300L, 302L, 304L, 399L, 408L, 429L, 500L, 503L, 599L, 999L})
        EXPECT_TRUE(BCHttpUtil::isRecoverableError(code)) << code;
    for (long code : {200L, 400L, 401L, 403L, 404L, 499L}) EXPECT_FALSE(BCHttpUtil::isRecoverableError(code)) << code;
}

TEST(BCHttpUtil, HideSecretKeepsLengthAndLastEight) {
    EXPECT_EQ(BCHttpUtil::hideSecret(""), "");
    EXPECT_EQ(BCHttpUtil::hideSecret("12345678"), "********");
    EXPECT_EQ(BCHttpUtil::hideSecret("123456789"), "*23456789");
    std::string guid = "0fd8a2c5-6e4b-4c5a-9b1f-2a8d6e9c1b3f";
    EXPECT_EQ(BCHttpUtil::hideSecret(guid), std::string(28, '*') + "6e9c1b3f");
    // A character straddling the masked head is masked whole (two units).
    EXPECT_EQ(BCHttpUtil::hideSecret("\xF0\x9F\x98\x80"
                                     "abcdefg"),
              "**abcdefg");
}

TEST(BCHttpUtil, HideSecretOfALongTextKeepsItsTail) {
    std::string secret = std::string(1 << 20, 'a') + "12345678";
    EXPECT_EQ(BCHttpUtil::hideSecret(secret), std::string(1 << 20, '*') + "12345678");
}
