#pragma once
// Builds the description of the running device that every new log carries,
// and keeps a short history of past descriptions (under "PastDevices" in the
// SDK's user defaults) so that a log about the past gets the device of its
// moment. Each fact comes from a source function, so tests can fix it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCDevice.h"
#include "BCDeviceHistoryInfo.h"
#include "BCWrapperSdk.h"
#include "platform/foundation/Date.h"

class BCDeviceTracker {
public:
    // The most past devices kept; the oldest give way first.
    static constexpr size_t kMaxDevicesHistoryCount = 5;

    using TextSource = std::function<std::optional<std::string>()>;
    using NumberSource = std::function<std::optional<int64_t>()>;

    // Where the device facts come from. An empty function gives nothing.
    struct Sources {
        TextSource model;             // /sys/class/dmi/id/product_name
        TextSource oemName;           // /sys/class/dmi/id/sys_vendor
        TextSource osName;            // NAME of os-release, else the kernel's name
        TextSource osVersion;         // VERSION_ID of os-release, else the kernel release
        TextSource osBuild;           // the kernel release
        TextSource locale;            // LC_ALL, else LANG, as "en_US"
        NumberSource timeZoneOffset;  // minutes east of UTC, from tm_gmtoff
        TextSource screenSize;        // "<width>x<height>" of the first frame buffer
        TextSource appVersion;        // CFBundleShortVersionString of the main bundle
        TextSource appBuild;          // CFBundleVersion of the main bundle
        TextSource appNamespace;      // CFBundleIdentifier of the main bundle

        // The facts of the running Linux system and application.
        static Sources system();
    };

    static std::shared_ptr<BCDeviceTracker> sharedInstance();
    static void resetSharedInstance();
    // The sources the next shared instance is made with (nullopt: the
    // system's again).
    static void setSourcesForTesting(std::optional<Sources> sources);

    explicit BCDeviceTracker(Sources sources = Sources::system());

    // The current device; made on first use, and again after the wrapper SDK
    // or the country code changed. Each new device joins the history.
    std::shared_ptr<BCDevice> device();
    // Keeps only the newest past device (when there are at least two) and
    // stores the history.
    void clearDevices();
    // The device that was current at the date: the entry just before the
    // first entry stamped at or after it, the oldest for earlier dates, the
    // newest for later ones; the current device for no date or no history.
    std::shared_ptr<BCDevice> deviceForTimestamp(const std::optional<platform::Date> &timestamp);

    void setWrapperSdk(std::shared_ptr<BCWrapperSdk> wrapperSdk);
    std::shared_ptr<BCWrapperSdk> wrapperSdk() const;
    void setCountryCode(std::optional<std::string> countryCode);
    std::optional<std::string> countryCode() const;

    // The history, oldest first.
    std::vector<std::shared_ptr<BCDeviceHistoryInfo>> deviceHistory() const;

    // Parsing helpers of the system sources.
    // The value of a key of an os-release file (quotes and escapes removed).
    static std::optional<std::string> osReleaseValue(const std::string &contents, const std::string &key);
    // A locale identifier from a POSIX locale name: "de_DE.UTF-8@euro" gives
    // "de_DE"; "C", "POSIX" or nothing gives "en_US_POSIX".
    static std::string localeIdentifierFromPosixLocale(const std::optional<std::string> &posixLocale);

private:
    std::shared_ptr<BCDevice> makeDevice() const;
    void storeHistory();

    mutable std::recursive_mutex mutex_;
    Sources sources_;
    std::shared_ptr<BCDevice> device_;
    bool needsRefresh_ = true;
    std::shared_ptr<BCWrapperSdk> wrapperSdk_;
    std::optional<std::string> countryCode_;
    std::vector<std::shared_ptr<BCDeviceHistoryInfo>> deviceHistory_;
};
