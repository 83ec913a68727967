// Runs one installation and nothing else, so that a test can kill it at any moment. Prints
// "ready" just before the installation starts.
#include <cstdio>
#include <exception>

#include "install_engine.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: install_child SOURCE DIRECTORY\n", stderr);
        return 2;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    try {
        InstallEngine::install(argv[1], argv[2], [](const std::filesystem::path&) {});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
