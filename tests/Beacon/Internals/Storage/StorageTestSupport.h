#pragma once
// Shared fixtures of the store and ingestion tests: a private SDK directory,
// logs to store, the sqlite3 CLI as an oracle, and child processes.
#include <filesystem>
#include <memory>
#include <string>

#include "BCCommonSchemaLog.h"
#include "BCStartServiceLog.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "support/TestSupport.h"

namespace storagetest {

// A valid ordinary log; `tag` lands in its services, so logs can be told
// apart after a round trip.
std::shared_ptr<BCStartServiceLog> makeLog(const std::string &tag = "Crashes", size_t padding = 0);
// The log number `index` of a fixed series that varies every archived field:
// absent and present values, shared and new devices, wrapper fields, texts
// that recur, long ones and ones beyond ASCII, property dictionaries with
// numbers, booleans and dates. The same index always gives the same log.
std::shared_ptr<BCAbstractLog> makeVariedLog(int index);
// A valid common-schema log for the target token.
std::shared_ptr<BCCommonSchemaLog> makeCommonSchemaLog(const std::string &token);
// The services tag of a log made by makeLog.
std::string tagOf(const std::shared_ptr<BCLog> &log);

// Runs SQL through the sqlite3 CLI; the output without its last line break.
std::string sql(const std::filesystem::path &db, const std::string &statement);

// The SDK's directory, keychain and user defaults in a temporary folder, and
// every logger line captured.
class StoreHome {
public:
    StoreHome();
    ~StoreHome();
    std::filesystem::path sdkDirectory() const { return sdk_; }
    std::filesystem::path logsFile() const { return sdk_ / "Logs.sqlite"; }
    modeltest::LogCapture log;

private:
    modeltest::SdkHome home_;
    std::filesystem::path sdk_;
};

// Runs this test binary again with only the named test, with
// PLOTWICK_STORAGE_CHILD=1 in its environment (and a time limit), and
// answers its exit status. `prefix` is prepended to the command line (for
// example an unshare call).
int runChildTest(const std::string &testName, const std::string &prefix = "");
bool isChild();

}  // namespace storagetest
