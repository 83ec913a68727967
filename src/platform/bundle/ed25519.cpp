#include "ed25519.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace ed25519 {

namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

unsigned char* bytesOf(std::string& text) {
    return reinterpret_cast<unsigned char*>(text.data());
}

// Takes OpenSSL's first queued reason and empties its queue, so that no reason lingers for later.
[[noreturn]] void fail(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char reason[256] = "unknown error";
    if (code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    throw Error(what + ": " + reason);
}

}  // namespace

void PrivateKey::Free::operator()(evp_pkey_st* key) const noexcept {
    EVP_PKEY_free(key);
}

PrivateKey PrivateKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (key == nullptr) {
        fail("make a key");
    }
    return PrivateKey(key);
}

PrivateKey PrivateKey::fromPem(std::string_view pem) {
    const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PrivateKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!key.key_) {
        throw Error("is not a private key in PEM form");
    }
    if (EVP_PKEY_get_id(key.key_.get()) != EVP_PKEY_ED25519) {
        throw Error("is not an Ed25519 key");
    }
    return key;
}

std::string PrivateKey::pem() const {
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        fail("write the key");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string PrivateKey::publicKey() const {
    std::string key(publicKeyBytes, '\0');
    std::size_t length = key.size();
    if (EVP_PKEY_get_raw_public_key(key_.get(), bytesOf(key), &length) != 1 ||
        length != publicKeyBytes) {
        fail("read the public key");
    }
    return key;
}

std::string PrivateKey::sign(std::string_view message) const {
    const Context context(EVP_MD_CTX_new());
    std::string signature(signatureBytes, '\0');
    std::size_t length = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), bytesOf(signature), &length, bytesOf(message),
                       message.size()) != 1 ||
        length != signatureBytes) {
        fail("sign");
    }
    return signature;
}

bool verify(std::string_view message, std::string_view signature,
            std::string_view publicKey) noexcept {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(publicKey),
                                    publicKey.size()),
        &EVP_PKEY_free);
    const Context context(EVP_MD_CTX_new());
    const bool matches =
        key && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), bytesOf(signature), signature.size(), bytesOf(message),
                         message.size()) == 1;
    ERR_clear_error();
    return matches;
}

}  // namespace ed25519
