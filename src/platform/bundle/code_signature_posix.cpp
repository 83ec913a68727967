#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "bundle_tree.h"
#include "code_signature.h"
#include "ed25519.h"
#include "file_handles.h"
#include "signature_manifest.h"

namespace fs = std::filesystem;

namespace codesign {

namespace {

using Kind = ManifestEntry::Kind;

constexpr std::size_t maxKeyFileBytes = 64 << 10;

// Releases libcrypto's per-thread state (its error queue) when the work on this thread is done.
// libcrypto would free it when the thread ends, but a thread of a pool may outlive the program's
// last look at its memory: Qt's pool threads are detached, and the program may end between the
// moment the pool reports a thread finished and the moment that thread's destructors ran. The
// hashing threads need none of this: they are joined before the work returns.
class ThreadStateRelease {
public:
    ThreadStateRelease() = default;
    ThreadStateRelease(const ThreadStateRelease&) = delete;
    ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;
    ~ThreadStateRelease() { OPENSSL_thread_stop(); }
};

// Reads one of the signature files or the key file, or says in one line why it cannot.
std::string readSmallFile(int folder, const std::string& name, std::size_t maxBytes,
                          const std::string& shownName, posix::Links links) {
    std::string bytes;
    const std::error_code error = posix::readWholeFile(folder, name, maxBytes, links, bytes);
    if (error == std::errc::too_many_symbolic_link_levels) {
        throw Rejection(quote(shownName) + " is a symbolic link, not a file");
    }
    if (error == std::errc::invalid_argument) {
        throw Rejection(quote(shownName) + " is not a regular file");
    }
    if (error == std::errc::file_too_large) {
        throw Rejection(quote(shownName) + " is larger than " + std::to_string(maxBytes) +
                        " bytes");
    }
    if (error) {
        throw Rejection("cannot read " + quote(shownName) + ": " + error.message());
    }
    return bytes;
}

// The difference between an entry that the manifest lists and the one the bundle holds at that
// path, as a reason; digests are compared later.
std::optional<std::string> differenceBetween(const ManifestEntry& listed,
                                             const ManifestEntry& found) {
    if (listed.kind != found.kind) {
        return quote(listed.path) + " changed its kind (file, folder or symbolic link)";
    }
    if (listed.kind == Kind::link && listed.linkTarget != found.linkTarget) {
        return "the target of the symbolic link " + quote(listed.path) + " changed";
    }
    if (listed.kind == Kind::file && listed.size != found.size) {
        return quote(listed.path) + " changed in size";
    }
    if (listed.kind == Kind::file && listed.executable != found.executable) {
        return "the executable bit of " + quote(listed.path) + " changed";
    }
    return std::nullopt;
}

// Compares what the bundle holds with what its manifest lists, both in canonical order, as the
// walk goes: the manifest is read one line at a time and the first difference ends the check, so
// a manifest of millions of lines costs little more than its own bytes. Keeps the files whose
// contents remain to be compared, with the digests the manifest lists for them.
class ManifestComparison {
public:
    explicit ManifestComparison(std::string_view manifest) : listed_(manifest) {}

    void compare(int root) {
        walkBundle(root, LinkRule::record, [this](ManifestEntry&& found) { take(found); });
        if (const auto missing = nextListed()) {
            throw Rejection(quote(missing->path) + " is missing");
        }
    }

    std::vector<FileToHash> files;
    std::vector<Sha256> listedDigests;

private:
    std::optional<ManifestEntry> nextListed() {
        auto entry = listed_.next();
        if (entry && entry->kind == Kind::link &&
            !isLinkTargetInside(entry->path, entry->linkTarget)) {
            throw Rejection("the symbolic link " + quote(entry->path) +
                            " points out of the bundle");
        }
        return entry;
    }

    // Each entry found must be the next one listed.
    void take(ManifestEntry& found) {
        const auto listed = nextListed();
        if (!listed || pathLess(found.path, listed->path)) {
            throw Rejection(quote(found.path) + " was added");
        }
        if (pathLess(listed->path, found.path)) {
            throw Rejection(quote(listed->path) + " is missing");
        }
        if (auto difference = differenceBetween(*listed, found)) {
            throw Rejection(*difference);
        }
        if (found.kind == Kind::file) {
            files.push_back({std::move(found.path), found.size});
            listedDigests.push_back(listed->sha256);
        }
    }

    ManifestReader listed_;
};

ed25519::PrivateKey loadPrivateKey(const fs::path& keyFile) {
    const std::string shown = keyFile.native();
    std::string pem;
    try {
        // A key kept behind a link is fine: the key is the user's choice, not the bundle's.
        pem = readSmallFile(AT_FDCWD, shown, maxKeyFileBytes, shown, posix::Links::follow);
    } catch (const Rejection& error) {
        throw SigningError(std::string("Cannot use the signing key: ") + error.what() + ".");
    }
    try {
        return ed25519::PrivateKey::fromPem(pem);
    } catch (const ed25519::Error& error) {
        throw SigningError("The signing key " + quote(shown) + " " + error.what() + ".");
    }
}

// Puts the three signature files into a fresh folder beside the old signature, then swaps it in.
void writeSignatureFolder(const fs::path& bundle, const std::string& manifest,
                          const std::string& signature, const std::string& publicKey) {
    const fs::path contents = bundle / "Contents";
    std::string temporary = (contents / ".signature-XXXXXX").native();
    if (::mkdtemp(temporary.data()) == nullptr) {
        throw Rejection("cannot create a folder in " + quote(contents.native()) + ": " +
                        std::strerror(errno));
    }
    const fs::path staging = temporary;
    try {
        const FileDescriptor folder(
            ::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) {
            throw Rejection("cannot open " + quote(staging.native()) + ": " + std::strerror(errno));
        }
        const std::pair<const char*, const std::string*> files[] = {
            {manifestName, &manifest}, {signatureName, &signature}, {publicKeyName, &publicKey}};
        for (const auto& [name, data] : files) {
            if (const auto error = posix::writeNewFile(folder.get(), name, *data, 0644)) {
                throw Rejection("cannot write " + quote((staging / name).native()) + ": " +
                                error.message());
            }
        }
        if (::fchmod(folder.get(), 0755) != 0) {
            throw Rejection("cannot set the permissions of " + quote(staging.native()) + ": " +
                            std::strerror(errno));
        }
        const fs::path final = bundle / signatureFolder;
        std::error_code error;
        fs::remove_all(final, error);  // never follows a link: a link itself is removed
        if (!error && ::rename(staging.c_str(), final.c_str()) != 0) {
            error = posix::lastError();
        }
        if (error) {
            throw Rejection("cannot replace " + quote(final.native()) + ": " + error.message());
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

SignatureCheck check(const fs::path& bundle) {
    const FileDescriptor root = openBundleRoot(bundle);
    const FileDescriptor folder =
        posix::openBeneath(root.get(), signatureFolder, O_RDONLY | O_DIRECTORY);
    if (!folder.valid()) {
        if (errno == ENOENT) {
            return {false, "the bundle is not signed (no " + std::string(signatureFolder) + ")"};
        }
        if (errno == ENOTDIR || errno == ELOOP || errno == EXDEV) {
            return {false, std::string(signatureFolder) + " is not a folder"};
        }
        return {false, "cannot open " + std::string(signatureFolder) + ": " + std::strerror(errno)};
    }
    const auto read = [&](const char* name, std::size_t maxBytes) {
        const std::string shown = std::string(signatureFolder) + "/" + name;
        return readSmallFile(folder.get(), name, maxBytes, shown, posix::Links::refuse);
    };
    const std::string manifest = read(manifestName, maxManifestBytes);
    const std::string signature = read(signatureName, ed25519::signatureBytes);
    const std::string publicKey = read(publicKeyName, ed25519::publicKeyBytes);
    std::vector<std::string> names;
    if (const auto error =
            posix::readEntryNames(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0), names)) {
        return {false, "cannot list " + std::string(signatureFolder) + ": " + error.message()};
    }
    std::sort(names.begin(), names.end());
    if (names != std::vector<std::string>{manifestName, publicKeyName, signatureName}) {
        return {false, std::string(signatureFolder) + " holds other files than " + manifestName +
                           ", " + signatureName + " and " + publicKeyName};
    }
    if (signature.size() != ed25519::signatureBytes ||
        publicKey.size() != ed25519::publicKeyBytes) {
        return {false, "the signature or the public key has the wrong size"};
    }
    if (!ed25519::verify(manifest, signature, publicKey)) {
        return {false, "the signature does not match the manifest and the public key"};
    }
    try {
        ManifestComparison comparison(manifest);
        comparison.compare(root.get());
        hashFiles(root.get(), comparison.files, [&](std::size_t file, const Sha256& digest) {
            if (digest != comparison.listedDigests[file]) {
                throw Rejection(quote(comparison.files[file].path) + " changed in content");
            }
        });
    } catch (const ManifestError& error) {
        return {false, error.what()};
    }
    return {true, {}};
}

}  // namespace

SignatureCheck verifyBundleSignature(const fs::path& bundle) noexcept {
    const ThreadStateRelease release;
    try {
        return check(bundle);
    } catch (const Rejection& rejection) {
        return {false, rejection.what()};
    } catch (const std::exception& error) {
        return {false, std::string("the check failed: ") + error.what()};
    }
}

void signBundle(const fs::path& bundle, const fs::path& privateKeyFile) {
    const ThreadStateRelease release;
    const ed25519::PrivateKey key = loadPrivateKey(privateKeyFile);
    try {
        const FileDescriptor root = openBundleRoot(bundle);
        if (!posix::openBeneath(root.get(), "Contents", O_RDONLY | O_DIRECTORY).valid()) {
            throw Rejection(quote(bundle.native()) + " has no Contents folder");
        }
        // A manifest line takes at least 6 bytes: a bundle with more entries cannot be listed.
        std::vector<ManifestEntry> entries;
        walkBundle(root.get(), LinkRule::refuseOutside, [&](ManifestEntry&& entry) {
            if (entries.size() >= maxManifestBytes / 6) {
                throw Rejection("the bundle holds too many entries to sign");
            }
            entries.push_back(std::move(entry));
        });
        std::vector<FileToHash> files;
        std::vector<ManifestEntry*> fileEntries;
        for (auto& entry : entries) {
            if (entry.kind == Kind::file) {
                files.push_back({entry.path, entry.size});
                fileEntries.push_back(&entry);
            }
        }
        hashFiles(root.get(), files, [&](std::size_t file, const Sha256& digest) {
            fileEntries[file]->sha256 = digest;
        });
        const std::string manifest = formatManifest(entries);
        if (manifest.size() > maxManifestBytes) {
            throw Rejection("the bundle has too many entries for a manifest");
        }
        writeSignatureFolder(bundle, manifest, key.sign(manifest), key.publicKey());
    } catch (const Rejection& rejection) {
        throw SigningError("Cannot sign the bundle: " + std::string(rejection.what()) + ".");
    } catch (const ed25519::Error& error) {
        throw SigningError("Cannot sign the bundle: cannot " + std::string(error.what()) + ".");
    }
}

void generateSigningKey(const fs::path& keyFile) {
    const ThreadStateRelease release;
    try {
        const std::string pem = ed25519::PrivateKey::generate().pem();
        if (const auto error = posix::writeNewFile(AT_FDCWD, keyFile.native(), pem, 0600)) {
            throw SigningError("Cannot write the key file " + quote(keyFile.native()) + ": " +
                               error.message() + ".");
        }
    } catch (const ed25519::Error& error) {
        throw SigningError("Cannot " + std::string(error.what()) + ".");
    }
}

}  // namespace codesign
