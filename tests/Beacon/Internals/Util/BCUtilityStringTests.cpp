#include <gtest/gtest.h>

#include "BCUtility.h"

TEST(BCUtilitySecret, AppSecretWithAndWithoutPlatformEntries) {
    EXPECT_EQ(BCUtility::appSecretFrom(std::string("secret-1")), "secret-1");
    EXPECT_EQ(BCUtility::appSecretFrom(std::string(";;appsecret=abc;target=tok")), "abc");
    EXPECT_EQ(BCUtility::appSecretFrom(std::string("target=tok;ios=x;macos=mine")), "mine");
    // With a "macos=" entry anywhere, the other entries never count.
    EXPECT_EQ(BCUtility::appSecretFrom(std::string("plain;macos=mine")), "mine");
    EXPECT_EQ(BCUtility::appSecretFrom(std::string("macos=;macos=second")), "second");
    EXPECT_FALSE(BCUtility::appSecretFrom(std::string("target=tok")));
    EXPECT_FALSE(BCUtility::appSecretFrom(std::string(";;")));
    EXPECT_FALSE(BCUtility::appSecretFrom(std::string("appsecret=")));
    EXPECT_FALSE(BCUtility::appSecretFrom(std::nullopt));
}

TEST(BCUtilitySecret, TransmissionTargetTokenAndKeys) {
    EXPECT_EQ(BCUtility::transmissionTargetTokenFrom(std::string("abc;target=key-rest")), "key-rest");
    EXPECT_FALSE(BCUtility::transmissionTargetTokenFrom(std::string("abc")));
    EXPECT_FALSE(BCUtility::transmissionTargetTokenFrom(std::string("target=;target=x")));
    EXPECT_EQ(BCUtility::targetKeyFromTargetToken(std::string("key-rest-more")), "key");
    EXPECT_EQ(BCUtility::targetKeyFromTargetToken(std::string("whole")), "whole");
    EXPECT_FALSE(BCUtility::targetKeyFromTargetToken(std::string("-rest")));
    EXPECT_EQ(BCUtility::iKeyFromTargetToken(std::string("key-rest")), "o:key");
    EXPECT_FALSE(BCUtility::iKeyFromTargetToken(std::nullopt));
}

TEST(BCUtilitySecret, PrettyPrintJson) {
    auto bytes = [](const std::string &s) { return std::optional<platform::Data>(platform::Data(s.begin(), s.end())); };
    EXPECT_EQ(BCUtility::prettyPrintJson(bytes(R"({"b":1,"a":[true,"x/y"]})")),
              "{\n  \"b\" : 1,\n  \"a\" : [\n    true,\n    \"x/y\"\n  ]\n}");
    // A backslash before a slash survives: it is an escaped backslash.
    EXPECT_EQ(BCUtility::prettyPrintJson(bytes(R"(["a\\/b"])")), "[\n  \"a\\\\/b\"\n]");
    EXPECT_EQ(BCUtility::prettyPrintJson(bytes("not json")), "not json");
    EXPECT_FALSE(BCUtility::prettyPrintJson(bytes("\xff\xfe")));
    EXPECT_FALSE(BCUtility::prettyPrintJson(std::nullopt));
    EXPECT_EQ(BCUtility::currentAppEnvironment(), 99);
}

TEST(BCUtilitySecret, PrettyPrintJsonOfAVeryDeepDocumentGivesItsText) {
    // Pretty-printing recurses per level; a reply of a million "[" would
    // exhaust the stack, so such a document comes back as it stands.
    std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    auto text = BCUtility::prettyPrintJson(platform::Data(deep.begin(), deep.end()));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, deep);
    std::string shallow = std::string(3, '[') + std::string(3, ']');
    EXPECT_EQ(BCUtility::prettyPrintJson(platform::Data(shallow.begin(), shallow.end())),
              "[\n  [\n    [\n\n    ]\n  ]\n]");
}
