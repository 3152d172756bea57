#include "StorageTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "BCCustomPropertiesLog.h"
#include "BCLogWithProperties.h"
#include "BCUtility.h"

namespace storagetest {

std::shared_ptr<BCStartServiceLog> makeLog(const std::string &tag, size_t padding) {
    auto log = std::make_shared<BCStartServiceLog>();
    log->setTimestamp(platform::Date::now());
    log->setDevice(modeltest::validDevice());
    std::vector<std::string> services{tag};
    if (padding) services.push_back(std::string(padding, 'p'));
    log->setServices(services);
    return log;
}

std::shared_ptr<BCAbstractLog> makeVariedLog(int index) {
    std::mt19937 random(static_cast<uint32_t>(index) * 2654435761u + 7);
    static const std::vector<std::string> texts = {"",
                                                   "a",
                                                   "Crashes",
                                                   "$class",
                                                   "NS.objects",
                                                   "fifteen chars..",
                                                   "sixteen chars...",
                                                   "gr\xC3\xBC\xC3\x9F dich",
                                                   "\xF0\x9F\x98\x80",
                                                   "6A2B1F4E-7C1D-4E2A-9F3B-1D2C3B4A5F60",
                                                   std::string(300, 's'),
                                                   std::string(70000, 'w')};
    const auto text = [&]() -> std::string {
        // The long text now and then only.
        const size_t pick = random() % (texts.size() * 4);
        return pick < texts.size() - 1 ? texts[pick] : texts[pick % (texts.size() - 1)] + std::to_string(pick);
    };
    const auto maybe = [&]() -> std::optional<std::string> {
        if (random() % 3 == 0) return std::nullopt;
        return random() % 40 == 0 ? texts.back() : text();
    };
    static const auto shared = modeltest::validDevice();
    std::shared_ptr<BCDevice> device = shared;
    if (random() % 2) {
        device = std::make_shared<BCDevice>();
        device->sdkName = maybe();
        device->sdkVersion = maybe();
        device->model = maybe();
        device->oemName = maybe();
        device->osName = maybe();
        device->osVersion = maybe();
        device->osBuild = maybe();
        if (random() % 2) device->osApiLevel = int64_t(random() % 40);
        device->locale = maybe();
        if (random() % 2) device->timeZoneOffset = int64_t(random() % 1500) - 750;
        device->screenSize = maybe();
        device->appVersion = maybe();
        device->carrierName = maybe();
        device->carrierCountry = maybe();
        device->appBuild = maybe();
        device->appNamespace = maybe();
        device->wrapperSdkVersion = maybe();
        device->wrapperSdkName = maybe();
        device->wrapperRuntimeVersion = maybe();
        device->liveUpdateReleaseLabel = maybe();
        device->liveUpdateDeploymentKey = maybe();
        device->liveUpdatePackageHash = maybe();
    }
    const auto properties = [&] {
        platform::Dictionary dictionary;
        const size_t count = random() % 20;
        for (size_t i = 0; i < count; ++i) {
            // In this order, which an expression of both calls would leave
            // to the compiler: the digests of the stored texts rely on it.
            const std::string suffix = std::to_string(random() % 5);
            const std::string key = text() + suffix;
            switch (random() % 6) {
            case 0: dictionary[key] = platform::Value(int64_t(random()) - (int64_t(1) << 31)); break;
            case 1: dictionary[key] = platform::Value(random() % 2 == 0); break;
            case 2: dictionary[key] = platform::Value(double(random()) / 7.0); break;
            case 3:
                dictionary[key] =
                    platform::Value(platform::Date::fromTimeIntervalSince1970(1.7e9 + random() % 1000 / 8.0));
                break;
            default: dictionary[key] = platform::Value(text()); break;
            }
        }
        return dictionary;
    };
    std::shared_ptr<BCAbstractLog> log;
    switch (random() % 3) {
    case 0: {
        auto start = std::make_shared<BCStartServiceLog>();
        if (random() % 4) {
            std::vector<std::string> services;
            for (size_t i = random() % 6; i > 0; --i) services.push_back(text());
            start->setServices(services);
        }
        log = start;
        break;
    }
    case 1: {
        auto custom = std::make_shared<BCCustomPropertiesLog>();
        if (random() % 4) custom->setProperties(properties());
        log = custom;
        break;
    }
    default: {
        auto withProperties = std::make_shared<BCLogWithProperties>();
        withProperties->setType(maybe());
        if (random() % 4) {
            platform::Dictionary strings;
            for (size_t i = random() % 8; i > 0; --i) strings[text()] = platform::Value(text());
            withProperties->setProperties(strings);
        }
        log = withProperties;
        break;
    }
    }
    if (random() % 5) log->setTimestamp(platform::Date::fromTimeIntervalSince1970(1.6e9 + double(random()) / 1024.0));
    log->setSid(maybe());
    log->setDistributionGroupId(maybe());
    log->setUserId(maybe());
    if (random() % 6) log->setDevice(device);
    return log;
}

std::shared_ptr<BCCommonSchemaLog> makeCommonSchemaLog(const std::string &token) {
    auto log = std::make_shared<BCCommonSchemaLog>();
    log->ver = "3.0";
    log->name = "event";
    log->iKey = *BCUtility::iKeyFromTargetToken(token);
    log->setTimestamp(platform::Date::now());
    log->addTransmissionTargetToken(token);
    return log;
}

std::string tagOf(const std::shared_ptr<BCLog> &log) {
    auto start = std::dynamic_pointer_cast<BCStartServiceLog>(log);
    if (!start || !start->services() || start->services()->empty()) return "";
    return start->services()->front();
}

std::string sql(const std::filesystem::path &db, const std::string &statement) {
    std::string out = testsupport::runCommand("sqlite3 '" + db.string() + "' \"" + statement + "\" 2>&1");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

StoreHome::StoreHome() : sdk_(home_.path() / "sdk") { BCUtility::setBeaconDirectoryURLForTesting(sdk_); }

StoreHome::~StoreHome() { BCUtility::setBeaconDirectoryURLForTesting({}); }

bool isChild() { return std::getenv("PLOTWICK_STORAGE_CHILD") != nullptr; }

int runChildTest(const std::string &testName, const std::string &prefix) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = 0;
    int status = 0;
    testsupport::runCommand("PLOTWICK_STORAGE_CHILD=1 timeout 120 " + prefix + " '" + std::string(self) +
                                "' --gtest_filter='" + testName + "' >/dev/null 2>&1",
                            &status);
    return status;
}

}  // namespace storagetest
