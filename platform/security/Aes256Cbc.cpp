#include "platform/security/Aes256Cbc.h"

#include "platform/security/CryptoLibrary.h"

#include <climits>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace platform::security {

namespace {

struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};

std::optional<std::vector<std::uint8_t>> run(bool encrypting, std::span<const std::uint8_t> input,
                                             std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv) {
    if (key.size() != Aes256Cbc::kKeySize || iv.size() != Aes256Cbc::kIvSize) return std::nullopt;
    // Leave room for the padding block within the int lengths libcrypto takes.
    if (input.size() > static_cast<std::size_t>(INT_MAX) - 2 * Aes256Cbc::kBlockSize) return std::nullopt;

    if (!CryptoLibrary::ensureInitialized()) return std::nullopt;
    std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context) return std::nullopt;
    if (EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypting ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 1) != 1) {
        return std::nullopt;
    }

    std::vector<std::uint8_t> output(input.size() + Aes256Cbc::kBlockSize);
    int produced = 0;
    int finalProduced = 0;
    bool ok =
        EVP_CipherUpdate(context.get(), output.data(), &produced, input.data(), static_cast<int>(input.size())) == 1 &&
        EVP_CipherFinal_ex(context.get(), output.data() + produced, &finalProduced) == 1;
    if (!ok) {
        // A failed decryption may have left plaintext blocks in the buffer.
        OPENSSL_cleanse(output.data(), output.size());
        return std::nullopt;
    }
    output.resize(static_cast<std::size_t>(produced) + static_cast<std::size_t>(finalProduced));
    return output;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> Aes256Cbc::encrypt(std::span<const std::uint8_t> plaintext,
                                                            std::span<const std::uint8_t> key,
                                                            std::span<const std::uint8_t> iv) {
    return run(true, plaintext, key, iv);
}

std::optional<std::vector<std::uint8_t>> Aes256Cbc::decrypt(std::span<const std::uint8_t> ciphertext,
                                                            std::span<const std::uint8_t> key,
                                                            std::span<const std::uint8_t> iv) {
    if (ciphertext.empty() || ciphertext.size() % kBlockSize != 0) return std::nullopt;
    return run(false, ciphertext, key, iv);
}

}  // namespace platform::security
