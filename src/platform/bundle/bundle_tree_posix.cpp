#include "bundle_tree.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>

#include "code_signature.h"
#include "worker_pool.h"

namespace codesign {

namespace {

using Kind = ManifestEntry::Kind;
using Executable = ManifestEntry::Executable;

constexpr std::size_t hashBufferBytes = 256 << 10;

std::string reasonOf(int errorNumber) {
    return std::strerror(errorNumber);
}

// The names in a folder, without "." and "..".
std::vector<std::string> namesIn(int folder, const std::string& shownPath) {
    std::vector<std::string> names;
    if (const auto error = posix::readEntryNames(::fcntl(folder, F_DUPFD_CLOEXEC, 0), names)) {
        throw Rejection("cannot list " + quote(shownPath) + ": " + error.message());
    }
    return names;
}

std::string readLink(int folder, const std::string& name, const std::string& path) {
    std::string target;
    if (const auto error = posix::readLinkTarget(folder, name, target)) {
        throw Rejection("cannot read the symbolic link " + quote(path) + ": " + error.message());
    }
    if (target.size() > maxPathBytes) {
        throw Rejection("the target of the symbolic link " + quote(path) + " is too long");
    }
    return target;
}

class BundleWalker {
public:
    BundleWalker(LinkRule linkRule, const EntryVisitor& visit)
        : linkRule_(linkRule), visit_(visit) {}

    void walkFolder(int folder, const std::string& prefix) {
        struct Child {
            std::string name;
            struct stat st;
        };
        std::vector<Child> children;
        for (auto& name : namesIn(folder, prefix.empty() ? "." : prefix)) {
            const std::string path = joined(prefix, name);
            if (path == signatureFolder) {
                continue;
            }
            if (path.size() > maxPathBytes) {
                throw Rejection("the path " + quote(path) + " is too long");
            }
            struct stat st {};
            if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                throw Rejection("cannot read " + quote(path) + ": " + reasonOf(errno));
            }
            children.push_back({std::move(name), st});
        }
        // Whole paths in canonical order: a folder's own entry sorts by its name, the entries
        // inside it by its name + "/" (so "a.txt" comes between "a" and "a/b").
        struct Step {
            std::string key;
            const Child* child;
            bool inside;
        };
        std::vector<Step> steps;
        for (const Child& child : children) {
            steps.push_back({child.name, &child, false});
            if (S_ISDIR(child.st.st_mode)) {
                steps.push_back({child.name + "/", &child, true});
            }
        }
        std::sort(steps.begin(), steps.end(),
                  [](const Step& a, const Step& b) { return pathLess(a.key, b.key); });
        for (const Step& step : steps) {
            const std::string path = joined(prefix, step.child->name);
            if (!step.inside) {
                visit_(entryFor(folder, step.child->name, step.child->st, path));
                continue;
            }
            const FileDescriptor inner(::openat(folder, step.child->name.c_str(),
                                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inner.valid()) {
                throw Rejection("cannot open " + quote(path) + ": " + reasonOf(errno));
            }
            walkFolder(inner.get(), path);
        }
    }

private:
    static std::string joined(const std::string& prefix, const std::string& name) {
        return prefix.empty() ? name : prefix + "/" + name;
    }

    ManifestEntry entryFor(int folder, const std::string& name, const struct stat& st,
                           const std::string& path) const {
        ManifestEntry entry;
        entry.path = path;
        if (S_ISDIR(st.st_mode)) {
            return entry;
        }
        if (S_ISREG(st.st_mode)) {
            entry.kind = Kind::file;
            entry.size = static_cast<std::uint64_t>(st.st_size);
            entry.executable = (st.st_mode & 0111) != 0 ? Executable::yes : Executable::no;
            return entry;
        }
        if (!S_ISLNK(st.st_mode)) {
            throw Rejection(quote(path) + " is a special file (FIFO, socket or device)");
        }
        entry.kind = Kind::link;
        entry.linkTarget = readLink(folder, name, path);
        if (linkRule_ == LinkRule::refuseOutside && !isLinkTargetInside(path, entry.linkTarget)) {
            throw Rejection("the symbolic link " + quote(path) + " points out of the bundle");
        }
        return entry;
    }

    LinkRule linkRule_;
    const EntryVisitor& visit_;
};

struct DigestFree {
    void operator()(EVP_MD* digest) const noexcept { EVP_MD_free(digest); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

// What one thread needs to hash files: its own digest context and read buffer.
struct Hasher {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context{EVP_MD_CTX_new()};
    std::vector<unsigned char> buffer = std::vector<unsigned char>(hashBufferBytes);
};

Sha256 hashFile(int root, const FileToHash& entry, const EVP_MD* sha256, Hasher& hasher) {
    const FileDescriptor fd = posix::openBeneath(root, entry.path, O_RDONLY | O_NONBLOCK);
    if (!fd.valid()) {
        throw Rejection("cannot open " + quote(entry.path) + ": " + reasonOf(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Rejection(quote(entry.path) + " changed while it was read");
    }
    std::ignore = ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint
    if (!hasher.context || EVP_DigestInit_ex2(hasher.context.get(), sha256, nullptr) != 1) {
        throw Rejection("SHA-256 is not available");
    }
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = posix::readSome(fd.get(), hasher.buffer.data(), hasher.buffer.size());
        if (n < 0) {
            throw Rejection("cannot read " + quote(entry.path) + ": " + reasonOf(errno));
        }
        total += static_cast<std::uint64_t>(n);
        if (n == 0 || total > entry.size) {
            break;
        }
        EVP_DigestUpdate(hasher.context.get(), hasher.buffer.data(), static_cast<std::size_t>(n));
    }
    if (total != entry.size) {
        throw Rejection(quote(entry.path) + " changed in size");
    }
    Sha256 digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(hasher.context.get(), digest.data(), &length);
    return digest;
}

}  // namespace

std::string quote(std::string_view path) {
    return "\"" + printablePath(path) + "\"";
}

FileDescriptor openBundleRoot(const std::filesystem::path& bundle) {
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

void walkBundle(int root, LinkRule linkRule, const EntryVisitor& visit) {
    BundleWalker(linkRule, visit).walkFolder(root, "");
}

void hashFiles(int root, const std::vector<FileToHash>& files, const HashedFile& hashed) {
    std::vector<std::uint64_t> sizes;
    for (const auto& file : files) {
        sizes.push_back(file.size);
    }
    const std::unique_ptr<EVP_MD, DigestFree> sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!sha256) {
        throw Rejection("SHA-256 is not available");
    }
    const unsigned threads = workers::defaultThreadCount();
    std::vector<std::unique_ptr<Hasher>> hashers(threads);
    workers::runLargestFirst(sizes, threads, [&](std::size_t item, unsigned worker) {
        if (!hashers[worker]) {
            hashers[worker] = std::make_unique<Hasher>();
        }
        hashed(item, hashFile(root, files[item], sha256.get(), *hashers[worker]));
    });
}

}  // namespace codesign
