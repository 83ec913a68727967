#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "code_signature.h"
#include "directory_listing.h"
#include "file_descriptor.h"
#include "signature_manifest.h"

namespace fs = std::filesystem;

namespace codesign {

namespace {

using Kind = ManifestEntry::Kind;
using Executable = ManifestEntry::Executable;

constexpr size_t ed25519SignatureBytes = 64;
constexpr size_t ed25519PublicKeyBytes = 32;
constexpr size_t maxKeyFileBytes = 64 << 10;
constexpr size_t hashBufferBytes = 256 << 10;

// Releases libcrypto's per-thread state (its error queue) when the work on this thread is done.
// libcrypto would free it when the thread ends, but a thread of a pool may outlive the program's
// last look at its memory: Qt's pool threads are detached, and the program may end between the
// moment the pool reports a thread finished and the moment that thread's destructors ran.
class ThreadStateRelease {
public:
    ThreadStateRelease() = default;
    ThreadStateRelease(const ThreadStateRelease&) = delete;
    ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;
    ~ThreadStateRelease() { OPENSSL_thread_stop(); }
};

// A bundle whose signature cannot be made or does not hold; the text is one line for the user.
class Rejection : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string quote(std::string_view path) {
    return "\"" + printablePath(path) + "\"";
}

std::string reasonOf(int errorNumber) {
    return std::strerror(errorNumber);
}

// Opens `relative` below the folder `root` without following any link on the way, and without
// leaving the folder. Where the kernel lacks openat2, only the last component is protected.
FileDescriptor openBeneath(int root, const std::string& relative, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
        return FileDescriptor(static_cast<int>(fd));
    }
    return FileDescriptor(::openat(root, relative.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
}

FileDescriptor openBundleRoot(const fs::path& bundle) {
    // "X.app/" would follow a link X.app despite O_NOFOLLOW: open the name without the slash.
    std::string name = bundle.native();
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    FileDescriptor root(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.valid()) {
        if (errno == ENOTDIR || errno == ELOOP) {
            throw Rejection(quote(bundle.native()) + " is not a folder");
        }
        throw Rejection("cannot open " + quote(bundle.native()) + ": " + reasonOf(errno));
    }
    return root;
}

enum class Links { refuse, follow };

// Reads a whole small regular file, refusing special files and files above `maxBytes`.
std::string readSmallFile(int folder, const std::string& name, size_t maxBytes,
                          const std::string& shownName, Links links = Links::refuse) {
    const int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
    FileDescriptor fd(::openat(folder, name.c_str(), O_RDONLY | noFollow | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid()) {
        if (errno == ELOOP) {
            throw Rejection(quote(shownName) + " is a symbolic link, not a file");
        }
        throw Rejection("cannot open " + quote(shownName) + ": " + reasonOf(errno));
    }
    if (::fstat(fd.get(), &st) != 0) {
        throw Rejection("cannot read " + quote(shownName) + ": " + reasonOf(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        throw Rejection(quote(shownName) + " is not a regular file");
    }
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
        throw Rejection(quote(shownName) + " is larger than " + std::to_string(maxBytes) +
                        " bytes");
    }
    std::string data;
    char buffer[64 << 10];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) {
            return data;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Rejection("cannot read " + quote(shownName) + ": " + reasonOf(errno));
        }
        if (data.size() + static_cast<size_t>(n) > maxBytes) {
            throw Rejection(quote(shownName) + " is larger than " + std::to_string(maxBytes) +
                            " bytes");
        }
        data.append(buffer, static_cast<size_t>(n));
    }
}

// ---- walking the bundle ------------------------------------------------------------------------

// The names in a folder, without "." and "..".
std::vector<std::string> namesIn(int folder, const std::string& shownPath) {
    std::vector<std::string> names;
    if (const int error = readEntryNames(::fcntl(folder, F_DUPFD_CLOEXEC, 0), names); error != 0) {
        throw Rejection("cannot list " + quote(shownPath) + ": " + reasonOf(error));
    }
    return names;
}

enum class LinkRule { refuseOutside, record };

// Lists every entry below the bundle's root except the signature folder, without following
// links, in canonical order. File entries carry no digest yet. Throws Rejection for special files,
// for unreadable folders and when there are more than `maxEntries` entries.
class BundleWalker {
public:
    BundleWalker(size_t maxEntries, std::string tooManyEntries, LinkRule linkRule)
        : maxEntries_(maxEntries),
          tooManyEntries_(std::move(tooManyEntries)),
          linkRule_(linkRule) {}

    std::vector<ManifestEntry> walk(int root) {
        walkFolder(root, "");
        std::sort(entries_.begin(), entries_.end(),
                  [](const auto& a, const auto& b) { return pathLess(a.path, b.path); });
        return std::move(entries_);
    }

private:
    void walkFolder(int folder, const std::string& prefix) {
        for (const auto& name : namesIn(folder, prefix.empty() ? "." : prefix)) {
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (path == signatureFolder) {
                continue;
            }
            if (path.size() > maxPathBytes) {
                throw Rejection("the path " + quote(path) + " is too long");
            }
            if (entries_.size() >= maxEntries_) {
                throw Rejection(tooManyEntries_);
            }
            struct stat st {};
            if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                throw Rejection("cannot read " + quote(path) + ": " + reasonOf(errno));
            }
            ManifestEntry entry;
            entry.path = path;
            if (S_ISDIR(st.st_mode)) {
                entry.kind = Kind::folder;
                entries_.push_back(std::move(entry));
                FileDescriptor inner(::openat(folder, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!inner.valid()) {
                    throw Rejection("cannot open " + quote(path) + ": " + reasonOf(errno));
                }
                walkFolder(inner.get(), path);
            } else if (S_ISREG(st.st_mode)) {
                entry.kind = Kind::file;
                entry.size = static_cast<std::uint64_t>(st.st_size);
                entry.executable = (st.st_mode & 0111) != 0 ? Executable::yes : Executable::no;
                entries_.push_back(std::move(entry));
            } else if (S_ISLNK(st.st_mode)) {
                entry.kind = Kind::link;
                entry.linkTarget = readLink(folder, name, path);
                if (linkRule_ == LinkRule::refuseOutside &&
                    !isLinkTargetInside(path, entry.linkTarget)) {
                    throw Rejection("the symbolic link " + quote(path) +
                                    " points out of the bundle");
                }
                entries_.push_back(std::move(entry));
            } else {
                throw Rejection(quote(path) + " is a special file (FIFO, socket or device)");
            }
        }
    }

    static std::string readLink(int folder, const std::string& name, const std::string& path) {
        std::string target(maxPathBytes + 1, '\0');
        const ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
        if (n < 0) {
            throw Rejection("cannot read the symbolic link " + quote(path) + ": " +
                            reasonOf(errno));
        }
        if (static_cast<size_t>(n) > maxPathBytes) {
            throw Rejection("the target of the symbolic link " + quote(path) + " is too long");
        }
        target.resize(static_cast<size_t>(n));
        return target;
    }

    size_t maxEntries_;
    std::string tooManyEntries_;
    LinkRule linkRule_;
    std::vector<ManifestEntry> entries_;
};

// ---- hashing -----------------------------------------------------------------------------------

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct DigestFree {
    void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
using Digest = std::unique_ptr<EVP_MD, DigestFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// Streams one file through SHA-256. The file is opened below `root` without following links and
// must still be a regular file of the recorded size.
Sha256 hashFile(int root, const ManifestEntry& entry, const EVP_MD* sha256, EVP_MD_CTX* context,
                std::vector<unsigned char>& buffer) {
    FileDescriptor fd = openBeneath(root, entry.path, O_RDONLY | O_NONBLOCK);
    if (!fd.valid()) {
        throw Rejection("cannot open " + quote(entry.path) + ": " + reasonOf(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Rejection(quote(entry.path) + " changed while it was read");
    }
    std::ignore = ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint
    if (EVP_DigestInit_ex2(context, sha256, nullptr) != 1) {
        throw Rejection("SHA-256 is not available");
    }
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Rejection("cannot read " + quote(entry.path) + ": " + reasonOf(errno));
        }
        total += static_cast<std::uint64_t>(n);
        if (total > entry.size) {
            break;
        }
        EVP_DigestUpdate(context, buffer.data(), static_cast<size_t>(n));
    }
    if (total != entry.size) {
        throw Rejection(quote(entry.path) + " changed in size");
    }
    Sha256 digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest.data(), &length);
    return digest;
}

// Hashes every file entry on at least two threads, largest first so that one big file does not
// finish last, and stores each digest in its entry.
void hashFiles(int root, std::vector<ManifestEntry>& entries) {
    std::vector<ManifestEntry*> files;
    for (auto& entry : entries) {
        if (entry.kind == Kind::file) {
            files.push_back(&entry);
        }
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const auto* a, const auto* b) { return a->size > b->size; });
    const Digest sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!sha256) {
        throw Rejection("SHA-256 is not available");
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    std::optional<Rejection> firstError;
    auto work = [&] {
        const DigestContext context(EVP_MD_CTX_new());
        std::vector<unsigned char> buffer(hashBufferBytes);
        while (!failed.load()) {
            const size_t i = next.fetch_add(1);
            if (i >= files.size()) {
                return;
            }
            try {
                if (!context) {
                    throw Rejection("out of memory while hashing");
                }
                files[i]->sha256 = hashFile(root, *files[i], sha256.get(), context.get(), buffer);
            } catch (const Rejection& error) {
                std::lock_guard lock(errorMutex);
                if (!firstError) {
                    firstError = error;
                }
                failed = true;
            }
        }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
    {
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < std::min<size_t>(threads, files.size()); ++i) {
            helpers.emplace_back(work);
        }
        work();
    }  // joins
    if (firstError) {
        throw *firstError;
    }
}

// ---- comparing ---------------------------------------------------------------------------------

// The first difference between what the manifest lists and what the bundle holds, as a reason.
std::optional<std::string> firstDifference(const std::vector<ManifestEntry>& listed,
                                           const std::vector<ManifestEntry>& found) {
    size_t i = 0;
    size_t j = 0;
    while (i < listed.size() || j < found.size()) {
        if (j == found.size() || (i < listed.size() && pathLess(listed[i].path, found[j].path))) {
            return quote(listed[i].path) + " is missing";
        }
        if (i == listed.size() || pathLess(found[j].path, listed[i].path)) {
            return quote(found[j].path) + " was added";
        }
        const ManifestEntry& a = listed[i++];
        const ManifestEntry& b = found[j++];
        if (a.kind != b.kind) {
            return quote(a.path) + " changed its kind (file, folder or symbolic link)";
        }
        if (a.kind == Kind::link && a.linkTarget != b.linkTarget) {
            return "the target of the symbolic link " + quote(a.path) + " changed";
        }
        if (a.kind == Kind::file && a.size != b.size) {
            return quote(a.path) + " changed in size";
        }
        if (a.kind == Kind::file && a.executable != b.executable) {
            return "the executable bit of " + quote(a.path) + " changed";
        }
    }
    return std::nullopt;
}

std::optional<std::string> firstChangedContent(const std::vector<ManifestEntry>& listed,
                                               const std::vector<ManifestEntry>& hashed) {
    for (size_t i = 0; i < listed.size(); ++i) {
        if (listed[i].kind == Kind::file && listed[i].sha256 != hashed[i].sha256) {
            return quote(listed[i].path) + " changed in content";
        }
    }
    return std::nullopt;
}

// ---- keys and signatures -----------------------------------------------------------------------

std::string openSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool signatureMatches(const std::string& manifest, const std::string& signature,
                      const std::string& publicKey) {
    const Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.data()),
        publicKey.size()));
    const DigestContext context(EVP_MD_CTX_new());
    const bool matches =
        key && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(manifest.data()),
                         manifest.size()) == 1;
    ERR_clear_error();
    return matches;
}

Key loadPrivateKey(const fs::path& keyFile) {
    const std::string shown = keyFile.native();
    std::string pem;
    try {
        // A key kept behind a link is fine: the key is the user's choice, not the bundle's.
        pem = readSmallFile(AT_FDCWD, keyFile.native(), maxKeyFileBytes, shown, Links::follow);
    } catch (const Rejection& error) {
        throw SigningError(std::string("Cannot use the signing key: ") + error.what() + ".");
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!key) {
        throw SigningError("The signing key " + quote(shown) +
                           " is not a private key in PEM form.");
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        throw SigningError("The signing key " + quote(shown) + " is not an Ed25519 key.");
    }
    return key;
}

std::string signManifest(const std::string& manifest, EVP_PKEY* key) {
    const DigestContext context(EVP_MD_CTX_new());
    std::string signature(ed25519SignatureBytes, '\0');
    size_t length = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(manifest.data()),
                       manifest.size()) != 1 ||
        length != ed25519SignatureBytes) {
        throw SigningError("Cannot sign the manifest: " + openSslReason() + ".");
    }
    return signature;
}

std::string rawPublicKey(EVP_PKEY* key) {
    std::string publicKey(ed25519PublicKeyBytes, '\0');
    size_t length = publicKey.size();
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(publicKey.data()),
                                    &length) != 1 ||
        length != ed25519PublicKeyBytes) {
        throw SigningError("Cannot read the public key: " + openSslReason() + ".");
    }
    return publicKey;
}

// Writes a new file in one go; `mode` is applied whatever the umask. Returns 0 or an errno value.
int writeNewFile(const fs::path& path, std::string_view data, mode_t mode) {
    FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        return errno;
    }
    int error = ::fchmod(fd.get(), mode) == 0 ? 0 : errno;
    for (size_t written = 0; error == 0 && written < data.size();) {
        const ssize_t n = ::write(fd.get(), data.data() + written, data.size() - written);
        if (n == 0) {
            error = EIO;
        } else if (n < 0 && errno != EINTR) {
            error = errno;
        } else if (n > 0) {
            written += static_cast<size_t>(n);
        }
    }
    if (::close(fd.release()) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        std::ignore = ::unlink(path.c_str());
    }
    return error;
}

// Puts the three signature files into a fresh folder beside the old signature, then swaps it in.
void writeSignatureFolder(const fs::path& bundle, const std::string& manifest,
                          const std::string& signature, const std::string& publicKey) {
    const fs::path contents = bundle / "Contents";
    std::string temporary = (contents / ".signature-XXXXXX").native();
    if (::mkdtemp(temporary.data()) == nullptr) {
        throw SigningError("Cannot create a folder in " + quote(contents.native()) + ": " +
                           reasonOf(errno) + ".");
    }
    const fs::path staging = temporary;
    try {
        const std::pair<const char*, const std::string*> files[] = {
            {manifestName, &manifest}, {signatureName, &signature}, {publicKeyName, &publicKey}};
        for (const auto& [name, data] : files) {
            if (const int error = writeNewFile(staging / name, *data, 0644); error != 0) {
                throw SigningError("Cannot write " + quote((staging / name).native()) + ": " +
                                   reasonOf(error) + ".");
            }
        }
        if (::chmod(staging.c_str(), 0755) != 0) {
            throw SigningError("Cannot set the permissions of " + quote(staging.native()) + ": " +
                               reasonOf(errno) + ".");
        }
        const fs::path final = bundle / signatureFolder;
        std::error_code error;
        fs::remove_all(final, error);  // never follows a link: a link itself is removed
        if (!error && ::rename(staging.c_str(), final.c_str()) != 0) {
            error = std::error_code(errno, std::generic_category());
        }
        if (error) {
            throw SigningError("Cannot replace " + quote(final.native()) + ": " +
                               reasonOf(error.value()) + ".");
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

SignatureCheck check(const fs::path& bundle) {
    const FileDescriptor root = openBundleRoot(bundle);
    const FileDescriptor folder = openBeneath(root.get(), signatureFolder, O_RDONLY | O_DIRECTORY);
    if (!folder.valid()) {
        if (errno == ENOENT) {
            return {false, "the bundle is not signed (no " + std::string(signatureFolder) + ")"};
        }
        if (errno == ENOTDIR || errno == ELOOP || errno == EXDEV) {
            return {false, std::string(signatureFolder) + " is not a folder"};
        }
        return {false, "cannot open " + std::string(signatureFolder) + ": " + reasonOf(errno)};
    }
    const std::string prefix = std::string(signatureFolder) + "/";
    const std::string manifest =
        readSmallFile(folder.get(), manifestName, maxManifestBytes, prefix + manifestName);
    const std::string signature =
        readSmallFile(folder.get(), signatureName, ed25519SignatureBytes, prefix + signatureName);
    const std::string publicKey =
        readSmallFile(folder.get(), publicKeyName, ed25519PublicKeyBytes, prefix + publicKeyName);
    std::vector<std::string> names = namesIn(folder.get(), signatureFolder);
    std::sort(names.begin(), names.end());
    if (names != std::vector<std::string>{manifestName, publicKeyName, signatureName}) {
        return {false, std::string(signatureFolder) + " holds other files than " + manifestName +
                           ", " + signatureName + " and " + publicKeyName};
    }
    if (signature.size() != ed25519SignatureBytes || publicKey.size() != ed25519PublicKeyBytes) {
        return {false, "the signature or the public key has the wrong size"};
    }
    if (!signatureMatches(manifest, signature, publicKey)) {
        return {false, "the signature does not match the manifest and the public key"};
    }
    std::vector<ManifestEntry> listed;
    try {
        listed = parseManifest(manifest);
    } catch (const ManifestError& error) {
        return {false, error.what()};
    }
    for (const auto& entry : listed) {
        if (entry.kind == Kind::link && !isLinkTargetInside(entry.path, entry.linkTarget)) {
            return {false, "the symbolic link " + quote(entry.path) + " points out of the bundle"};
        }
    }
    std::vector<ManifestEntry> found =
        BundleWalker(listed.size() + 1, "the bundle holds more entries than its manifest lists",
                     LinkRule::record)
            .walk(root.get());
    if (auto difference = firstDifference(listed, found)) {
        return {false, *difference};
    }
    hashFiles(root.get(), found);
    if (auto difference = firstChangedContent(listed, found)) {
        return {false, *difference};
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
    const Key key = loadPrivateKey(privateKeyFile);
    try {
        const FileDescriptor root = openBundleRoot(bundle);
        const FileDescriptor contents = openBeneath(root.get(), "Contents", O_RDONLY | O_DIRECTORY);
        if (!contents.valid()) {
            throw Rejection(quote(bundle.native()) + " has no Contents folder");
        }
        std::vector<ManifestEntry> entries =
            BundleWalker(maxManifestBytes / 16, "the bundle holds too many entries to sign",
                         LinkRule::refuseOutside)
                .walk(root.get());
        hashFiles(root.get(), entries);
        const std::string manifest = formatManifest(entries);
        if (manifest.size() > maxManifestBytes) {
            throw Rejection("the bundle has too many entries for a manifest");
        }
        writeSignatureFolder(bundle, manifest, signManifest(manifest, key.get()),
                             rawPublicKey(key.get()));
    } catch (const Rejection& rejection) {
        throw SigningError("Cannot sign the bundle: " + std::string(rejection.what()) + ".");
    }
}

void generateSigningKey(const fs::path& keyFile) {
    const ThreadStateRelease release;
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        throw SigningError("Cannot make a key: " + openSslReason() + ".");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    const int error =
        writeNewFile(keyFile, std::string_view(data, static_cast<size_t>(length)), 0600);
    if (error != 0) {
        throw SigningError("Cannot write the key file " + quote(keyFile.native()) + ": " +
                           reasonOf(error) + ".");
    }
}

}  // namespace codesign
