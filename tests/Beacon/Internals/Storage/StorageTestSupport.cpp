#include "StorageTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

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
