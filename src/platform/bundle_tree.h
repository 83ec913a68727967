#pragma once

// Walking and hashing a bundle's tree, for making and for checking its signature.

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "posix_file.h"
#include "signature_manifest.h"

namespace codesign {

// A bundle that cannot be signed or whose signature does not hold; the text is one line.
class Rejection : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path in double quotes, printable on one line.
std::string quote(std::string_view path);

// Opens the bundle's folder, never through a symbolic link, not even one at a path that ends in
// "/". Throws Rejection.
FileDescriptor openBundleRoot(const std::filesystem::path& bundle);

enum class LinkRule { refuseOutside, record };

struct WalkLimit {
    std::size_t maxEntries;
    std::string tooManyEntries;  // the reason given beyond maxEntries
};

// Lists every entry below the open bundle folder `root` except the signature folder, in canonical
// order, without following links; file entries carry no digest yet. Throws Rejection for special
// files, unreadable folders, overlong paths and link targets, more entries than the limit, and,
// with LinkRule::refuseOutside, symbolic links that lead out of the bundle.
std::vector<ManifestEntry> walkBundle(int root, const WalkLimit& limit, LinkRule linkRule);

// Streams every file entry through SHA-256 on several threads, largest first, and stores each
// digest in its entry. A file is opened below `root` without following links and must still be a
// regular file of its recorded size. Throws Rejection.
void hashFiles(int root, std::vector<ManifestEntry>& entries);

}  // namespace codesign
