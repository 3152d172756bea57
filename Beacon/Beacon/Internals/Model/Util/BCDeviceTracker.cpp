#include "BCDeviceTracker.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/utsname.h>

#include "BCHistoryUtil.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kPastDevicesKey = "PastDevices";

// The sources of the next shared tracker; never destroyed, as the shared
// tracker itself.
struct TestSources {
    std::mutex mutex;
    std::optional<BCDeviceTracker::Sources> sources;
};
TestSources &testSources() {
    static auto *sources = new TestSources;
    return *sources;
}

std::string trim(const std::string &text) {
    const char *blanks = " \t\r\n";
    size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

// The first line of a small text file, trimmed; nothing when it is missing
// or empty.
std::optional<std::string> readFirstLine(const char *path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return std::nullopt;
    line = trim(line);
    if (line.empty()) return std::nullopt;
    return line;
}

std::optional<std::string> osReleaseField(const std::string &key) {
    for (const char *path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream file(path);
        if (!file) continue;
        std::stringstream contents;
        contents << file.rdbuf();
        return BCDeviceTracker::osReleaseValue(contents.str(), key);
    }
    return std::nullopt;
}

std::optional<std::string> kernelName() {
    struct utsname name {};
    if (uname(&name) != 0) return std::nullopt;
    return std::string(name.sysname);
}

std::optional<std::string> kernelRelease() {
    struct utsname name {};
    if (uname(&name) != 0) return std::nullopt;
    return std::string(name.release);
}

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

// A fact from the system: DMI strings may be Latin-1 and the locale any
// bytes, so the text is decoded lossily (U+FFFD) and the device always
// serialises.
std::optional<std::string> text(const BCDeviceTracker::TextSource &source) {
    std::optional<std::string> fact = source ? source() : std::nullopt;
    if (fact) fact = platform::text::lossyUTF8(*fact);
    return fact;
}

}  // namespace

BCDeviceTracker::Sources BCDeviceTracker::Sources::system() {
    Sources s;
    s.model = [] { return readFirstLine("/sys/class/dmi/id/product_name"); };
    s.oemName = [] { return readFirstLine("/sys/class/dmi/id/sys_vendor"); };
    s.osName = [] {
        auto name = nonEmpty(osReleaseField("NAME"));
        return name ? name : kernelName();
    };
    s.osVersion = [] {
        auto version = nonEmpty(osReleaseField("VERSION_ID"));
        return version ? version : kernelRelease();
    };
    s.osBuild = [] { return kernelRelease(); };
    s.locale = [] {
        auto info = platform::ProcessInfo::processInfo();
        auto posix = nonEmpty(info->environmentValue("LC_ALL"));
        if (!posix) posix = nonEmpty(info->environmentValue("LANG"));
        return std::optional<std::string>(localeIdentifierFromPosixLocale(posix));
    };
    s.timeZoneOffset = []() -> std::optional<int64_t> {
        time_t now = time(nullptr);
        struct tm local {};
        if (!localtime_r(&now, &local)) return std::nullopt;
        return static_cast<int64_t>(local.tm_gmtoff / 60);
    };
    s.screenSize = []() -> std::optional<std::string> {
        // "1920,1080" for the first frame buffer; no display facts otherwise.
        auto size = readFirstLine("/sys/class/graphics/fb0/virtual_size");
        if (!size) return std::nullopt;
        size_t comma = size->find(',');
        if (comma == std::string::npos || comma == 0 || comma + 1 == size->size()) return std::nullopt;
        return size->substr(0, comma) + "x" + size->substr(comma + 1);
    };
    s.appVersion = [] { return platform::Bundle::mainBundle()->shortVersionString(); };
    s.appBuild = [] { return platform::Bundle::mainBundle()->buildVersion(); };
    s.appNamespace = [] { return platform::Bundle::mainBundle()->bundleIdentifier(); };
    return s;
}

std::shared_ptr<BCDeviceTracker> BCDeviceTracker::sharedInstance() {
    return platform::SharedInstance<BCDeviceTracker>::get([] {
        std::optional<Sources> sources;
        {
            std::lock_guard<std::mutex> lock(testSources().mutex);
            sources = testSources().sources;
        }
        return std::make_shared<BCDeviceTracker>(sources ? *sources : Sources::system());
    });
}

void BCDeviceTracker::resetSharedInstance() { platform::SharedInstance<BCDeviceTracker>::reset(); }

void BCDeviceTracker::setSourcesForTesting(std::optional<Sources> sources) {
    std::lock_guard<std::mutex> lock(testSources().mutex);
    testSources().sources = std::move(sources);
}

BCDeviceTracker::BCDeviceTracker(Sources sources) : sources_(std::move(sources)) {
    deviceHistory_ = BCHistoryUtil::loadHistory<BCDeviceHistoryInfo>(
        kPastDevicesKey, "The stored device history holds an unusable entry; it is ignored.",
        [](const BCDeviceHistoryInfo &info) { return info.device != nullptr; });
    // Lookups search by date, so the entries must be in date order.
    std::stable_sort(deviceHistory_.begin(), deviceHistory_.end(),
                     [](const auto &a, const auto &b) { return a->timestamp < b->timestamp; });
}

std::shared_ptr<BCDevice> BCDeviceTracker::device() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (device_ && !needsRefresh_) return device_;
    device_ = makeDevice();
    needsRefresh_ = false;
    deviceHistory_.push_back(std::make_shared<BCDeviceHistoryInfo>(platform::Date::now(), device_));
    while (deviceHistory_.size() > kMaxDevicesHistoryCount) deviceHistory_.erase(deviceHistory_.begin());
    storeHistory();
    return device_;
}

void BCDeviceTracker::clearDevices() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (deviceHistory_.size() >= 2) deviceHistory_.erase(deviceHistory_.begin(), deviceHistory_.end() - 1);
    storeHistory();
}

std::shared_ptr<BCDevice> BCDeviceTracker::deviceForTimestamp(const std::optional<platform::Date> &timestamp) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!timestamp || deviceHistory_.empty()) return device();
    auto found = std::lower_bound(deviceHistory_.begin(), deviceHistory_.end(), *timestamp,
                                  [](const auto &info, const platform::Date &date) { return info->timestamp < date; });
    if (found == deviceHistory_.begin()) return deviceHistory_.front()->device;
    if (found == deviceHistory_.end()) return deviceHistory_.back()->device;
    return (*(found - 1))->device;
}

void BCDeviceTracker::setWrapperSdk(std::shared_ptr<BCWrapperSdk> wrapperSdk) {
    // The device goes into every log and the stored history: text that is
    // not UTF-8 would make both unwritable.
    if (wrapperSdk) {
        for (const auto *field : {&wrapperSdk->wrapperSdkVersion, &wrapperSdk->wrapperSdkName,
                                  &wrapperSdk->wrapperRuntimeVersion, &wrapperSdk->liveUpdateReleaseLabel,
                                  &wrapperSdk->liveUpdateDeploymentKey, &wrapperSdk->liveUpdatePackageHash}) {
            if (*field && !platform::text::isValidUTF8(**field)) {
                BCLogError(kLogTag, "The wrapper SDK's \"%@\" is not UTF-8 text; the wrapper SDK is not used.",
                           platform::text::lossyUTF8(**field));
                return;
            }
        }
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    wrapperSdk_ = std::move(wrapperSdk);
    needsRefresh_ = true;
}

std::shared_ptr<BCWrapperSdk> BCDeviceTracker::wrapperSdk() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return wrapperSdk_;
}

void BCDeviceTracker::setCountryCode(std::optional<std::string> countryCode) {
    if (countryCode && !platform::text::isValidUTF8(*countryCode)) {
        BCLogError(kLogTag, "The country code \"%@\" is not UTF-8 text; it is not used.",
                   platform::text::lossyUTF8(*countryCode));
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    countryCode_ = std::move(countryCode);
    needsRefresh_ = true;
}

std::optional<std::string> BCDeviceTracker::countryCode() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return countryCode_;
}

std::vector<std::shared_ptr<BCDeviceHistoryInfo>> BCDeviceTracker::deviceHistory() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return deviceHistory_;
}

std::shared_ptr<BCDevice> BCDeviceTracker::makeDevice() const {
    auto device = std::make_shared<BCDevice>();
    device->sdkName = BCUtility::sdkName();
    device->sdkVersion = BCUtility::sdkVersion();
    device->model = text(sources_.model);
    device->oemName = text(sources_.oemName);
    device->osName = text(sources_.osName);
    device->osVersion = text(sources_.osVersion);
    device->osBuild = text(sources_.osBuild);
    device->locale = text(sources_.locale);
    if (sources_.timeZoneOffset) device->timeZoneOffset = sources_.timeZoneOffset();
    device->screenSize = text(sources_.screenSize);
    device->appVersion = text(sources_.appVersion);
    device->appBuild = text(sources_.appBuild);
    device->appNamespace = text(sources_.appNamespace);
    device->carrierCountry = countryCode_;
    if (wrapperSdk_) {
        device->wrapperSdkVersion = wrapperSdk_->wrapperSdkVersion;
        device->wrapperSdkName = wrapperSdk_->wrapperSdkName;
        device->wrapperRuntimeVersion = wrapperSdk_->wrapperRuntimeVersion;
        device->liveUpdateReleaseLabel = wrapperSdk_->liveUpdateReleaseLabel;
        device->liveUpdateDeploymentKey = wrapperSdk_->liveUpdateDeploymentKey;
        device->liveUpdatePackageHash = wrapperSdk_->liveUpdatePackageHash;
    }
    return device;
}

void BCDeviceTracker::storeHistory() { BCHistoryUtil::storeHistory(deviceHistory_, kPastDevicesKey); }

std::optional<std::string> BCDeviceTracker::osReleaseValue(const std::string &contents, const std::string &key) {
    std::istringstream lines(contents);
    std::string line;
    std::optional<std::string> result;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos || line.substr(0, equals) != key) continue;
        std::string raw = line.substr(equals + 1);
        std::string value;
        if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) {
            // A quoted value; in double quotes a backslash escapes the next
            // character.
            char quote = raw[0];
            for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
                if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value += raw[i];
            }
        } else {
            value = raw;
        }
        result = value;  // a later assignment wins, as in the shell
    }
    return result;
}

std::string BCDeviceTracker::localeIdentifierFromPosixLocale(const std::optional<std::string> &posixLocale) {
    std::string name = posixLocale.value_or("");
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return "en_US_POSIX";
    return name;
}
