#include "platform/security/Keychain.h"

#include "platform/foundation/SharedInstance.h"
#include "platform/security/Sha256.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::security {

namespace {

// An item file: this magic, then the accessibility text, the service, the
// account and the data, each as a 32-bit little-endian length and its bytes.
constexpr std::string_view kMagic = "PWKCHN01";
constexpr std::string_view kAfterFirstUnlockThisDeviceOnly = "afterFirstUnlockThisDeviceOnly";
constexpr std::size_t kMaximumFileSize =
    kMagic.size() + 4 * 4 + 64 + 2 * Keychain::kMaximumNameSize + Keychain::kMaximumDataSize;

std::string_view accessibilityText(KeychainAccessibility accessibility) {
    switch (accessibility) {
    case KeychainAccessibility::afterFirstUnlockThisDeviceOnly: return kAfterFirstUnlockThisDeviceOnly;
    }
    return {};
}

void appendLength(std::vector<std::uint8_t> &out, std::size_t length) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
}

void appendField(std::vector<std::uint8_t> &out, const void *bytes, std::size_t length) {
    appendLength(out, length);
    const auto *p = static_cast<const std::uint8_t *>(bytes);
    out.insert(out.end(), p, p + length);
}

// Reads one length-prefixed field, advancing offset; false when the field
// runs past the end.
bool readField(const std::vector<std::uint8_t> &in, std::size_t &offset, std::string_view &field) {
    if (in.size() - offset < 4) return false;
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<std::size_t>(in[offset + i]) << (8 * i);
    offset += 4;
    if (in.size() - offset < length) return false;
    field = std::string_view(reinterpret_cast<const char *>(in.data() + offset), length);
    offset += length;
    return true;
}

bool writeAll(int fd, const std::vector<std::uint8_t> &bytes) {
    const std::uint8_t *p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool isDirectory(const std::filesystem::path &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Keychain::Keychain(std::filesystem::path directory) : directory_(std::move(directory)) {
    if (!directory_.empty() && !directory_.has_filename()) directory_ = directory_.parent_path();
}

std::filesystem::path Keychain::defaultDirectory() {
    std::filesystem::path base;
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') {
        base = dataHome;
    } else {
        // A relative XDG_DATA_HOME is invalid and ignored.
        std::string home;
        const char *homeVariable = std::getenv("HOME");
        if (homeVariable && homeVariable[0] == '/') {
            home = homeVariable;
        } else {
            struct passwd entry;
            struct passwd *result = nullptr;
            std::vector<char> buffer(16384);
            if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir &&
                result->pw_dir[0] == '/') {
                home = result->pw_dir;
            }
        }
        if (home.empty()) return {};
        base = std::filesystem::path(home) / ".local" / "share";
    }
    return base / "plotwick-keychain";
}

std::shared_ptr<Keychain> Keychain::sharedInstance() {
    return SharedInstance<Keychain>::get([] { return std::make_shared<Keychain>(defaultDirectory()); });
}

void Keychain::setSharedInstance(std::shared_ptr<Keychain> keychain) {
    SharedInstance<Keychain>::set(std::move(keychain));
}

void Keychain::resetSharedInstance() { SharedInstance<Keychain>::reset(); }

void Keychain::setFaultHookForTesting(FaultHook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultHook_ = std::move(hook);
}

OSStatus Keychain::add(const std::string &service, const std::string &account, const std::vector<std::uint8_t> &data,
                       KeychainAccessibility accessibility) {
    if (OSStatus status = validate(service, account, data); status != errSecSuccess) return status;
    std::filesystem::path path;
    if (OSStatus status = itemPath(service, account, path); status != errSecSuccess) return status;
    std::lock_guard<std::mutex> lock(mutex_);
    return writeItem(path, Item{service, account, data, accessibility}, false);
}

OSStatus Keychain::update(const std::string &service, const std::string &account,
                          const std::vector<std::uint8_t> &data) {
    if (OSStatus status = validate(service, account, data); status != errSecSuccess) return status;
    std::filesystem::path path;
    if (OSStatus status = itemPath(service, account, path); status != errSecSuccess) return status;
    std::lock_guard<std::mutex> lock(mutex_);
    Item item;
    if (OSStatus status = readItem(path, service, account, item); status != errSecSuccess) return status;
    item.data = data;
    return writeItem(path, item, true);
}

OSStatus Keychain::copyMatching(const std::string &service, const std::string &account, std::vector<std::uint8_t> *data,
                                KeychainAccessibility *accessibility) const {
    if (OSStatus status = validate(service, account, {}); status != errSecSuccess) return status;
    std::filesystem::path path;
    if (OSStatus status = itemPath(service, account, path); status != errSecSuccess) return status;
    // Items are only ever replaced whole by rename, so reading needs no lock.
    Item item;
    if (OSStatus status = readItem(path, service, account, item); status != errSecSuccess) return status;
    if (data) *data = std::move(item.data);
    if (accessibility) *accessibility = item.accessibility;
    return errSecSuccess;
}

OSStatus Keychain::deleteItem(const std::string &service, const std::string &account) {
    if (OSStatus status = validate(service, account, {}); status != errSecSuccess) return status;
    std::filesystem::path path;
    if (OSStatus status = itemPath(service, account, path); status != errSecSuccess) return status;
    std::lock_guard<std::mutex> lock(mutex_);
    if (::unlink(path.c_str()) != 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? errSecItemNotFound : errSecIO;
    }
    syncDirectory();
    return errSecSuccess;
}

OSStatus Keychain::validate(const std::string &service, const std::string &account,
                            const std::vector<std::uint8_t> &data) const {
    // An item needs both parts of its address.
    if (service.empty() || account.empty()) return errSecParam;
    if (service.size() > kMaximumNameSize || account.size() > kMaximumNameSize) return errSecParam;
    if (data.size() > kMaximumDataSize) return errSecParam;
    return errSecSuccess;
}

OSStatus Keychain::itemPath(const std::string &service, const std::string &account, std::filesystem::path &path) const {
    if (directory_.empty()) return errSecIO;
    // The file name is the hash of the length-prefixed service and the
    // account: hexadecimal only, so no text can leave the directory, and
    // ("ab", "c") and ("a", "bc") stay apart.
    std::string key;
    key.reserve(4 + service.size() + account.size());
    for (int i = 0; i < 4; ++i) key.push_back(static_cast<char>(service.size() >> (8 * i)));
    key += service;
    key += account;
    auto name = Sha256::hexDigest(key);
    if (!name) return errSecIO;
    path = directory_ / (*name + ".item");
    return errSecSuccess;
}

OSStatus Keychain::readItem(const std::filesystem::path &path, const std::string &service, const std::string &account,
                            Item &item) const {
    // Without blocking, so that a FIFO in the item's place cannot hold the
    // open. A link, anything but a regular file, or a file larger than any
    // item is not an item of ours: damaged, so that it is replaced (its
    // removal takes the name away, never what a link names).
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return errSecItemNotFound;
        return errno == ELOOP || errno == ENXIO ? errSecDecode : errSecIO;
    }
    std::vector<std::uint8_t> bytes;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return errSecIO;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) > kMaximumFileSize) {
        ::close(fd);
        return errSecDecode;
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size()) return errSecIO;

    // A file that does not parse exactly, or that belongs to another
    // address, is damaged: report it rather than guess.
    if (bytes.size() < kMagic.size() || std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
        return errSecDecode;
    }
    std::size_t offset = kMagic.size();
    std::string_view accessibility, storedService, storedAccount, data;
    if (!readField(bytes, offset, accessibility) || !readField(bytes, offset, storedService) ||
        !readField(bytes, offset, storedAccount) || !readField(bytes, offset, data) || offset != bytes.size()) {
        return errSecDecode;
    }
    if (accessibility != kAfterFirstUnlockThisDeviceOnly || storedService != service || storedAccount != account) {
        return errSecDecode;
    }
    item.service = service;
    item.account = account;
    item.data.assign(data.begin(), data.end());
    item.accessibility = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    return errSecSuccess;
}

OSStatus Keychain::writeItem(const std::filesystem::path &path, const Item &item, bool replace) {
    std::vector<std::uint8_t> bytes(kMagic.begin(), kMagic.end());
    auto accessibility = accessibilityText(item.accessibility);
    appendField(bytes, accessibility.data(), accessibility.size());
    appendField(bytes, item.service.data(), item.service.size());
    appendField(bytes, item.account.data(), item.account.size());
    appendField(bytes, item.data.data(), item.data.size());

    if (!ensureDirectory() || failsAt(WriteStep::createTemporary)) return errSecIO;
    // mkostemp creates the file with mode 0600, whatever the umask.
    std::string temporary = (directory_ / ".item-XXXXXX").string();
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return errSecIO;
    auto discard = [&]() {
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
    };
    if (failsAt(WriteStep::write) || !writeAll(fd, bytes) || failsAt(WriteStep::sync) || ::fsync(fd) != 0) {
        discard();
        return errSecIO;
    }
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0 || failsAt(WriteStep::publish)) {
        discard();
        return errSecIO;
    }
    if (replace) {
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            discard();
            return errSecIO;
        }
    } else {
        // link() refuses an existing name atomically, also against other
        // processes adding the same item.
        if (::link(temporary.c_str(), path.c_str()) != 0) {
            bool exists = errno == EEXIST;
            discard();
            return exists ? errSecDuplicateItem : errSecIO;
        }
        ::unlink(temporary.c_str());
    }
    syncDirectory();
    return errSecSuccess;
}

bool Keychain::ensureDirectory() const {
    if (isDirectory(directory_)) return true;
    // Missing folders on the way are private too, as XDG asks of data homes.
    std::filesystem::path partial;
    for (const auto &component : directory_) {
        partial /= component;
        if (isDirectory(partial)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return isDirectory(directory_);
}

bool Keychain::failsAt(WriteStep step) const { return faultHook_ && faultHook_(step); }

void Keychain::syncDirectory() const {
    // Makes the rename or removal itself durable; a failure here leaves the
    // change made, so it is not reported.
    int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace platform::security
