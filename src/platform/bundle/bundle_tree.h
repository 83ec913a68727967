#pragma once

// Walking and hashing a bundle's tree, for making and for checking its signature.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "file_handles.h"
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

using EntryVisitor = std::function<void(ManifestEntry&& entry)>;

// Calls `visit` for every entry below the open bundle folder `root` except the signature folder,
// in canonical order, without following links; file entries carry no digest. Only the folders on
// the way down are held, never the whole tree. Throws Rejection for special files, unreadable
// folders, overlong paths and link targets, and, with LinkRule::refuseOutside, symbolic links that
// lead out of the bundle; whatever `visit` throws ends the walk too.
void walkBundle(int root, LinkRule linkRule, const EntryVisitor& visit);

// A regular file to hash: its path below the bundle's root and the size it must still have.
struct FileToHash {
    std::string path;
    std::uint64_t size = 0;
};

// Streams every file through SHA-256 on several threads, largest first, and hands each digest to
// `hashed` with the file's index, on the hashing thread, one file at a time per thread. A file is
// opened below `root` without following links and must still be a regular file of its recorded
// size. Throws Rejection, or what `hashed` throws (which stops the rest).
using HashedFile = std::function<void(std::size_t index, const Sha256& digest)>;
void hashFiles(int root, const std::vector<FileToHash>& files, const HashedFile& hashed);

}  // namespace codesign
