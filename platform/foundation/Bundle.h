#pragma once
// A bundle: a directory holding "Info.plist" and the localized strings. The
// main bundle is the directory of the running executable, unless a test
// points it elsewhere with setMainBundleDirectory.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

class Bundle {
public:
    // A bundle on a directory. A missing or unreadable Info.plist leaves an
    // empty information dictionary (logged when unreadable).
    explicit Bundle(std::filesystem::path directory, std::filesystem::path executablePath = {});

    // The main bundle, made once (and again after resetMainBundle).
    static std::shared_ptr<Bundle> mainBundle();
    static void resetMainBundle();
    // Points the main bundle at another directory (nullopt: the executable's
    // own directory again) and drops the current main bundle.
    static void setMainBundleDirectory(std::optional<std::filesystem::path> directory);

    const std::filesystem::path &bundlePath() const { return directory_; }
    // For the main bundle, the running executable; otherwise the directory
    // joined with CFBundleExecutable (empty when that is not set).
    const std::filesystem::path &executablePath() const { return executablePath_; }

    const Dictionary &infoDictionary() const { return info_; }
    // The Info.plist value for the key, or a null Value.
    Value objectForInfoDictionaryKey(const std::string &key) const;
    // CFBundleIdentifier, CFBundleShortVersionString, CFBundleVersion.
    std::optional<std::string> bundleIdentifier() const;
    std::optional<std::string> shortVersionString() const;
    std::optional<std::string> buildVersion() const;
    // A boolean switch: a boolean, a number (non-zero is true) or a string
    // read as NSString's boolValue does ("YES", "true", "1"...); nullopt when
    // the key is absent or holds something else.
    std::optional<bool> boolForInfoDictionaryKey(const std::string &key) const;

    // The localization the bundle's texts are in: CFBundleDevelopmentRegion,
    // else "en".
    std::vector<std::string> preferredLocalizations() const;

    // The text for the key in the table ("Localizable" when empty): read from
    // "<table>.strings" (lines of `"key" = "value";`, with \" \\ \n \t
    // escapes and // or /* */ comments) or else "<table>.plist" (a
    // dictionary of strings) in the bundle's directory. Without an entry:
    // `value` when it is given and not empty, else the key itself.
    std::string localizedStringForKey(const std::string &key, const std::optional<std::string> &value = std::nullopt,
                                      const std::string &table = "") const;

    // Parses the ".strings" format above; nullopt when it is malformed.
    static std::optional<std::map<std::string, std::string>> parseStrings(const std::string &text);

private:
    const std::map<std::string, std::string> &table(const std::string &name) const;

    std::filesystem::path directory_;
    std::filesystem::path executablePath_;
    Dictionary info_;
    mutable std::mutex tablesMutex_;
    mutable std::map<std::string, std::map<std::string, std::string>> tables_;
};

}  // namespace platform
