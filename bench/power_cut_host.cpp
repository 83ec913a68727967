// The host's half of the power-cut campaign (scripts/power-cut-campaign).
//
//   power_cut_host prepare FOLDER
//       Writes two signed versions of a bundle of a few thousand files, a and b, that differ in
//       every file: FOLDER/disk/payloads/{a,b}/Vantorel.app travel on the guest's disk, FOLDER/
//       reference-{a,b}/Vantorel.app are each installed by the engine as the guest installs them
//       (what a complete copy must equal), FOLDER/disk/Applications holds version a installed.
//   power_cut_host judge FOLDER EARLIER NEXT counted|not-counted
//       Judges the applications folder FOLDER after a cut of the installation of NEXT over
//       EARLIER (the reference copies); prints "outcome NAME allowed" or "outcome NAME VIOLATION",
//       then one line on the hidden copies found.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "code_signature.h"
#include "install_engine.h"
#include "payload_validator.h"
#include "power_cut_verdict.h"
#include "synthetic_bundle.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;

namespace {

// About 2,000 files and 19 MiB: a few thousand entries, small enough for an emulated machine.
bench::SyntheticBundleShape versionShape(unsigned seed) {
    return {.executableBytes = 1 << 20,
            .libraries = 4,
            .libraryBytes = 256 << 10,
            .resources = 2000,
            .links = 4,
            .seed = seed};
}

int prepare(const fs::path& folder) {
    fs::create_directories(folder);
    const fs::path key = folder / "signing-key.pem";
    codesign::generateSigningKey(key);
    for (const char* version : {"a", "b"}) {
        const fs::path payload = folder / "disk" / "payloads" / version / "Vantorel.app";
        const auto bytes =
            bench::makeSyntheticBundle(payload, versionShape(version[0] == 'a' ? 11u : 12u));
        codesign::signBundle(payload, key);
        InstallEngine::install(payload, folder / ("reference-" + std::string(version)),
                               validatePayload);
        std::printf("version %s: %.1f MiB, %lld entries\n", version,
                    static_cast<double>(bytes) / (1 << 20),
                    static_cast<long long>(testsupport::snapshotOf(payload).size()));
    }
    InstallEngine::install(folder / "disk" / "payloads" / "a" / "Vantorel.app",
                           folder / "disk" / "Applications", validatePayload);
    return 0;
}

int judge(const fs::path& folder, const fs::path& earlier, const fs::path& next,
          bench::Counted counted) {
    const bench::FolderAfterCut found = bench::readFolderAfterCut(folder);
    const QStringList earlierCopy = testsupport::snapshotOf(earlier);
    const QStringList nextCopy = testsupport::snapshotOf(next);
    const bench::CutOutcome outcome = bench::classifyCut(found, earlierCopy, nextCopy);
    std::printf("outcome %s %s\n", bench::outcomeName(outcome).data(),
                bench::outcomeAllowed(outcome, counted) ? "allowed" : "VIOLATION");
    std::printf("hidden: %zu backups, %zu staging copies\n", found.backups.size(),
                found.stagingCopies.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "prepare") == 0) {
            return prepare(argv[2]);
        }
        if (argc == 6 && std::strcmp(argv[1], "judge") == 0) {
            const bool counted = std::strcmp(argv[5], "counted") == 0;
            return judge(argv[2], argv[3], argv[4],
                         counted ? bench::Counted::yes : bench::Counted::no);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "power_cut_host: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: power_cut_host prepare FOLDER\n"
                 "       power_cut_host judge FOLDER EARLIER NEXT counted|not-counted\n");
    return 2;
}
