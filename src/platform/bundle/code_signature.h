#pragma once

// Bundle signatures. A signature lives in the bundle's Contents/_CodeSignature/ folder: Manifest
// (every entry below the bundle's root except that folder, see signature_manifest.h), Signature
// (the Ed25519 signature of Manifest, 64 bytes) and PublicKey (the raw 32-byte Ed25519 key that
// checks it). Who signed is not examined: any intact signature passes.

#include <filesystem>
#include <stdexcept>
#include <string>

namespace codesign {

inline constexpr const char* signatureFolder = "Contents/_CodeSignature";
inline constexpr const char* manifestName = "Manifest";
inline constexpr const char* signatureName = "Signature";
inline constexpr const char* publicKeyName = "PublicKey";

// The outcome of a check: valid, or one line saying what is wrong.
struct SignatureCheck {
    bool valid = false;
    std::string reason;
};

// Checks the signature of the bundle at a folder. Walks the bundle without following links and
// hashes its files on several threads; rejects anything added, removed or changed since signing,
// special files, links that lead out of the bundle, and a missing or damaged signature. Never
// throws.
SignatureCheck verifyBundleSignature(const std::filesystem::path& bundle) noexcept;

// A signing step that could not be done; the text is one sentence.
class SigningError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Signs the bundle at a folder with the Ed25519 private key in `privateKeyFile` (PEM, PKCS #8, as
// written by generateSigningKey or `openssl genpkey -algorithm ed25519`), replacing an earlier
// signature. Refuses bundles without a Contents folder, special files and links that lead out of
// the bundle. On failure the bundle holds no new signature (an earlier one may be gone).
void signBundle(const std::filesystem::path& bundle, const std::filesystem::path& privateKeyFile);

// Writes a new Ed25519 private key (PEM) to `keyFile` with mode 0600; never replaces a file.
void generateSigningKey(const std::filesystem::path& keyFile);

}  // namespace codesign
