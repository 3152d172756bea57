#include <gtest/gtest.h>

#include "BCDevice.h"
#include "BCUtility.h"
#include "BCWrapperSdk.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

using modeltest::text;

namespace {

std::shared_ptr<BCDevice> requiredOnlyDevice() {
    auto device = std::make_shared<BCDevice>();
    device->sdkName = "beacon.macos";
    device->sdkVersion = "4.0.0";
    device->osName = "Debian GNU/Linux";
    device->osVersion = "12";
    device->locale = "en_US";
    device->timeZoneOffset = -330;
    device->appVersion = "1.2";
    device->appBuild = "42";
    return device;
}

// A device archived under the class name an older version used.
class OldNamedDevice : public BCDevice {
public:
    std::string className() const override { return "BNDevice"; }
};

class OldNamedWrapperSdk : public BCWrapperSdk {
public:
    using BCWrapperSdk::BCWrapperSdk;
    std::string className() const override { return "BNWrapperSdk"; }
};

// Writes the device's keys with a value of the wrong type under one key.
class DamagedDevice : public BCDevice {
public:
    explicit DamagedDevice(std::string key, platform::Value value) : key_(std::move(key)), value_(std::move(value)) {}
    void encodeWithCoder(platform::KeyedArchiver &coder) const override {
        BCDevice::encodeWithCoder(coder);
        coder.encodeObject(value_, key_);
    }

private:
    std::string key_;
    platform::Value value_;
};

}  // namespace

TEST(BCDevice, RequiredFieldsOnlySerialiseToTheEightKeysInOrder) {
    EXPECT_EQ(text(requiredOnlyDevice()->serializeToDictionary()),
              text(R"({"sdkName":"beacon.macos","sdkVersion":"4.0.0","osName":"Debian GNU/Linux","osVersion":"12",
                      "locale":"en_US","timeZoneOffset":-330,"appVersion":"1.2","appBuild":"42"})"));
}

TEST(BCDevice, EveryFieldSerialisesFlatWithTheWrapperKeysFirst) {
    auto device = std::make_shared<BCDevice>();
    device->wrapperSdkVersion = "1";
    device->wrapperSdkName = "w";
    device->wrapperRuntimeVersion = "r";
    device->liveUpdateReleaseLabel = "l";
    device->liveUpdateDeploymentKey = "k";
    device->liveUpdatePackageHash = "h";
    device->sdkName = "s";
    device->sdkVersion = "v";
    device->model = "m";
    device->oemName = "o";
    device->osName = "n";
    device->osVersion = "ov";
    device->osBuild = "ob";
    device->osApiLevel = 7;
    device->locale = "de_DE";
    device->timeZoneOffset = 60;
    device->screenSize = "1920x1080";
    device->appVersion = "av";
    device->carrierName = "cn";
    device->carrierCountry = "cc";
    device->appBuild = "ab";
    device->appNamespace = "ns";
    EXPECT_EQ(text(device->serializeToDictionary()),
              text(R"({"wrapperSdkVersion":"1","wrapperSdkName":"w","wrapperRuntimeVersion":"r",
                      "liveUpdateReleaseLabel":"l","liveUpdateDeploymentKey":"k","liveUpdatePackageHash":"h",
                      "sdkName":"s","sdkVersion":"v","model":"m","oemName":"o","osName":"n","osVersion":"ov",
                      "osBuild":"ob","osApiLevel":7,"locale":"de_DE","timeZoneOffset":60,"screenSize":"1920x1080",
                      "appVersion":"av","carrierName":"cn","carrierCountry":"cc","appBuild":"ab",
                      "appNamespace":"ns"})"));
    EXPECT_EQ(text(BCWrapperSdk("1", std::nullopt, "r", std::nullopt, std::nullopt, "h").serializeToDictionary()),
              text(R"({"wrapperSdkVersion":"1","wrapperRuntimeVersion":"r","liveUpdatePackageHash":"h"})"));
}

TEST(BCDevice, ValidityNamesTheFirstMissingRequiredField) {
    modeltest::LogCapture capture;
    auto device = requiredOnlyDevice();
    device->appBuild = "";
    EXPECT_TRUE(device->isValid()) << "only presence is tested";
    EXPECT_TRUE(capture.lines().empty());

    std::vector<std::pair<std::string, std::function<void(BCDevice &)>>> fields = {
        {"sdkName", [](BCDevice &d) { d.sdkName.reset(); }},
        {"sdkVersion", [](BCDevice &d) { d.sdkVersion.reset(); }},
        {"osName", [](BCDevice &d) { d.osName.reset(); }},
        {"osVersion", [](BCDevice &d) { d.osVersion.reset(); }},
        {"locale", [](BCDevice &d) { d.locale.reset(); }},
        {"timeZoneOffset", [](BCDevice &d) { d.timeZoneOffset.reset(); }},
        {"appVersion", [](BCDevice &d) { d.appVersion.reset(); }},
        {"appBuild", [](BCDevice &d) { d.appBuild.reset(); }},
    };
    for (const auto &[key, clear] : fields) {
        capture.clear();
        auto broken = requiredOnlyDevice();
        clear(*broken);
        EXPECT_FALSE(broken->isValid()) << key;
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u) << key;
        EXPECT_EQ(lines[0].first, BCLogLevelVerbose);
        EXPECT_EQ(lines[0].second, "BCDevice: \"" + key + "\" is not valid.");
    }
    // Two missing fields: only the first in order is named.
    capture.clear();
    auto twoMissing = requiredOnlyDevice();
    twoMissing->appBuild.reset();
    twoMissing->osName.reset();
    EXPECT_FALSE(twoMissing->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCDevice: \"osName\" is not valid."));
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(BCDevice, Equality) {
    auto a = modeltest::validDevice();
    auto b = modeltest::validDevice();
    EXPECT_TRUE(a->isEqual(*b));
    b->liveUpdatePackageHash = "x";
    EXPECT_FALSE(a->isEqual(*b));
    EXPECT_FALSE(b->isEqual(*a));
    b = modeltest::validDevice();
    b->osApiLevel = 0;
    EXPECT_FALSE(a->isEqual(*b)) << "absent and 0 differ";
    b = modeltest::validDevice();
    b->timeZoneOffset = 60;
    EXPECT_TRUE(a->isEqual(*b));
    BCWrapperSdk wrapper;
    EXPECT_FALSE(a->isEqual(wrapper));
    EXPECT_TRUE(BCWrapperSdk().isEqual(BCWrapperSdk()));
}

TEST(BCDeviceArchiving, RoundTripKeepsEveryField) {
    auto device = modeltest::validDevice();
    device->wrapperSdkName = "wrapper";
    device->osApiLevel = 3;
    device->carrierCountry = "DE";
    auto decoded = modeltest::roundTrip(device).objectAs<BCDevice>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*device));
    EXPECT_EQ(decoded->timeZoneOffset, std::optional<int64_t>(60));
    EXPECT_EQ(decoded->screenSize, std::nullopt);

    auto wrapper = std::make_shared<BCWrapperSdk>("1", "n", "r", "l", "k", "h");
    auto decodedWrapper = modeltest::roundTrip(wrapper).objectAs<BCWrapperSdk>();
    ASSERT_TRUE(decodedWrapper);
    EXPECT_EQ(decodedWrapper->className(), "BCWrapperSdk");
    EXPECT_TRUE(decodedWrapper->isEqual(*wrapper));
}

TEST(BCDeviceArchiving, OldClassNameDecodesIntoTheCurrentClass) {
    auto old = std::make_shared<OldNamedDevice>();
    *static_cast<BCDevice *>(old.get()) = *modeltest::validDevice();
    auto data = BCUtility::archiveKeyedData(old);
    ASSERT_TRUE(data);
    BCUtility::addMigrationClasses({{"BNDevice", "BCDevice"}});
    auto decoded = BCUtility::unarchiveKeyedData(data).objectAs<BCDevice>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->className(), "BCDevice");
    EXPECT_TRUE(decoded->isEqual(*modeltest::validDevice()));

    BCUtility::addMigrationClasses({{"BNWrapperSdk", "BCWrapperSdk"}});
    auto oldWrapper =
        std::make_shared<OldNamedWrapperSdk>("1.0", "wrapper", std::nullopt, "label", std::nullopt, "hash");
    auto decodedWrapper = modeltest::roundTrip(oldWrapper).objectAs<BCWrapperSdk>();
    ASSERT_TRUE(decodedWrapper);
    EXPECT_EQ(decodedWrapper->className(), "BCWrapperSdk");
    EXPECT_TRUE(decodedWrapper->isEqual(*oldWrapper));
}

TEST(BCDeviceArchiving, AFieldOfTheWrongTypeFailsTheDecode) {
    modeltest::LogCapture capture;
    for (auto [key, value] :
         std::vector<std::pair<std::string, platform::Value>>{{"osName", platform::Value(int64_t(5))},
                                                              {"timeZoneOffset", platform::Value("60")},
                                                              {"timeZoneOffset", platform::Value(1.5)},
                                                              {"wrapperSdkName", platform::Value(platform::Array{})}}) {
        auto damaged = std::make_shared<DamagedDevice>(key, value);
        *static_cast<BCDevice *>(damaged.get()) = *modeltest::validDevice();
        auto data = BCUtility::archiveKeyedData(damaged);
        ASSERT_TRUE(data) << key;
        EXPECT_TRUE(BCUtility::unarchiveKeyedData(data).isNull()) << key;
    }
    // A real number that is integral is still a valid offset.
    auto integral = std::make_shared<DamagedDevice>("timeZoneOffset", platform::Value(120.0));
    *static_cast<BCDevice *>(integral.get()) = *modeltest::validDevice();
    auto decoded = BCUtility::unarchiveKeyedData(BCUtility::archiveKeyedData(integral)).objectAs<BCDevice>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->timeZoneOffset, std::optional<int64_t>(120));
}
