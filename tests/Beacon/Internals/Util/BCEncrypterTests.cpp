#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "BCBeaconUserDefaults.h"
#include "BCEncrypter.h"
#include "BCKeychainUtil.h"
#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "platform/foundation/Base64.h"
#include "platform/security/Aes256Cbc.h"

namespace {

const std::string kOriginal = BCEncrypter::kEncryptionKeyTag;
const std::string kAlternate = BCEncrypter::kEncryptionKeyTagAlternate;

std::string metadata(const std::string &tag) { return tag + "/AES/CBC/PKCS7/32"; }

std::string hex(const platform::Data &data) {
    static const char *digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

platform::Data bytes(const std::string &s) { return platform::Data(s.begin(), s.end()); }

void writeFile(const std::filesystem::path &path, const platform::Data &data) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

platform::Data readFile(const std::filesystem::path &path) {
    std::ifstream file(path, std::ios::binary);
    return platform::Data(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The key stored in the keychain for the tag.
std::optional<platform::Data> storedKey(const std::string &tag) {
    auto text = BCKeychainUtil::stringForKey(tag);
    if (!text) return std::nullopt;
    return platform::base64::decodeStrict(*text);
}

// Runs `openssl enc` on the input; nothing when it fails.
std::optional<platform::Data> openssl(bool decrypt, const platform::Data &input, const platform::Data &key,
                                      const platform::Data &iv) {
    testsupport::TemporaryDirectory dir("plotwick-openssl");
    writeFile(dir.path() / "in", input);
    int status = -1;
    testsupport::runCommand("openssl enc " + std::string(decrypt ? "-d " : "") + "-aes-256-cbc -K " + hex(key) +
                                " -iv " + hex(iv) + " -in " + (dir.path() / "in").string() + " -out " +
                                (dir.path() / "out").string() + " 2>/dev/null",
                            &status);
    if (status != 0) return std::nullopt;
    return readFile(dir.path() / "out");
}

// A clock the test moves.
class Clock {
public:
    explicit Clock(platform::Date start) : now_(start) {
        BCEncrypter::setClockForTesting([this] { return now_.load(); });
    }
    ~Clock() { BCEncrypter::setClockForTesting(nullptr); }
    void set(platform::Date date) { now_ = date; }

private:
    std::atomic<platform::Date> now_;
};

}  // namespace

TEST(BCEncrypter, FreshInstallEncryptsUnderTheAlternateTag) {
    modeltest::SdkHome home;
    BCEncrypter encrypter;
    auto first = encrypter.encryptString("target-token");
    auto second = encrypter.encryptString("target-token");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second) << "a new IV each time";
    auto data = platform::base64::decodeStrict(*first);
    ASSERT_TRUE(data);
    std::string prefix = metadata(kAlternate) + ":";
    ASSERT_GT(data->size(), prefix.size());
    EXPECT_EQ(std::string(data->begin(), data->begin() + static_cast<long>(prefix.size())), prefix);
    EXPECT_EQ((data->size() - prefix.size()) % 16, 0u);
    EXPECT_EQ(encrypter.decryptString(*first), "target-token");
    EXPECT_EQ(BCEncrypter().decryptString(*second), "target-token") << "another encrypter reads it too";

    auto key = BCKeychainUtil::stringForKey(kAlternate);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 44u);
    EXPECT_EQ(BCKeychainUtil::stringForKey(kOriginal), std::nullopt) << "only the tag in use has a key";
    auto record = BCBeaconUserDefaults::shared()->objectForKey("EncryptionKeyMetadata");
    ASSERT_TRUE(record.string());
    EXPECT_EQ(record.string()->substr(0, kAlternate.size() + 1), kAlternate + "/");
    EXPECT_TRUE(BCUtility::dateFromISO8601(record.string()->substr(kAlternate.size() + 1)));

    // An empty plaintext is metadata, ":", the IV and one block of padding.
    auto empty = encrypter.encryptData({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), prefix.size() + 16 + 16);
    EXPECT_EQ(encrypter.decryptData(*empty), platform::Data{});
}

TEST(BCEncrypter, InteroperatesWithOpensslBothWays) {
    modeltest::SdkHome home;
    BCEncrypter encrypter;
    const std::string plaintext = "token-0123456789-abcdefghijklmnopqrstuvwxyz/+=";
    auto encrypted = encrypter.encryptData(bytes(plaintext));
    ASSERT_TRUE(encrypted);
    size_t header = metadata(kAlternate).size() + 1;
    platform::Data iv(encrypted->begin() + static_cast<long>(header),
                      encrypted->begin() + static_cast<long>(header + 16));
    platform::Data ciphertext(encrypted->begin() + static_cast<long>(header + 16), encrypted->end());
    auto key = storedKey(kAlternate);
    ASSERT_TRUE(key);
    EXPECT_EQ(openssl(true, ciphertext, *key, iv), bytes(plaintext));

    platform::Data otherIv(16);
    for (size_t i = 0; i < 16; ++i) otherIv[i] = static_cast<uint8_t>(i * 7 + 1);
    auto theirs = openssl(false, bytes("from openssl"), *key, otherIv);
    ASSERT_TRUE(theirs);
    platform::Data message = bytes(metadata(kAlternate) + ":");
    message.insert(message.end(), otherIv.begin(), otherIv.end());
    message.insert(message.end(), theirs->begin(), theirs->end());
    EXPECT_EQ(encrypter.decryptString(platform::base64::encode(message)), "from openssl");
}

TEST(BCEncrypter, LegacyDataWithAZeroIvDecrypts) {
    modeltest::SdkHome home;
    platform::Data key(32);
    for (size_t i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(255 - i);
    ASSERT_TRUE(BCKeychainUtil::storeString(platform::base64::encode(key), kOriginal));
    const platform::Data zeroIv(16, 0);
    BCEncrypter encrypter;
    for (std::string plaintext : {"", "a", "exactly sixteen!", "a longer token with : colons : inside"}) {
        auto legacy = openssl(false, bytes(plaintext), key, zeroIv);
        ASSERT_TRUE(legacy);
        EXPECT_EQ(encrypter.decryptData(*legacy), bytes(plaintext)) << plaintext;
    }
    // Legacy ciphertext that happens to begin with ":" (an empty, valid
    // UTF-8 "tag") or to hold a ":" early is still legacy data, and reading
    // it makes no key.
    int found = 0;
    for (int i = 0; i < 20000 && found < 2; ++i) {
        platform::Data plaintext = bytes("token-" + std::to_string(i));
        auto ciphertext = platform::security::Aes256Cbc::encrypt(plaintext, key, zeroIv);
        ASSERT_TRUE(ciphertext);
        if ((*ciphertext)[0] != ':' && (found > 0 || (*ciphertext)[1] != ':')) continue;
        ++found;
        EXPECT_EQ(encrypter.decryptData(*ciphertext), plaintext);
    }
    EXPECT_GE(found, 1);
    EXPECT_EQ(BCKeychainUtil::stringForKey(kAlternate), std::nullopt);
}

TEST(BCEncrypter, KeyTagRotatesAfterAYear) {
    modeltest::SdkHome home;
    auto start = *BCUtility::dateFromISO8601("2026-01-01T00:00:00.000Z");
    Clock clock(start);
    BCEncrypter encrypter;
    auto firstYear = encrypter.encryptString("one");
    ASSERT_TRUE(firstYear);
    clock.set(start.dateByAddingTimeInterval(BCEncrypter::kKeyLifetime));
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kAlternate) << "the expiry itself is still in time";
    clock.set(start.dateByAddingTimeInterval(BCEncrypter::kKeyLifetime + 0.001));
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kOriginal);
    EXPECT_EQ(*BCBeaconUserDefaults::shared()->objectForKey("EncryptionKeyMetadata").string(),
              kOriginal + "/2028-01-01T00:00:00.001Z");
    auto secondYear = encrypter.encryptString("two");
    ASSERT_TRUE(secondYear);
    auto data = platform::base64::decodeStrict(*secondYear);
    EXPECT_EQ(std::string(data->begin(), data->begin() + static_cast<long>(metadata(kOriginal).size() + 1)),
              metadata(kOriginal) + ":");
    EXPECT_EQ(BCEncrypter().decryptString(*firstYear), "one");
    EXPECT_EQ(BCEncrypter().decryptString(*secondYear), "two");

    // A year later the alternate key is used again, not made anew.
    auto alternateKey = storedKey(kAlternate);
    clock.set(start.dateByAddingTimeInterval(2 * BCEncrypter::kKeyLifetime + 1));
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kAlternate);
    ASSERT_TRUE(BCEncrypter().encryptString("three"));
    EXPECT_EQ(storedKey(kAlternate), alternateKey);
}

TEST(BCEncrypter, DamagedOrUnknownTagRecordsRotate) {
    modeltest::SdkHome home;
    auto defaults = BCBeaconUserDefaults::shared();
    defaults->setObject(platform::Value("kSomethingElse/2999-01-01T00:00:00.000Z"), "EncryptionKeyMetadata");
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kOriginal) << "data under an unknown tag could never be read";
    defaults->setObject(platform::Value(kAlternate), "EncryptionKeyMetadata");
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kOriginal) << "no expiry counts as expired";
    defaults->setObject(platform::Value(kOriginal + "/not a date"), "EncryptionKeyMetadata");
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kAlternate);
    EXPECT_EQ(BCEncrypter::getCurrentKeyTag(), kAlternate);
}

TEST(BCEncrypter, ConcurrentFirstEncryptionsMakeOneKeyPerTag) {
    modeltest::SdkHome home;
    constexpr int kThreads = 8;
    std::vector<std::optional<std::string>> texts(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            BCEncrypter encrypter;
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            texts[t] = encrypter.encryptString("value-" + std::to_string(t));
        });
    }
    for (auto &thread : threads) thread.join();
    BCEncrypter reader;
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_TRUE(texts[t]) << t;
        EXPECT_EQ(reader.decryptString(*texts[t]), "value-" + std::to_string(t));
    }
    size_t items = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(home.keychainDirectory())) ++items;
    EXPECT_EQ(items, 1u) << "one key, for the alternate tag";
}

TEST(BCEncrypter, DecryptionNeverMakesAKey) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCEncrypter encrypter;
    // New-format data under a tag whose key does not exist.
    platform::Data message = bytes(metadata(kAlternate) + ":");
    message.resize(message.size() + 32, 7);
    EXPECT_EQ(encrypter.decryptData(message), std::nullopt);
    // Anything before a ":" that is not one of the metadata texts.
    platform::Data unknown = bytes("someTag/AES:");
    unknown.resize(unknown.size() + 32, 7);
    EXPECT_EQ(encrypter.decryptData(unknown), std::nullopt);
    EXPECT_EQ(encrypter.decryptString(platform::base64::encode(unknown)), std::nullopt);
    EXPECT_EQ(BCKeychainUtil::stringForKey(kOriginal), std::nullopt);
    EXPECT_EQ(BCKeychainUtil::stringForKey(kAlternate), std::nullopt);
    EXPECT_EQ(BCKeychainUtil::stringForKey("someTag"), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(home.keychainDirectory()) &&
                 !std::filesystem::is_empty(home.keychainDirectory()));
}

TEST(BCEncrypter, MalformedInputsFailCleanly) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCEncrypter encrypter;
    auto good = encrypter.encryptData(bytes("secret"));
    ASSERT_TRUE(good);
    const size_t header = metadata(kAlternate).size() + 1;

    // Too short for an IV, an IV with no ciphertext, a ciphertext that is
    // not whole blocks.
    for (size_t cut : {header, header + 10, header + 16, good->size() - 1}) {
        platform::Data damaged(good->begin(), good->begin() + static_cast<long>(cut));
        EXPECT_EQ(encrypter.decryptData(damaged), std::nullopt) << cut;
    }
    platform::Data longer = *good;
    longer.push_back(0);
    EXPECT_EQ(encrypter.decryptData(longer), std::nullopt);

    // Bad padding, made certain: "secret" fills one block with ten bytes of
    // padding 0x0a, and in CBC a bit flipped in the IV flips the same bit of
    // the plaintext, so the last byte reads as padding 0 or 17, never valid.
    // (Flipping ciphertext bits instead gives valid padding one time in 256.)
    for (uint8_t padding : {0x00, 0x11}) {
        platform::Data flipped = *good;
        flipped[header + 15] ^= static_cast<uint8_t>(0x0a ^ padding);
        EXPECT_EQ(encrypter.decryptData(flipped), std::nullopt) << int(padding);
    }
    // Legacy data without any key.
    EXPECT_EQ(encrypter.decryptData(platform::Data(32, 1)), std::nullopt);
    EXPECT_EQ(encrypter.decryptData({}), std::nullopt);

    capture.clear();
    EXPECT_EQ(encrypter.decryptString("not base64!"), std::nullopt);
    EXPECT_TRUE(capture.contains(BCLogLevelWarning, "Conversion of encrypted string to NSData failed."));

    capture.clear();
    auto binary = encrypter.encryptData(platform::Data{0xff, 0xfe, 0xfd});
    ASSERT_TRUE(binary);
    EXPECT_EQ(encrypter.decryptData(*binary), (platform::Data{0xff, 0xfe, 0xfd}));
    EXPECT_EQ(encrypter.decryptString(platform::base64::encode(*binary)), std::nullopt);
    EXPECT_TRUE(capture.contains(BCLogLevelWarning, "Converting decrypted NSData to NSString failed."));

    capture.clear();
    EXPECT_EQ(BCEncrypter::performCryptoOperation(BCEncrypter::kOperationEncrypt, bytes("x"), std::nullopt,
                                                  platform::Data(31, 1)),
              std::nullopt);
    EXPECT_TRUE(capture.contains(BCLogLevelError, "Error performing encryption or decryption."));
    EXPECT_EQ(BCEncrypter::performCryptoOperation(BCEncrypter::kOperationEncrypt, bytes("x"), platform::Data(15, 0),
                                                  platform::Data(32, 1)),
              std::nullopt);
    EXPECT_EQ(BCEncrypter::performCryptoOperation(7, bytes("x"), std::nullopt, platform::Data(32, 1)), std::nullopt);
    EXPECT_EQ(BCEncrypter::getMetadataStringWithKeyTag(kOriginal), bytes("kBNEncryptionKeyTag/AES/CBC/PKCS7/32"));
}

// Whether some line at the level begins with the text.
bool logged(modeltest::LogCapture &capture, BCLogLevel level, const std::string &start) {
    for (const auto &[l, text] : capture.lines())
        if (l == level && text.rfind(start, 0) == 0) return true;
    return false;
}

TEST(BCEncrypter, ADamagedKeychainItemIsReportedAndReplaced) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    auto before = BCEncrypter().encryptString("token");
    ASSERT_TRUE(before);
    auto entries = std::filesystem::directory_iterator(home.keychainDirectory());
    const std::filesystem::path item = entries->path();

    // Garbage in the item file, then an item that is not a 32-byte key.
    for (const platform::Data &garbage :
         {bytes("\x01garbage\xff"), bytes(platform::base64::encode(platform::Data(16, 3)))}) {
        SCOPED_TRACE(hex(garbage));
        if (garbage.size() == 24) {
            ASSERT_TRUE(BCKeychainUtil::storeString(std::string(garbage.begin(), garbage.end()), kAlternate));
        } else {
            writeFile(item, garbage);
        }
        capture.clear();
        EXPECT_EQ(BCEncrypter().decryptString(*before), std::nullopt);
        EXPECT_TRUE(logged(capture, BCLogLevelError,
                           "The encryption key of kBNEncryptionKeyTagAlternate in the keychain is damaged"));
        EXPECT_FALSE(logged(capture, BCLogLevelWarning, "There is no encryption key"));

        // Encryption makes a new key: what the old one protected is lost
        // already, and tokens encrypted from now on round-trip.
        capture.clear();
        auto after = BCEncrypter().encryptString("token");
        ASSERT_TRUE(after);
        EXPECT_TRUE(
            logged(capture, BCLogLevelWarning, "Replacing the damaged encryption key of kBNEncryptionKeyTagAlternate"));
        home.relaunch();
        EXPECT_EQ(BCEncrypter().decryptString(*after), "token");
        ASSERT_TRUE(storedKey(kAlternate));
        EXPECT_EQ(storedKey(kAlternate)->size(), 32u);
    }
}

TEST(BCEncrypter, EveryKeyFailureSaysWhyAndOnlyTheTwoTagsHaveKeys) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCEncrypter encrypter;
    platform::Data message = bytes(metadata(kOriginal) + ":");
    message.resize(message.size() + 32, 7);
    EXPECT_EQ(encrypter.decryptData(message), std::nullopt);
    EXPECT_TRUE(capture.contains(
        BCLogLevelWarning, "There is no encryption key for kBNEncryptionKeyTag in the keychain. OSStatus: -25300"));

    capture.clear();
    EXPECT_EQ(encrypter.getKeyWithKeyTag("someTag"), std::nullopt);
    EXPECT_EQ(encrypter.getKeyWithKeyTag(""), std::nullopt);
    EXPECT_TRUE(capture.contains(BCLogLevelError, "There is no encryption key tag someTag."));
    EXPECT_EQ(BCKeychainUtil::stringForKey("someTag"), std::nullopt);
    ASSERT_TRUE(encrypter.getKeyWithKeyTag(kOriginal));
    EXPECT_EQ(encrypter.getKeyWithKeyTag(kOriginal)->size(), 32u);
}

TEST(BCEncrypter, AKeyThatCannotBeStoredIsNotUsed) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    platform::security::Keychain::sharedInstance()->setFaultHookForTesting(
        [](platform::security::Keychain::WriteStep) { return true; });
    BCEncrypter encrypter;
    EXPECT_EQ(encrypter.encryptString("x"), std::nullopt) << "data under a lost key could never be read again";
    platform::security::Keychain::sharedInstance()->setFaultHookForTesting({});
    EXPECT_EQ(BCKeychainUtil::stringForKey(kAlternate), std::nullopt);
    auto text = encrypter.encryptString("x");
    ASSERT_TRUE(text);
    EXPECT_EQ(BCEncrypter().decryptString(*text), "x");
}

TEST(BCEncrypter, AKeyAnotherProcessMadeFirstIsAdoptedNotReplaced) {
    modeltest::SdkHome home;
    platform::Data theirs(32, 9);
    ASSERT_TRUE(BCKeychainUtil::storeString(platform::base64::encode(theirs), kAlternate));
    EXPECT_EQ(BCEncrypter::generateAndSaveKeyWithTag(kAlternate), theirs);
    EXPECT_EQ(storedKey(kAlternate), theirs);
    auto made = BCEncrypter::generateAndSaveKeyWithTag(kOriginal);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->size(), 32u);
    EXPECT_EQ(storedKey(kOriginal), made);
}
