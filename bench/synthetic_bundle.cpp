#include "synthetic_bundle.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "bundle_factory.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

void writeRandomFile(const fs::path& path, std::uintmax_t bytes, std::mt19937_64& random,
                     fs::perms mode) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> block(1 << 15);  // 256 KiB
    for (std::uintmax_t left = bytes; left > 0;) {
        for (auto& word : block) {
            word = random();
        }
        const auto n = std::min<std::uintmax_t>(left, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
    fs::permissions(path, mode);
}

}  // namespace

std::uintmax_t makeSyntheticBundle(const fs::path& location, const SyntheticBundleShape& shape) {
    if (fs::exists(fs::symlink_status(location))) {
        throw std::runtime_error("already exists: " + location.string());
    }
    std::mt19937_64 random(20261206);
    const fs::path contents = location / "Contents";
    fs::create_directories(contents);
    testsupport::writeInfoPlist(location, {});
    std::uintmax_t total = 0;

    writeRandomFile(contents / "MacOS" / "Vantorel", shape.executableBytes, random,
                    fs::perms(0755));
    total += shape.executableBytes;
    for (int i = 0; i < shape.libraries; ++i) {
        const fs::path library = contents / "Frameworks" / ("libpart" + std::to_string(i) + ".so");
        writeRandomFile(library, shape.libraryBytes, random, fs::perms(0755));
        total += shape.libraryBytes;
    }
    std::uniform_int_distribution<std::uintmax_t> smallSize(1024, 16 * 1024);
    for (int i = 0; i < shape.resources; ++i) {
        const fs::path resource = contents / "Resources" / ("group" + std::to_string(i % 30)) /
                                  ("sub" + std::to_string(i % 7)) /
                                  ("resource" + std::to_string(i) + ".dat");
        const auto bytes = smallSize(random);
        writeRandomFile(resource, bytes, random, fs::perms(0644));
        total += bytes;
    }
    for (int i = 0; i < shape.links && i < shape.libraries; ++i) {
        fs::create_symlink("libpart" + std::to_string(i) + ".so",
                           contents / "Frameworks" / ("libalias" + std::to_string(i) + ".so"));
    }
    return total;
}

double median(std::vector<double> seconds) {
    if (seconds.empty()) {
        return 0;
    }
    std::sort(seconds.begin(), seconds.end());
    const size_t middle = seconds.size() / 2;
    return seconds.size() % 2 == 1 ? seconds[middle] : (seconds[middle - 1] + seconds[middle]) / 2;
}

}  // namespace bench
