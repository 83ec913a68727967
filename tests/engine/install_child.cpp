// Runs one installation and nothing else, so that a test can kill it at any moment. Prints
// "ready" just before the installation starts and "installed" when it returned, and lingers
// PAUSE_MS between moving the earlier copy aside and moving the new one into place, so that kills
// land there too.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "application_bundle.h"
#include "file_manager.h"
#include "install_engine.h"

// Arguments: SOURCE DIRECTORY PAUSE_MS.
int main(int, char** argv) {
    files::setMoveFaultHookForTesting([pause = std::stoi(argv[3])](const auto& from, const auto&) {
        if (from.filename().string().starts_with(stagingNamePrefix)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        }
        return 0;
    });
    std::puts("ready");
    std::fflush(stdout);
    try {
        InstallEngine::install(argv[1], argv[2], [](const std::filesystem::path&) {});
        std::puts("installed");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
