#pragma once
// The keychain: generic-password items addressed by service and account.
// Each item is one file in a private directory (mode 0700, files 0600). A
// changed item is written to a temporary file beside it, synced and renamed
// over the old one, so a store that fails midway leaves the old item intact
// and readers in any process see either the old or the new item, whole.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::security {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;                // the store could not be read or written
inline constexpr OSStatus errSecParam = -50;             // an unusable service, account or data
inline constexpr OSStatus errSecDuplicateItem = -25299;  // add: the item exists already
inline constexpr OSStatus errSecItemNotFound = -25300;   // no item with that service and account
inline constexpr OSStatus errSecDecode = -26275;         // the stored item is damaged

// When an item may be read. Kept with the item; the file store has no lock
// state, so it has no effect here.
enum class KeychainAccessibility {
    afterFirstUnlockThisDeviceOnly,
};

class Keychain {
public:
    // Limits of one item, so that a damaged or foreign file is never read
    // into memory whole.
    static constexpr std::size_t kMaximumNameSize = 4096;      // service, account
    static constexpr std::size_t kMaximumDataSize = 1u << 20;  // data

    // The steps of writing an item file, named for the fault hook.
    enum class WriteStep { createTemporary, write, sync, publish };
    // Returns true to make that step fail as an I/O error would.
    using FaultHook = std::function<bool(WriteStep)>;

    // A keychain kept in the given directory; it (and any missing parent) is
    // created with mode 0700 when the first item is written.
    explicit Keychain(std::filesystem::path directory);

    // "<data home>/plotwick-keychain": $XDG_DATA_HOME when it is an absolute
    // path, else $HOME/.local/share (the password database's home when HOME
    // is unset). Empty when no home can be found.
    static std::filesystem::path defaultDirectory();

    // The process-wide keychain, made on first use in defaultDirectory() as
    // it is at that moment.
    static std::shared_ptr<Keychain> sharedInstance();
    // Makes the process-wide keychain this one (tests point it at a
    // temporary folder); nullptr behaves as resetSharedInstance().
    static void setSharedInstance(std::shared_ptr<Keychain> keychain);
    // Drops the process-wide keychain; the next sharedInstance() makes a new one.
    static void resetSharedInstance();

    const std::filesystem::path &directory() const { return directory_; }

    // Adds an item. errSecDuplicateItem when one with that service and
    // account exists (checked atomically, also against other processes).
    OSStatus add(const std::string &service, const std::string &account, const std::vector<std::uint8_t> &data,
                 KeychainAccessibility accessibility = KeychainAccessibility::afterFirstUnlockThisDeviceOnly);

    // Replaces the data of an existing item, keeping its accessibility;
    // errSecItemNotFound when there is none. On failure the old item stays.
    OSStatus update(const std::string &service, const std::string &account, const std::vector<std::uint8_t> &data);

    // Looks an item up. On success its data and accessibility are stored
    // through the pointers that are not null; on failure they are untouched.
    OSStatus copyMatching(const std::string &service, const std::string &account,
                          std::vector<std::uint8_t> *data = nullptr,
                          KeychainAccessibility *accessibility = nullptr) const;

    // Removes an item; errSecItemNotFound when there is none.
    OSStatus deleteItem(const std::string &service, const std::string &account);

    // Installs (or, with an empty hook, removes) a hook that can make a write
    // step fail, so tests can interrupt a store midway.
    void setFaultHookForTesting(FaultHook hook);

private:
    struct Item {
        std::string service;
        std::string account;
        std::vector<std::uint8_t> data;
        KeychainAccessibility accessibility;
    };

    OSStatus validate(const std::string &service, const std::string &account,
                      const std::vector<std::uint8_t> &data) const;
    OSStatus itemPath(const std::string &service, const std::string &account, std::filesystem::path &path) const;
    OSStatus readItem(const std::filesystem::path &path, const std::string &service, const std::string &account,
                      Item &item) const;
    OSStatus writeItem(const std::filesystem::path &path, const Item &item, bool replace);
    bool ensureDirectory() const;
    bool failsAt(WriteStep step) const;
    void syncDirectory() const;

    std::filesystem::path directory_;
    mutable std::mutex mutex_;
    FaultHook faultHook_;
};

}  // namespace platform::security
