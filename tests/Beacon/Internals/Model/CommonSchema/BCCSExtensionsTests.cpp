#include <gtest/gtest.h>

#include "BCCSExtensions.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

using modeltest::text;

TEST(BCCSExtensions, EmptyExtensionsWriteNothingAndTheContainerOmitsThem) {
    EXPECT_TRUE(BCAppExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCUserExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCDeviceExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCSDKExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCLocExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCOSExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCNetExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCProtocolExtension().serializeToDictionary().is_null());
    EXPECT_TRUE(BCMetadataExtension().serializeToDictionary().is_null());

    BCCSExtensions container;
    container.metadataExt = std::make_shared<BCMetadataExtension>();
    container.protocolExt = std::make_shared<BCProtocolExtension>();
    container.userExt = std::make_shared<BCUserExtension>();
    container.deviceExt = std::make_shared<BCDeviceExtension>();
    container.osExt = std::make_shared<BCOSExtension>();
    container.appExt = std::make_shared<BCAppExtension>();
    container.netExt = std::make_shared<BCNetExtension>();
    container.sdkExt = std::make_shared<BCSDKExtension>();
    container.locExt = std::make_shared<BCLocExtension>();
    EXPECT_EQ(text(container.serializeToDictionary()), "{}");
    EXPECT_TRUE(container.isValid());
}

TEST(BCCSExtensions, ContainerWritesEveryMemberUnderItsKeyInOrder) {
    BCCSExtensions container;
    container.locExt = std::make_shared<BCLocExtension>();
    container.locExt->tz = "+02:00";
    container.sdkExt = std::make_shared<BCSDKExtension>();
    container.sdkExt->libVer = "beacon.macos-4.0.0";
    container.netExt = std::make_shared<BCNetExtension>();
    container.netExt->provider = "p";
    container.appExt = std::make_shared<BCAppExtension>();
    container.appExt->appId = "I:ns";
    container.appExt->ver = "1";
    container.appExt->name = "n";
    container.appExt->locale = "en";
    container.appExt->userId = "u";
    container.osExt = std::make_shared<BCOSExtension>();
    container.osExt->name = "Linux";
    container.osExt->ver = "Version 12";
    container.deviceExt = std::make_shared<BCDeviceExtension>();
    container.deviceExt->localId = "d";
    container.userExt = std::make_shared<BCUserExtension>();
    container.userExt->localId = "c:alice";
    container.userExt->locale = "en-US";
    container.protocolExt = std::make_shared<BCProtocolExtension>();
    container.protocolExt->ticketKeys = std::vector<std::string>{"t1"};
    container.protocolExt->devMake = "make";
    container.protocolExt->devModel = "model";
    container.metadataExt = std::make_shared<BCMetadataExtension>();
    container.metadataExt->metadata =
        platform::Dictionary{{"f", platform::Value(platform::Dictionary{{"a", platform::Value(int64_t(1))}})}};
    EXPECT_EQ(text(container.serializeToDictionary()), text(R"({"metadata":{"f":{"a":1}},
                      "protocol":{"ticketKeys":["t1"],"devMake":"make","devModel":"model"},
                      "user":{"localId":"c:alice","locale":"en-US"},
                      "device":{"localId":"d"},
                      "os":{"ver":"Version 12","name":"Linux"},
                      "app":{"id":"I:ns","ver":"1","name":"n","locale":"en","userId":"u"},
                      "net":{"provider":"p"},
                      "sdk":{"libVer":"beacon.macos-4.0.0"},
                      "loc":{"tz":"+02:00"}})"));

    auto decoded = modeltest::roundTrip(std::make_shared<BCCSExtensions>(container)).objectAs<BCCSExtensions>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(container));
    EXPECT_EQ(text(decoded->serializeToDictionary()), text(container.serializeToDictionary()));
}

TEST(BCSDKExtension, SeqAndInstallId) {
    BCSDKExtension sdk;
    sdk.epoch = "e";
    EXPECT_EQ(text(sdk.serializeToDictionary()), text(R"({"epoch":"e"})"));
    auto decoded = modeltest::roundTrip(std::make_shared<BCSDKExtension>(sdk)).objectAs<BCSDKExtension>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->seq, 0);
    EXPECT_TRUE(decoded->isEqual(sdk));

    sdk.seq = 5;
    EXPECT_EQ(text(sdk.serializeToDictionary()), text(R"({"epoch":"e","seq":5})"));

    BCSDKExtension onlyInstallId;
    onlyInstallId.installId = platform::UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(text(onlyInstallId.serializeToDictionary()),
              text(R"({"installId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})"));

    BCSDKExtension all;
    all.libVer = "l";
    all.epoch = "e";
    all.seq = -2;
    all.installId = onlyInstallId.installId;
    EXPECT_EQ(text(all.serializeToDictionary()),
              text(R"({"libVer":"l","epoch":"e","installId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","seq":-2})"));
    auto decodedAll = modeltest::roundTrip(std::make_shared<BCSDKExtension>(all)).objectAs<BCSDKExtension>();
    ASSERT_TRUE(decodedAll);
    EXPECT_TRUE(decodedAll->isEqual(all));
    BCSDKExtension otherId = all;
    otherId.installId = platform::UUID::random();
    EXPECT_FALSE(otherId.isEqual(all));
}

TEST(BCCSExtensions, EqualityIsByClassAndFields) {
    BCOSExtension a, b;
    a.name = b.name = "Linux";
    a.ver = b.ver = "1";
    EXPECT_TRUE(a.isEqual(b));
    b.ver = "2";
    EXPECT_FALSE(a.isEqual(b));

    BCAppExtension app;
    app.name = "Linux";
    app.ver = "1";
    EXPECT_FALSE(a.isEqual(app));
    EXPECT_FALSE(app.isEqual(a));

    BCCSExtensions c1, c2;
    EXPECT_TRUE(c1.isEqual(c2));
    c1.osExt = std::make_shared<BCOSExtension>(a);
    EXPECT_FALSE(c1.isEqual(c2));
    c2.osExt = std::make_shared<BCOSExtension>(a);
    EXPECT_TRUE(c1.isEqual(c2));
}
