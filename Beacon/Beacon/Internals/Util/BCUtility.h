#pragma once
// Class-level utilities of the telemetry core and the crash service: SDK
// identity, application state, ISO 8601 dates, the SDK's private files
// directory, keyed archiving with renames of old class names, validation of
// string properties, and the secret-string and environment helpers.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/appkit/Application.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"

// Application state codes answered by applicationState.
enum BCApplicationState : long {
    BCApplicationStateActive = 0,
    BCApplicationStateBackground = 2,
    BCApplicationStateUnknown = 3,
};

// The environment the application was installed from; this platform has no
// store environment and always answers "other".
enum BCEnvironment : long {
    BCEnvironmentAppStore = 0,
    BCEnvironmentTestFlight = 1,
    BCEnvironmentOther = 99,
};

// At most this many properties, and this many UTF-16 units per key and value.
inline constexpr int kBCMaxPropertiesPerLog = 20;
inline constexpr size_t kBCMaxPropertyKeyLength = 125;
inline constexpr size_t kBCMaxPropertyValueLength = 125;

class BCUtility {
public:
    using URL = std::filesystem::path;

    // SDK identity, read from the record in the executable's "__bc_sdk" section.
    static std::string sdkName();
    static std::string sdkVersion();

    // Application state.
    static BCApplicationState applicationState();
    static BCApplicationState sharedAppState();
    static std::shared_ptr<platform::appkit::Application> sharedApp();
    static std::shared_ptr<platform::appkit::ApplicationDelegate> sharedAppDelegate();
    // Opens the URL asynchronously on the main queue and tells the completion
    // whether it was opened; the options are not used.
    static void sharedAppOpenUrl(const std::string &url, const platform::Dictionary &options,
                                 std::function<void(bool)> completion);

    // Dates.
    static double nowInMilliseconds();
    static std::string dateToISO8601(const platform::Date &date);
    static std::optional<platform::Date> dateFromISO8601(const std::string &text);
    static void resetDateFormatterInstance();

    // Files under the SDK directory. Path components are appended as text
    // below the directory: no component escapes it.
    static URL beaconDirectoryURL();
    static std::optional<URL> fullURLForPathComponent(const std::optional<std::string> &pathComponent);
    static bool fileExistsForPathComponent(const std::optional<std::string> &pathComponent);
    static std::optional<URL> createFileAtPathComponent(const std::optional<std::string> &pathComponent,
                                                        const std::optional<platform::Data> &data, bool atomically,
                                                        bool forceOverwrite);
    static std::optional<URL> createDirectoryForPathComponent(const std::optional<std::string> &pathComponent);
    static std::optional<platform::Data> loadDataForPathComponent(const std::optional<std::string> &pathComponent);
    // Entries of a directory below the SDK directory (full URL, name, size,
    // regular-file flag); nil for a nil or empty component or when the
    // directory can't be listed.
    static std::optional<std::vector<platform::FileManager::DirectoryEntry>> contentsOfDirectory(
        const std::optional<std::string> &pathComponent);
    static bool deleteItemForPathComponent(const std::optional<std::string> &pathComponent);
    static bool deleteFileAtURL(const std::optional<URL> &url);
    // Creates the folder and its missing parents 0700, whatever the umask;
    // an existing folder is never widened.
    static bool createDirectoryAtURL(const URL &url);
    // Takes the group's and others' permissions off the folder and what it
    // holds (folders 0700, files 0600 as the SDK makes them), recursively,
    // never following a symbolic link. A file in it with other hard links
    // (the folder copied with hard links, say) is taken back with a private
    // copy (platform::FileManager::takeBackHardLinkedEntry), one line
    // saying what was found; what was set aside is left as it is. Runs on
    // the SDK directory when it is first used in the process.
    static void makeDirectoryPrivate(const URL &url);
    // The largest file of the SDK's that is copied to take it back from its
    // other hard links: far above anything it writes (the store's default
    // bound is 10 MiB). A larger one is set aside by its owner.
    static constexpr uint64_t kMaxTakenBackFileSize = uint64_t{1} << 30;
    static bool disableBackupForDirectoryURL(const std::optional<URL> &url);
    // Points the SDK directory elsewhere (tests), creating it and making it
    // private; an empty path restores the computed one.
    static void setBeaconDirectoryURLForTesting(const URL &url);

    // Keyed archiving.
    static std::optional<platform::Data> archiveKeyedData(const platform::Value &object);
    // With `error`, a failure is answered there instead of logged.
    static platform::Value unarchiveKeyedData(const std::optional<platform::Data> &data,
                                              platform::ErrorPtr *error = nullptr);
    // Old archived class name -> the current class name that decodes it.
    static void addMigrationClasses(const std::map<std::string, std::string> &migrationClasses);

    // Properties.
    static platform::Dictionary validateProperties(const platform::Dictionary &properties, const std::string &logName,
                                                   const std::string &type);

    // Secret strings and environment.
    static std::optional<std::string> appSecretFrom(const std::optional<std::string> &string);
    static std::optional<std::string> transmissionTargetTokenFrom(const std::optional<std::string> &string);
    static std::optional<std::string> targetKeyFromTargetToken(const std::optional<std::string> &token);
    static std::optional<std::string> iKeyFromTargetToken(const std::optional<std::string> &token);
    static std::optional<std::string> prettyPrintJson(const std::optional<platform::Data> &data);
    // The JSON as pretty-printed text (two-space indentation, " : " between
    // key and value), the one layout of every pretty-printed JSON of the SDK;
    // nullopt when it nests too deeply or holds text that is not UTF-8.
    static std::optional<std::string> prettyJsonText(const nlohmann::ordered_json &json);
    static BCEnvironment currentAppEnvironment();
};
