// Verification of a signed ~300 MiB bundle against its baseline: `openssl dgst -sha256` over the
// same files, run as two parallel processes that each take half of the bytes. Both run in the same
// process of measurement, alternately, with the files in the page cache.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "code_signature.h"
#include "synthetic_bundle.h"

namespace fs = std::filesystem;

namespace {

constexpr int rounds = 7;

template <typename Work>
double secondsOf(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes the bundle's regular files (outside the signature folder) as two NUL-separated lists of
// about equal bytes, largest files first into the lighter list.
void writeHalves(const fs::path& bundle, const fs::path& first, const fs::path& second) {
    std::vector<std::pair<std::uintmax_t, fs::path>> files;
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
        if (entry.is_regular_file(/*no links followed*/) && !entry.is_symlink() &&
            entry.path().native().find("_CodeSignature") == std::string::npos) {
            files.emplace_back(entry.file_size(), entry.path());
        }
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a > b; });
    std::ofstream out[2] = {std::ofstream(first), std::ofstream(second)};
    std::uintmax_t bytes[2] = {0, 0};
    for (const auto& [size, path] : files) {
        const int lighter = bytes[0] <= bytes[1] ? 0 : 1;
        bytes[lighter] += size;
        out[lighter] << path.native() << '\0';
    }
}

void runShell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

}  // namespace

int main() {
    std::string folderTemplate = (fs::temp_directory_path() / "bench_verify-XXXXXX").native();
    if (::mkdtemp(folderTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = folderTemplate;
    const fs::path bundle = folder / "Vantorel.app";
    const auto bytes = bench::makeSyntheticBundle(bundle);
    codesign::generateSigningKey(folder / "key.pem");
    codesign::signBundle(bundle, folder / "key.pem");
    writeHalves(bundle, folder / "first", folder / "second");
    const std::string baseline = "cd '" + folder.native() +
                                 "' && (xargs -0 -a first openssl dgst -sha256 >/dev/null & "
                                 "xargs -0 -a second openssl dgst -sha256 >/dev/null & wait)";

    std::vector<double> verifySeconds;
    std::vector<double> baselineSeconds;
    bool allValid = true;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms the page cache
        const double v =
            secondsOf([&] { allValid &= codesign::verifyBundleSignature(bundle).valid; });
        const double b = secondsOf([&] { runShell(baseline); });
        if (round >= 0) {
            verifySeconds.push_back(v);
            baselineSeconds.push_back(b);
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (!allValid) {
        std::fprintf(stderr, "the signed bundle did not verify\n");
        return 1;
    }

    const double mib = double(bytes) / double(1 << 20);
    const double ours = bench::median(verifySeconds);
    const double theirs = bench::median(baselineSeconds);
    std::printf("bundle: %.0f MiB; median of %d rounds, files in the page cache\n", mib, rounds);
    std::printf("verifyBundleSignature:                 %.3f s (%.0f MiB/s)\n", ours, mib / ours);
    std::printf("openssl dgst -sha256, 2 processes:     %.3f s (%.0f MiB/s)\n", theirs,
                mib / theirs);
    std::printf("ratio verify / baseline:               %.2f (target <= 1.10)\n", ours / theirs);
    return 0;
}
