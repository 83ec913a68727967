// The guest's half of the power-cut campaign (scripts/power-cut-campaign): runs as the only
// program of a small virtual machine whose power the host cuts. Installs SOURCE into FOLDER as
// the installer does (InstallEngine::install with the installer's payload check, then the removal
// of the replaced copy) and prints on the console, one line each:
//   started            the installation begins
//   counted            install returned: from here on the new copy must survive any cut
//   tidied clean       the replaced copy is removed and nothing hidden is left in FOLDER
//   tidied left NAMES  ... but these are left
//   failed: REASON     the installation (or the removal) failed
// With --no-flush every flush of the installation is skipped (the test seam answers as a file
// system that does not support flushing does), so that the campaign can show what it would find.
//
//   power_cut_guest FOLDER SOURCE [--no-flush]
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "application_bundle.h"
#include "file_manager.h"
#include "flush.h"
#include "install_engine.h"
#include "payload_validator.h"

namespace fs = std::filesystem;

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Names in `folder` other than "Vantorel.app", separated by spaces.
std::string leftovers(const fs::path& folder) {
    std::string names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != applicationBundleName) {
            names += (names.empty() ? "" : " ") + name;
        }
    }
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--no-flush") != 0)) {
        std::fprintf(stderr, "usage: power_cut_guest FOLDER SOURCE [--no-flush]\n");
        return 2;
    }
    const fs::path folder = argv[1];
    const fs::path source = argv[2];
    if (argc == 4) {
        files::setFlushFaultHookForTesting([](const fs::path&) { return EINVAL; });
    }
    try {
        say("started");
        const InstallResult result = InstallEngine::install(source, folder, validatePayload);
        say("counted");
        if (result.backup) {
            files::removeItem(*result.backup);
        }
        const std::string left = leftovers(folder);
        say(left.empty() ? "tidied clean" : "tidied left " + left);
    } catch (const std::exception& error) {
        say(std::string("failed: ") + error.what());
        return 1;
    }
    return 0;
}
