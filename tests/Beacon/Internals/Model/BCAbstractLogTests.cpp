#include <gtest/gtest.h>

#include <thread>

#include "BCAbstractLog.h"
#include "BCCommonSchemaLog.h"
#include "BCCustomPropertiesLog.h"
#include "BCDevice.h"
#include "BCLogWithProperties.h"
#include "BCStartServiceLog.h"
#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "platform/foundation/Bundle.h"

using modeltest::text;

namespace {

// 2026-12-07T04:06:33.123Z
platform::Date sampleDate() { return platform::Date::fromTimeIntervalSince1970(1796616393.123); }

std::shared_ptr<BCAbstractLog> minimalLog() {
    auto log = std::make_shared<BCAbstractLog>();
    log->setType("sample");
    log->setTimestamp(sampleDate());
    log->setDevice(modeltest::validDevice());
    return log;
}

// A plain object to attach as a tag.
class Marker : public platform::Object {
public:
    explicit Marker(int id) : id(id) {}
    std::string className() const override { return "Marker"; }
    bool isEqual(const platform::Object &other) const override {
        auto marker = dynamic_cast<const Marker *>(&other);
        return marker && marker->id == id;
    }
    int id;
};

using modeltest::Renamed;

// A log archived with a field of the wrong type.
class DamagedLog : public BCAbstractLog {
public:
    DamagedLog(std::string key, platform::Value value) : key_(std::move(key)), value_(std::move(value)) {}
    void encodeWithCoder(platform::KeyedArchiver &coder) const override {
        BCAbstractLog::encodeWithCoder(coder);
        coder.encodeObject(value_, key_);
    }

private:
    std::string key_;
    platform::Value value_;
};

}  // namespace

TEST(BCAbstractLogJson, OnlyPresentFieldsAreWrittenInOrder) {
    auto log = minimalLog();
    auto json = log->serializeToDictionary();
    EXPECT_EQ(text(json), text(nlohmann::ordered_json{{"type", "sample"},
                                                      {"timestamp", "2026-12-07T04:06:33.123Z"},
                                                      {"device", log->device()->serializeToDictionary()}}));
    log->setSid("s-1");
    log->setDistributionGroupId("g");
    log->setUserId("alice");
    log->addTransmissionTargetToken("token");
    log->setTag(std::make_shared<Marker>(1));
    std::vector<std::string> keys;
    auto full = log->serializeToDictionary();
    for (const auto &item : full.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"type", "timestamp", "sid", "distributionGroupId", "userId", "device"}));
    EXPECT_EQ(text(BCAbstractLog().serializeToDictionary()), "{}");
}

TEST(BCAbstractLogJson, SubclassesAddTheirKeysAfterTheBase) {
    BCLogWithProperties withProperties;
    withProperties.setType("p");
    withProperties.setProperties(platform::Dictionary{});
    EXPECT_EQ(text(withProperties.serializeToDictionary()), text(R"({"type":"p"})"));
    withProperties.setProperties(platform::Dictionary{{"k", platform::Value("v")}});
    EXPECT_EQ(text(withProperties.serializeToDictionary()), text(R"({"type":"p","properties":{"k":"v"}})"));

    BCStartServiceLog start;
    start.setTimestamp(sampleDate());
    start.setServices(std::vector<std::string>{"Crashes"});
    EXPECT_EQ(text(start.serializeToDictionary()),
              text(R"({"type":"startService","timestamp":"2026-12-07T04:06:33.123Z","services":["Crashes"]})"));

    BCCustomPropertiesLog custom;
    custom.setProperties(platform::Dictionary{{"b", platform::Value(true)},
                                              {"d", platform::Value(sampleDate())},
                                              {"n", platform::Value(int64_t(3))},
                                              {"s", platform::Value("x")}});
    EXPECT_EQ(text(custom.serializeToDictionary()), text(R"({"type":"customProperties",
                      "properties":{"b":true,"d":"2026-12-07T04:06:33.123Z","n":3,"s":"x"}})"));
}

TEST(BCAbstractLogJson, TextHasPlainSlashesAndBothLayouts) {
    auto log = minimalLog();
    log->setUserId("a/b");
    auto compact = log->serializeLogWithPrettyPrinting(false);
    ASSERT_TRUE(compact);
    EXPECT_NE(compact->find("\"userId\":\"a/b\""), std::string::npos);
    EXPECT_EQ(compact->find("\\/"), std::string::npos);
    EXPECT_EQ(compact->find('\n'), std::string::npos);
    auto pretty = log->serializeLogWithPrettyPrinting(true);
    ASSERT_TRUE(pretty);
    EXPECT_NE(pretty->find('\n'), std::string::npos);
    EXPECT_EQ(nlohmann::ordered_json::parse(*pretty), nlohmann::ordered_json::parse(*compact));
    // The SDK's one pretty layout: two spaces, " : " between key and value.
    EXPECT_EQ(pretty->substr(0, 21), "{\n  \"type\" : \"sample\"");
    EXPECT_EQ(pretty, BCUtility::prettyPrintJson(platform::Data(compact->begin(), compact->end())));
    // Text that is not UTF-8 cannot be written.
    log->setUserId(std::string("\xff\xfe"));
    EXPECT_EQ(log->serializeLogWithPrettyPrinting(false), std::nullopt);
    EXPECT_EQ(log->serializeLogWithPrettyPrinting(true), std::nullopt);
}

TEST(BCAbstractLogValidity, ChecksTypeTimestampAndDeviceInOrder) {
    modeltest::LogCapture capture;
    EXPECT_TRUE(minimalLog()->isValid());
    EXPECT_TRUE(capture.lines().empty());

    BCAbstractLog empty;
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCAbstractLog: \"type\" is not valid."));

    capture.clear();
    auto noTimestamp = minimalLog();
    noTimestamp->setTimestamp(std::nullopt);
    EXPECT_FALSE(noTimestamp->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCAbstractLog: \"timestamp\" is not valid."));

    capture.clear();
    auto noDevice = minimalLog();
    noDevice->setDevice(nullptr);
    EXPECT_FALSE(noDevice->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCAbstractLog: \"device\" is not valid."));

    capture.clear();
    BCStartServiceLog start;
    start.setTimestamp(sampleDate());
    start.setDevice(modeltest::validDevice());
    start.device()->locale.reset();
    EXPECT_FALSE(start.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCDevice: \"locale\" is not valid."));
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCStartServiceLog: \"device\" is not valid."));

    capture.clear();
    start.setDevice(modeltest::validDevice());
    EXPECT_FALSE(start.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCStartServiceLog: \"services\" is not valid."));
    start.setServices(std::vector<std::string>{"Crashes"});
    EXPECT_TRUE(start.isValid());
}

TEST(BCAbstractLogEquality, TagCountsButTokensDoNot) {
    auto a = minimalLog();
    auto b = minimalLog();
    b->setDevice(modeltest::validDevice());
    EXPECT_TRUE(a->isEqual(*b));
    a->addTransmissionTargetToken("t1");
    EXPECT_TRUE(a->isEqual(*b));
    a->setTag(std::make_shared<Marker>(1));
    EXPECT_FALSE(a->isEqual(*b));
    b->setTag(std::make_shared<Marker>(1));
    EXPECT_TRUE(a->isEqual(*b));
    b->setTag(std::make_shared<Marker>(2));
    EXPECT_FALSE(a->isEqual(*b));
    b->setTag(std::make_shared<Marker>(1));
    b->setSid("x");
    EXPECT_FALSE(a->isEqual(*b));
    b->setSid(std::nullopt);
    b->setTimestamp(sampleDate().dateByAddingTimeInterval(0.001));
    EXPECT_FALSE(a->isEqual(*b));

    BCLogWithProperties p1, p2;
    EXPECT_TRUE(p1.isEqual(p2));
    p2.setProperties(platform::Dictionary{});
    EXPECT_FALSE(p1.isEqual(p2)) << "absent and empty differ";
    EXPECT_FALSE(p1.isEqual(BCAbstractLog())) << "a plain log is not a log with properties";
    EXPECT_TRUE(BCAbstractLog().isEqual(p1));
}

TEST(BCAbstractLogTokens, AddingMakesANewSetAndSurvivesConcurrency) {
    BCAbstractLog log;
    EXPECT_EQ(log.transmissionTargetTokens(), std::nullopt);
    log.addTransmissionTargetToken("a");
    auto before = log.transmissionTargetTokens();
    log.addTransmissionTargetToken("b");
    log.addTransmissionTargetToken("a");
    EXPECT_EQ(before, (std::set<std::string>{"a"}));
    EXPECT_EQ(log.transmissionTargetTokens(), (std::set<std::string>{"a", "b"}));

    BCAbstractLog shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, t] {
            for (int i = 0; i < 200; ++i) {
                shared.addTransmissionTargetToken(std::to_string(t) + "-" + std::to_string(i));
                (void)shared.transmissionTargetTokens();
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(shared.transmissionTargetTokens()->size(), 800u);
}

TEST(BCAbstractLogArchiving, RoundTripDropsTagAndTokens) {
    auto log = std::make_shared<BCLogWithProperties>();
    log->setType("t");
    log->setTimestamp(sampleDate());
    log->setSid("sid");
    log->setDistributionGroupId("group");
    log->setUserId("user");
    log->setDevice(modeltest::validDevice());
    log->setProperties(platform::Dictionary{});
    log->setTag(std::make_shared<Marker>(1));
    log->addTransmissionTargetToken("token");

    auto decoded = modeltest::roundTrip(log).objectAs<BCLogWithProperties>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->tag(), nullptr);
    EXPECT_EQ(decoded->transmissionTargetTokens(), std::nullopt);
    EXPECT_EQ(decoded->properties(), std::optional<platform::Dictionary>(platform::Dictionary{}))
        << "an empty dictionary is archived though not written to JSON";
    log->setTag(nullptr);
    EXPECT_TRUE(decoded->isEqual(*log));

    auto start = std::make_shared<BCStartServiceLog>();
    start->setServices(std::vector<std::string>{"Crashes", "Other"});
    auto decodedStart = modeltest::roundTrip(start).objectAs<BCStartServiceLog>();
    ASSERT_TRUE(decodedStart);
    EXPECT_TRUE(decodedStart->isEqual(*start));

    auto custom = std::make_shared<BCCustomPropertiesLog>();
    custom->setProperties(platform::Dictionary{{"n", platform::Value(2.5)}, {"d", platform::Value(sampleDate())}});
    auto decodedCustom = modeltest::roundTrip(custom).objectAs<BCCustomPropertiesLog>();
    ASSERT_TRUE(decodedCustom);
    EXPECT_TRUE(decodedCustom->isEqual(*custom));
}

TEST(BCAbstractLogArchiving, OldClassNamesDecodeIntoTheCurrentClasses) {
    BCUtility::addMigrationClasses({{"BNAbstractLog", "BCAbstractLog"},
                                    {"BNLogWithProperties", "BCLogWithProperties"},
                                    {"BNStartServiceLog", "BCStartServiceLog"},
                                    {"BNDevice", "BCDevice"}});
    auto old = std::make_shared<Renamed<BCLogWithProperties>>("BNLogWithProperties");
    old->setType("t");
    old->setProperties(platform::Dictionary{{"k", platform::Value("v")}});
    auto decoded = modeltest::roundTrip(old).objectAs<BCLogWithProperties>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->className(), "BCLogWithProperties");
    EXPECT_TRUE(decoded->isEqual(*old));

    auto oldBase = std::make_shared<Renamed<BCAbstractLog>>("BNAbstractLog");
    oldBase->setType("t");
    auto decodedBase = modeltest::roundTrip(oldBase).objectAs<BCAbstractLog>();
    ASSERT_TRUE(decodedBase);
    EXPECT_EQ(decodedBase->className(), "BCAbstractLog");

    auto oldStart = std::make_shared<Renamed<BCStartServiceLog>>("BNStartServiceLog");
    oldStart->setServices(std::vector<std::string>{"Crashes"});
    auto decodedStart = modeltest::roundTrip(oldStart).objectAs<BCStartServiceLog>();
    ASSERT_TRUE(decodedStart);
    EXPECT_EQ(decodedStart->services(), (std::vector<std::string>{"Crashes"}));
}

TEST(BCAbstractLogArchiving, WrongTypesFailTheDecodeInsteadOfCrashing) {
    modeltest::LogCapture capture;
    for (auto [key, value] : std::vector<std::pair<std::string, platform::Value>>{
             {"timestamp", platform::Value("2026-12-07T04:06:33.123Z")},
             {"type", platform::Value(int64_t(1))},
             {"device", platform::Value("device")},
             {"device", platform::Value(std::make_shared<BCAbstractLog>())}}) {
        auto damaged = std::make_shared<DamagedLog>(key, value);
        damaged->setType("t");
        auto data = BCUtility::archiveKeyedData(damaged);
        ASSERT_TRUE(data) << key;
        EXPECT_TRUE(BCUtility::unarchiveKeyedData(data).isNull()) << key;
    }
    // A start-service log whose services are not all strings.
    class DamagedStart : public BCStartServiceLog {
    public:
        void encodeWithCoder(platform::KeyedArchiver &coder) const override {
            BCStartServiceLog::encodeWithCoder(coder);
            coder.encodeObject(platform::Array{platform::Value("Crashes"), platform::Value(int64_t(1))}, "services");
        }
    };
    EXPECT_TRUE(BCUtility::unarchiveKeyedData(BCUtility::archiveKeyedData(std::make_shared<DamagedStart>())).isNull());
    // Properties of a log with properties must be strings.
    class DamagedProperties : public BCLogWithProperties {
    public:
        void encodeWithCoder(platform::KeyedArchiver &coder) const override {
            BCLogWithProperties::encodeWithCoder(coder);
            coder.encodeObject(platform::Dictionary{{"k", platform::Value(int64_t(1))}}, "properties");
        }
    };
    EXPECT_TRUE(
        BCUtility::unarchiveKeyedData(BCUtility::archiveKeyedData(std::make_shared<DamagedProperties>())).isNull());
}

TEST(BCAbstractLogConversion, NoTokensGiveNothingAndEachTokenOneLog) {
    auto log = minimalLog();
    EXPECT_EQ(log->toCommonSchemaLogsWithFlags(1), std::nullopt);
    log->addTransmissionTargetToken("key1-secret");
    log->addTransmissionTargetToken("key2-secret");
    auto logs = log->toCommonSchemaLogsWithFlags(0x102);
    ASSERT_TRUE(logs);
    ASSERT_EQ(logs->size(), 2u);
    std::set<std::string> iKeys;
    for (const auto &cs : *logs) {
        auto tokens = cs->transmissionTargetTokens();
        ASSERT_TRUE(tokens);
        ASSERT_EQ(tokens->size(), 1u);
        EXPECT_EQ(cs->iKey, "o:" + tokens->begin()->substr(0, 4));
        EXPECT_EQ(cs->flags, std::optional<int64_t>(0x102));
        iKeys.insert(*cs->iKey);
    }
    EXPECT_EQ(iKeys, (std::set<std::string>{"o:key1", "o:key2"}));
}

TEST(BCAbstractLogConversion, FillsTheExtensionsFromTheLogAndDevice) {
    platform::Bundle::setMainBundleDirectory(std::nullopt);
    auto localizations = platform::Bundle::mainBundle()->preferredLocalizations();
    ASSERT_FALSE(localizations.empty());

    auto log = minimalLog();
    log->setUserId("alice");
    log->device()->carrierName = "Carrier";
    auto cs = log->toCommonSchemaLogForTargetToken("abc-def-ghi", 1);
    ASSERT_TRUE(cs);
    nlohmann::ordered_json expected = {
        {"timestamp", "2026-12-07T04:06:33.123Z"},
        {"ver", "3.0"},
        {"iKey", "o:abc"},
        {"flags", 1},
        {"ext",
         {{"protocol", {{"devMake", "LENOVO"}, {"devModel", "ThinkPad X1"}}},
          {"user", {{"localId", "c:alice"}, {"locale", "en-US"}}},
          {"os", {{"ver", "Version 12 (Build 6.1.0-18-amd64)"}, {"name", "Debian GNU/Linux"}}},
          {"app", {{"id", "I:com.plotwick.Plotwick"}, {"ver", "1.2"}, {"locale", localizations.front()}}},
          {"net", {{"provider", "Carrier"}}},
          {"sdk", {{"libVer", "beacon.macos-4.0.0"}}},
          {"loc", {{"tz", "+01:00"}}}}},
    };
    EXPECT_EQ(text(cs->serializeToDictionary()), text(expected));
    EXPECT_EQ(cs->timestamp(), log->timestamp());
    ASSERT_TRUE(cs->ext && cs->ext->deviceExt) << "an empty device extension is made but not written";
    EXPECT_EQ(cs->name, std::nullopt);
    EXPECT_EQ(cs->type(), std::nullopt);

    // A user id that already carries a prefix is kept; no device leaves the
    // device-derived values out.
    log->setUserId("x:bob");
    log->setDevice(nullptr);
    cs = log->toCommonSchemaLogForTargetToken("abc", 1);
    EXPECT_EQ(cs->ext->userExt->localId, "x:bob");
    EXPECT_EQ(
        text(cs->ext->serializeToDictionary()),
        text(nlohmann::ordered_json{{"user", {{"localId", "x:bob"}}}, {"app", {{"locale", localizations.front()}}}}));
}

TEST(BCAbstractLogConversion, TextFunctions) {
    EXPECT_EQ(BCAbstractLog::combineOsVersion("10.15.7", std::nullopt), "Version 10.15.7");
    EXPECT_EQ(BCAbstractLog::combineOsVersion("10.15.7", "19H2"), "Version 10.15.7 (Build 19H2)");
    EXPECT_EQ(BCAbstractLog::combineOsVersion("10.15.7", ""), "Version 10.15.7");
    EXPECT_EQ(BCAbstractLog::combineOsVersion(std::nullopt, std::nullopt), std::nullopt);
    EXPECT_EQ(BCAbstractLog::combineOsVersion("", ""), std::nullopt);
    EXPECT_EQ(BCAbstractLog::combineOsVersion(std::nullopt, "19H2"), "(Build 19H2)");

    EXPECT_EQ(BCAbstractLog::combineSDKLibVer("beacon.macos", "4.0.0"), "beacon.macos-4.0.0");
    EXPECT_EQ(BCAbstractLog::combineSDKLibVer("beacon.macos", std::nullopt), std::nullopt);
    EXPECT_EQ(BCAbstractLog::combineSDKLibVer("beacon.macos", ""), std::nullopt);
    EXPECT_EQ(BCAbstractLog::combineSDKLibVer(std::nullopt, "4.0.0"), std::nullopt);

    std::vector<std::pair<int64_t, std::string>> offsets = {
        {-60, "-01:00"},  {-59, "-00:59"}, {-30, "-00:30"},  {-1, "-00:01"},   {0, "+00:00"},
        {30, "+00:30"},   {330, "+05:30"}, {120, "+02:00"},  {-330, "-05:30"}, {345, "+05:45"},
        {-720, "-12:00"}, {840, "+14:00"}, {6000, "+100:00"}};
    for (const auto &[offset, expected] : offsets)
        EXPECT_EQ(BCAbstractLog::convertTimeZoneOffsetToISO8601(offset), expected) << offset;
    EXPECT_EQ(BCAbstractLog::convertTimeZoneOffsetToISO8601(INT64_MIN), "-153722867280912930:08");
}

TEST(BCCommonSchemaLog, ValidityEqualityAndArchiving) {
    modeltest::LogCapture capture;
    auto log = minimalLog();
    log->addTransmissionTargetToken("abc-1");
    auto cs = log->toCommonSchemaLogForTargetToken("abc-1", 2);
    EXPECT_TRUE(cs->isValid()) << "what the conversion makes is valid without a type or a name";
    EXPECT_TRUE(capture.lines().empty());
    // A token without a target key gives no instrumentation key.
    EXPECT_FALSE(log->toCommonSchemaLogForTargetToken("-1", 2)->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCCommonSchemaLog: \"iKey\" is not valid."));
    BCCommonSchemaLog empty;
    EXPECT_FALSE(empty.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCCommonSchemaLog: \"ver\" is not valid."));
    empty.ver = "3.0";
    EXPECT_FALSE(empty.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCCommonSchemaLog: \"timestamp\" is not valid."));

    cs->name = "event";
    cs->setSid("s");
    std::vector<std::string> keys;
    auto json = cs->serializeToDictionary();
    for (const auto &item : json.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"timestamp", "sid", "ver", "name", "iKey", "flags", "ext"}))
        << "the base's keys come first";

    cs->popSample = 50.5;
    cs->cV = "cv";
    cs->data = platform::Dictionary{{"baseType", platform::Value("x")}};
    cs->ext->sdkExt->installId = platform::UUID::random();
    cs->ext->sdkExt->seq = 4;
    auto decoded = modeltest::roundTrip(cs).objectAs<BCCommonSchemaLog>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*cs));
    EXPECT_EQ(decoded->transmissionTargetTokens(), std::nullopt);
    EXPECT_EQ(text(decoded->serializeToDictionary()), text(cs->serializeToDictionary()));

    auto other = modeltest::roundTrip(cs).objectAs<BCCommonSchemaLog>();
    other->ext->locExt->tz = "+03:00";
    EXPECT_FALSE(other->isEqual(*cs));
}
