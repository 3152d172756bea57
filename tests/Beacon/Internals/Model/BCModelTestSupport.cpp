#include "BCModelTestSupport.h"

#include "BCBeaconUserDefaults.h"
#include "BCDeviceTracker.h"
#include "BCModelUtil.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "platform/foundation/UserDefaults.h"

namespace modeltest {

LogCapture::LogCapture() {
    BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
    BCLogger::setLogHandler([state = state_](const BCLogMessageProvider &m, BCLogLevel level, const std::string &,
                                             const char *, const char *, uint32_t) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->lines.push_back({level, m()});
    });
}

LogCapture::~LogCapture() {
    BCLogger::setLogHandler(BCLogger::defaultHandler());
    BCLogger::setCurrentLogLevel(BCLogLevelAssert);
    BCLogger::setIsUserDefinedLogLevel(false);
}

std::vector<std::pair<BCLogLevel, std::string>> LogCapture::lines() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lines;
}

bool LogCapture::contains(BCLogLevel level, const std::string &text) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (const auto &[l, t] : state_->lines)
        if (l == level && t == text) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->lines.clear();
}

SdkHome::SdkHome() {
    resetSingletons();
    platform::security::Keychain::setSharedInstance(
        std::make_shared<platform::security::Keychain>(keychainDirectory()));
}

SdkHome::~SdkHome() {
    resetSingletons();
    platform::security::Keychain::resetSharedInstance();
}

void SdkHome::relaunch() { resetSingletons(); }

void SdkHome::resetSingletons() {
    BCSessionContext::resetSharedInstance();
    BCUserIdContext::resetSharedInstance();
    BCDeviceTracker::resetSharedInstance();
    BCBeaconUserDefaults::resetSharedInstance();
    platform::UserDefaults::resetStandardUserDefaults();
}

std::shared_ptr<BCDevice> validDevice() {
    auto device = std::make_shared<BCDevice>();
    device->sdkName = "beacon.macos";
    device->sdkVersion = "4.0.0";
    device->model = "ThinkPad X1";
    device->oemName = "LENOVO";
    device->osName = "Debian GNU/Linux";
    device->osVersion = "12";
    device->osBuild = "6.1.0-18-amd64";
    device->locale = "en_US";
    device->timeZoneOffset = 60;
    device->appVersion = "1.2";
    device->appBuild = "42";
    device->appNamespace = "com.plotwick.Plotwick";
    return device;
}

platform::Value roundTrip(const platform::Value &value) {
    BCModelUtil::registerArchivableClasses();
    return BCUtility::unarchiveKeyedData(BCUtility::archiveKeyedData(value));
}

}  // namespace modeltest
