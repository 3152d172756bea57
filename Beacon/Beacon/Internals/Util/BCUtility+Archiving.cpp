// Keyed archiving of the SDK's persistent objects, with renames of class
// names that older versions archived.
#include <mutex>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kRootKey = "root";

// Never destroyed: worker threads may still unarchive while the process exits.
std::mutex &migrationMutex() {
    static auto *m = new std::mutex;
    return *m;
}
std::map<std::string, std::string> &migrationClasses() {
    static auto *table = new std::map<std::string, std::string>;
    return *table;
}

std::string describe(const platform::ErrorPtr &error) { return error ? error->localizedDescription() : "(null)"; }

}  // namespace

std::optional<platform::Data> BCUtility::archiveKeyedData(const platform::Value &object) {
    if (object.isNull()) return std::nullopt;
    platform::ErrorPtr error;
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(object, &error);
    if (!data) BCLogError(kLogTag, "Archiving NSData failed with error: %@", describe(error));
    return data;
}

platform::Value BCUtility::unarchiveKeyedData(const std::optional<platform::Data> &data, platform::ErrorPtr *errorOut) {
    if (!data) return {};
    platform::ErrorPtr error;
    std::optional<platform::Value> result;
    if (auto unarchiver = platform::KeyedUnarchiver::make(*data, &error)) {
        std::map<std::string, std::string> renames;
        {
            std::lock_guard<std::mutex> lock(migrationMutex());
            renames = migrationClasses();
        }
        for (const auto &[codedName, className] : renames) unarchiver->instanceSetClass(className, codedName);
        result = unarchiver->decodeTopLevelObjectForKey(kRootKey, &error);
    }
    if (!result || result->isNull()) {
        if (errorOut) {
            *errorOut = error;
        } else {
            BCLogError(kLogTag, "Unarchiving NSData failed with error: %@", describe(error));
        }
        return {};
    }
    return *result;
}

void BCUtility::addMigrationClasses(const std::map<std::string, std::string> &classes) {
    std::lock_guard<std::mutex> lock(migrationMutex());
    for (const auto &[codedName, className] : classes) migrationClasses()[codedName] = className;
}
