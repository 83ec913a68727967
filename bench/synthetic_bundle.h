#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace bench {

struct SyntheticBundleShape {
    std::uintmax_t executableBytes = 120ull << 20;
    int libraries = 40;
    std::uintmax_t libraryBytes = 2ull << 20;
    int resources = 3000;  // small files of 1 to 16 KiB in nested folders
    int links = 4;
    std::uint64_t seed = 20261206;  // bundles of different seeds differ in every file
};

// Writes an application bundle shaped like a real one (about 300 MiB by default) at `location`,
// which must not exist: Info.plist with the application's identifier, one large executable,
// libraries, many small resources, a few relative symbolic links. Contents are pseudo-random, so
// that no file system can compress or deduplicate them. Returns the total bytes written.
std::uintmax_t makeSyntheticBundle(const std::filesystem::path& location,
                                   const SyntheticBundleShape& shape = {});

// Median of a list of durations in seconds.
double median(std::vector<double> seconds);

}  // namespace bench
