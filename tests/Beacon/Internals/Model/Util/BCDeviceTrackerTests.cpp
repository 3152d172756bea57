#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "BCAbstractLog.h"
#include "BCBeaconUserDefaults.h"
#include "BCDeviceTracker.h"
#include "BCUtility.h"
#include "platform/foundation/Bundle.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

namespace {

platform::Date at(const char *iso) { return *BCUtility::dateFromISO8601(iso); }

BCDeviceTracker::Sources fixedSources(std::string model = "Model 1") {
    BCDeviceTracker::Sources s;
    s.model = [model] { return std::optional<std::string>(model); };
    s.oemName = [] { return std::optional<std::string>("Maker"); };
    s.osName = [] { return std::optional<std::string>("Debian GNU/Linux"); };
    s.osVersion = [] { return std::optional<std::string>("12"); };
    s.osBuild = [] { return std::optional<std::string>("6.1.0"); };
    s.locale = [] { return std::optional<std::string>("de_DE"); };
    s.timeZoneOffset = [] { return std::optional<int64_t>(-90); };
    s.screenSize = [] { return std::optional<std::string>(); };
    s.appVersion = [] { return std::optional<std::string>("2.0"); };
    s.appBuild = [] { return std::optional<std::string>("200"); };
    s.appNamespace = [] { return std::optional<std::string>("com.plotwick.Plotwick"); };
    return s;
}

std::shared_ptr<BCDevice> deviceWithModel(const std::string &model) {
    auto device = modeltest::validDevice();
    device->model = model;
    return device;
}

void storePastDevices(const std::vector<std::pair<const char *, std::string>> &entries) {
    platform::Array array;
    for (const auto &[iso, model] : entries)
        array.emplace_back(std::make_shared<BCDeviceHistoryInfo>(at(iso), deviceWithModel(model)));
    auto data = BCUtility::archiveKeyedData(platform::Value(array));
    ASSERT_TRUE(data);
    BCBeaconUserDefaults::shared()->setObject(platform::Value(*data), "PastDevices");
}

size_t storedCount() {
    platform::Value stored = BCBeaconUserDefaults::shared()->objectForKey("PastDevices");
    if (!stored.data()) return 0;
    return BCUtility::unarchiveKeyedData(*stored.data()).array()->size();
}

// Sets TZ for the lifetime of the object.
class TimeZone {
public:
    explicit TimeZone(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (old) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST(BCDeviceTracker, BuildsTheDeviceFromItsSources) {
    modeltest::SdkHome home;
    BCDeviceTracker tracker(fixedSources());
    auto device = tracker.device();
    ASSERT_TRUE(device);
    EXPECT_EQ(modeltest::text(device->serializeToDictionary()),
              modeltest::text(R"({"sdkName":"beacon.macos","sdkVersion":"4.0.0","model":"Model 1","oemName":"Maker",
                                  "osName":"Debian GNU/Linux","osVersion":"12","osBuild":"6.1.0","locale":"de_DE",
                                  "timeZoneOffset":-90,"appVersion":"2.0","appBuild":"200",
                                  "appNamespace":"com.plotwick.Plotwick"})"));
    EXPECT_TRUE(device->isValid());
    EXPECT_EQ(tracker.device(), device) << "the same device until something changes";
    EXPECT_EQ(tracker.deviceHistory().size(), 1u);
    EXPECT_EQ(storedCount(), 1u);
}

TEST(BCDeviceTracker, WrapperSdkAndCountryCodeGoToTheNextDevice) {
    modeltest::SdkHome home;
    BCDeviceTracker tracker(fixedSources());
    auto first = tracker.device();
    tracker.setWrapperSdk(std::make_shared<BCWrapperSdk>("1.0", "wrapper", "rt", "label", "key", "hash"));
    tracker.setCountryCode("DE");
    EXPECT_EQ(tracker.countryCode(), "DE");
    ASSERT_TRUE(tracker.wrapperSdk());
    auto second = tracker.device();
    EXPECT_NE(first, second);
    EXPECT_EQ(first->wrapperSdkName, std::nullopt);
    EXPECT_EQ(second->wrapperSdkName, "wrapper");
    EXPECT_EQ(second->liveUpdatePackageHash, "hash");
    EXPECT_EQ(second->carrierCountry, "DE");
    EXPECT_EQ(second->carrierName, std::nullopt);
    EXPECT_EQ(tracker.deviceHistory().size(), 2u);
}

TEST(BCDeviceTracker, HistoryIsBoundedAndSurvivesARelaunch) {
    modeltest::SdkHome home;
    {
        BCDeviceTracker tracker(fixedSources());
        for (int i = 0; i < 7; ++i) {
            tracker.setCountryCode(std::to_string(i));
            (void)tracker.device();
        }
        EXPECT_EQ(tracker.deviceHistory().size(), BCDeviceTracker::kMaxDevicesHistoryCount);
        EXPECT_EQ(tracker.deviceHistory().front()->device->carrierCountry, "2") << "the oldest gave way";
    }
    home.relaunch();
    BCDeviceTracker tracker(fixedSources());
    auto history = tracker.deviceHistory();
    ASSERT_EQ(history.size(), BCDeviceTracker::kMaxDevicesHistoryCount);
    EXPECT_EQ(history.back()->device->carrierCountry, "6");
    tracker.clearDevices();
    ASSERT_EQ(tracker.deviceHistory().size(), 1u);
    EXPECT_EQ(tracker.deviceHistory().front()->device->carrierCountry, "6") << "the newest is kept";
    EXPECT_EQ(storedCount(), 1u);
    tracker.clearDevices();
    EXPECT_EQ(tracker.deviceHistory().size(), 1u) << "one entry is never removed";
}

TEST(BCDeviceTracker, SystemFactsThatAreNotUTF8AreDecodedLossily) {
    // A DMI vendor in Latin-1 and a locale of arbitrary bytes: the device
    // still serialises, and the history holding it survives a relaunch.
    modeltest::SdkHome home;
    auto sources = fixedSources();
    sources.oemName = [] { return std::optional<std::string>("Soci\xe9t\xe9 G\xe9n\xe9rale"); };
    sources.locale = [] {
        return std::optional<std::string>(BCDeviceTracker::localeIdentifierFromPosixLocale("\xc3\x28"));
    };
    {
        BCDeviceTracker tracker(sources);
        auto device = tracker.device();
        EXPECT_EQ(device->oemName, "Soci\uFFFDt\uFFFD G\uFFFDn\uFFFDrale");
        EXPECT_EQ(device->locale, "\uFFFD(");
        auto log = std::make_shared<BCAbstractLog>();
        log->setType("sample");
        log->setTimestamp(at("2026-01-01T10:00:00.000Z"));
        log->setDevice(device);
        EXPECT_TRUE(log->serializeLogWithPrettyPrinting(false));
        EXPECT_TRUE(log->serializeLogWithPrettyPrinting(true));
    }
    home.relaunch();
    BCDeviceTracker tracker(fixedSources());
    ASSERT_EQ(tracker.deviceHistory().size(), 1u);
    EXPECT_EQ(tracker.deviceHistory().front()->device->locale, "\uFFFD(");

    // A caller's text that is not UTF-8 is refused, the earlier value kept.
    modeltest::LogCapture capture;
    tracker.setCountryCode("DE");
    tracker.setCountryCode(std::string("\xc3\x28"));
    EXPECT_EQ(tracker.countryCode(), "DE");
    tracker.setWrapperSdk(
        std::make_shared<BCWrapperSdk>("1.0", "\xff", std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_EQ(tracker.wrapperSdk(), nullptr);
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(tracker.device()->carrierCountry, "DE");
}

TEST(BCDeviceTracker, DeviceForTimestampAtAndAroundEveryBoundary) {
    modeltest::SdkHome home;
    storePastDevices(
        {{"2026-01-01T10:00:00.000Z", "d1"}, {"2026-01-01T11:00:00.000Z", "d2"}, {"2026-01-01T12:00:00.000Z", "d3"}});
    home.relaunch();
    BCDeviceTracker tracker(fixedSources("current"));
    auto modelAt = [&](const char *iso) { return tracker.deviceForTimestamp(at(iso))->model.value_or("-"); };
    EXPECT_EQ(modelAt("2026-01-01T09:00:00.000Z"), "d1") << "before every entry: the oldest";
    EXPECT_EQ(modelAt("2026-01-01T10:00:00.000Z"), "d1");
    EXPECT_EQ(modelAt("2026-01-01T10:30:00.000Z"), "d1");
    EXPECT_EQ(modelAt("2026-01-01T11:00:00.000Z"), "d1") << "an equal timestamp belongs to the entry before";
    EXPECT_EQ(modelAt("2026-01-01T11:00:00.001Z"), "d2");
    EXPECT_EQ(modelAt("2026-01-01T12:00:00.000Z"), "d2");
    EXPECT_EQ(modelAt("2026-01-01T12:00:00.001Z"), "d3") << "after every entry: the newest";
    EXPECT_EQ(tracker.deviceHistory().size(), 3u) << "lookups have no side effect";
    EXPECT_EQ(tracker.deviceForTimestamp(std::nullopt)->model, "current");
}

TEST(BCDeviceTracker, NoHistoryGivesTheCurrentDeviceAndUnreadableHistoryIsEmpty) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCBeaconUserDefaults::shared()->setObject(platform::Value(platform::Data{0, 1}), "PastDevices");
    home.relaunch();
    BCDeviceTracker tracker(fixedSources("current"));
    EXPECT_TRUE(tracker.deviceHistory().empty());
    EXPECT_EQ(tracker.deviceForTimestamp(at("2026-01-01T10:00:00.000Z"))->model, "current");

    // An entry without a device makes the whole stored history unusable.
    platform::Array entries{
        platform::Value(std::make_shared<BCDeviceHistoryInfo>(at("2026-01-01T10:00:00.000Z"), deviceWithModel("d1"))),
        platform::Value(std::make_shared<BCDeviceHistoryInfo>(at("2026-01-01T11:00:00.000Z"), nullptr))};
    auto data = BCUtility::archiveKeyedData(platform::Value(entries));
    ASSERT_TRUE(data);
    BCBeaconUserDefaults::shared()->setObject(platform::Value(*data), "PastDevices");
    home.relaunch();
    BCDeviceTracker again(fixedSources("current"));
    EXPECT_TRUE(again.deviceHistory().empty());
    EXPECT_TRUE(capture.contains(BCLogLevelError, "The stored device history holds an unusable entry; it is ignored."));
}

TEST(BCDeviceTrackerSystem, TheRunningSystemGivesAValidDevice) {
    modeltest::SdkHome home;
    testsupport::TemporaryDirectory bundle;
    {
        FILE *plist = fopen((bundle.path() / "Info.plist").c_str(), "w");
        ASSERT_TRUE(plist);
        fputs(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>com.plotwick.Test</string>"
            "<key>CFBundleShortVersionString</key><string>3.1</string>"
            "<key>CFBundleVersion</key><string>77</string></dict></plist>\n",
            plist);
        fclose(plist);
    }
    platform::Bundle::setMainBundleDirectory(bundle.path());
    TimeZone tz("XYZ-5:30");
    auto device = BCDeviceTracker(BCDeviceTracker::Sources::system()).device();
    platform::Bundle::setMainBundleDirectory(std::nullopt);
    EXPECT_TRUE(device->isValid());
    EXPECT_EQ(device->timeZoneOffset, std::optional<int64_t>(330));
    EXPECT_EQ(device->appVersion, "3.1");
    EXPECT_EQ(device->appBuild, "77");
    EXPECT_EQ(device->appNamespace, "com.plotwick.Test");
    EXPECT_EQ(device->carrierName, std::nullopt);
    EXPECT_FALSE(device->osName->empty());
    EXPECT_FALSE(device->osBuild->empty());
    {
        TimeZone west("ABC+1");
        EXPECT_EQ(BCDeviceTracker::Sources::system().timeZoneOffset(), std::optional<int64_t>(-60));
    }
}

TEST(BCDeviceTrackerSystem, LocaleAndOsReleaseParsing) {
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale("en_US.UTF-8"), "en_US");
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale("de_DE@euro"), "de_DE");
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale("de_DE.ISO-8859-15@euro"), "de_DE");
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale("fr"), "fr");
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale("C.UTF-8"), "en_US_POSIX");
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale("POSIX"), "en_US_POSIX");
    EXPECT_EQ(BCDeviceTracker::localeIdentifierFromPosixLocale(std::nullopt), "en_US_POSIX");

    const std::string osRelease =
        "# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
        "VERSION_ID='12'\nID=debian\nQUOTED=\"a \\\"b\\\" c\"\nID=debian2\n";
    EXPECT_EQ(BCDeviceTracker::osReleaseValue(osRelease, "NAME"), "Debian GNU/Linux");
    EXPECT_EQ(BCDeviceTracker::osReleaseValue(osRelease, "VERSION_ID"), "12");
    EXPECT_EQ(BCDeviceTracker::osReleaseValue(osRelease, "ID"), "debian2");
    EXPECT_EQ(BCDeviceTracker::osReleaseValue(osRelease, "QUOTED"), "a \"b\" c");
    EXPECT_EQ(BCDeviceTracker::osReleaseValue(osRelease, "VERSION"), std::nullopt);
    EXPECT_EQ(BCDeviceTracker::osReleaseValue("", "NAME"), std::nullopt);
}
