#pragma once

// The manifest of a bundle signature: one line per entry below the bundle's root, in canonical
// order, so that the same tree always gives the same bytes. Plain text:
//
//   vantorel-bundle-manifest 1
//   dir Contents
//   file Contents/Info.plist - 612 <64 lower-case hex digits of SHA-256>
//   file Contents/MacOS/Vantorel x 18342 <sha256>
//   link Contents/Frameworks/Current A
//   end 4
//
// Fields are separated by one space; every line ends with '\n'. Paths are relative, '/'-separated,
// without empty, "." or ".." components, and entries are sorted by the bytes of their paths
// (strictly, so no duplicates); every entry's parent folder is itself listed. In paths and link
// targets the bytes 0x00-0x20, '%' and 0x7F are written as %XX (upper-case hex) and no other byte
// is, so each tree has exactly one manifest. The last line counts the entries: a cut manifest never
// parses. This file uses only the standard library so that the fuzzer can build it alone.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

inline constexpr std::size_t maxManifestBytes = 32u << 20;
inline constexpr std::size_t maxPathBytes = 4096;

using Sha256 = std::array<std::uint8_t, 32>;

struct ManifestEntry {
    enum class Kind { folder, file, link };
    enum class Executable { no, yes };

    std::string path;  // decoded, relative to the bundle's root
    Kind kind = Kind::folder;
    Executable executable = Executable::no;  // files only
    std::uint64_t size = 0;                  // files only
    Sha256 sha256{};                         // files only
    std::string linkTarget;                  // links only, decoded

    friend bool operator==(const ManifestEntry&, const ManifestEntry&) = default;
};

// A manifest that does not follow the format; the text says what is wrong and on which line.
class ManifestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses a whole manifest. Throws ManifestError for anything that `formatManifest` would not have
// written: unknown lines, bad fields, non-canonical encoding, bad paths, wrong order, duplicates,
// entries whose folder is not listed, a missing or wrong end line, more than maxManifestBytes.
std::vector<ManifestEntry> parseManifest(std::string_view text);

// Reads a manifest one entry at a time, with the same checks, keeping only what the next line's
// checks need: a check can then compare as it reads and stop at the first difference, however
// many lines the manifest holds. `text` must outlive the reader.
class ManifestReader {
public:
    explicit ManifestReader(std::string_view text);  // checks the size and the first line
    ManifestReader(const ManifestReader&) = delete;
    ManifestReader& operator=(const ManifestReader&) = delete;
    ~ManifestReader();

    // The next entry, or nothing once the end line has been read (and checked). Throws
    // ManifestError.
    std::optional<ManifestEntry> next();

private:
    class Parser;
    std::unique_ptr<Parser> parser_;
};

// Writes entries (sorted by the caller, see pathLess) in the format above.
std::string formatManifest(const std::vector<ManifestEntry>& entries);

// The canonical order of manifest paths: by their bytes, as unsigned.
bool pathLess(std::string_view a, std::string_view b) noexcept;

// True for a relative path without empty, "." or ".." components and without NUL bytes.
bool isCleanRelativePath(std::string_view path) noexcept;

// True when a symbolic link at `linkPath` (relative to the bundle's root) with this target stays
// inside the bundle: the target is relative, non-empty, and its ".." components all come first and
// climb no higher than the root. Links inside the bundle obey the same rule, so following them from
// there never leads out either.
bool isLinkTargetInside(std::string_view linkPath, std::string_view target) noexcept;

// A path made safe to print on one line: control bytes appear as %XX.
std::string printablePath(std::string_view path);

}  // namespace codesign
