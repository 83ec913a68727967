#pragma once

// Ed25519 keys and signatures, made and checked with OpenSSL's libcrypto.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace ed25519 {

inline constexpr std::size_t signatureBytes = 64;
inline constexpr std::size_t publicKeyBytes = 32;

// A key that cannot be made, read or used. The text is a clause that fits after the key's name
// ("is not an Ed25519 key") or after "cannot" ("make a key: <OpenSSL's reason>").
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PrivateKey {
public:
    static PrivateKey generate();

    // Reads a private key in PEM form (PKCS #8, as `pem()` or `openssl genpkey -algorithm ed25519`
    // writes it). Throws Error when the text is no private key or the key is not an Ed25519 key.
    static PrivateKey fromPem(std::string_view pem);

    std::string pem() const;

    // The raw public key, publicKeyBytes long.
    std::string publicKey() const;

    // The signature of `message`, signatureBytes long.
    std::string sign(std::string_view message) const;

private:
    struct Free {
        void operator()(evp_pkey_st* key) const noexcept;
    };

    explicit PrivateKey(evp_pkey_st* key) noexcept : key_(key) {}

    std::unique_ptr<evp_pkey_st, Free> key_;
};

// True when `signature` is the signature of `message` by the key whose raw public key is
// `publicKey`. False for anything malformed.
bool verify(std::string_view message, std::string_view signature,
            std::string_view publicKey) noexcept;

}  // namespace ed25519
