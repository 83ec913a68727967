// Times InstallEngine::install on a bundle shaped like the real one, a first installation and a
// replacement, against `cp -a SOURCE DEST && sync -f DEST` (a copy that is on the disk, as the
// installation's is) and against plain `cp -a` of the same tree, in the same run.
//
//   bench_install [WORK_FOLDER]   (default /var/tmp; it must be on a disk, not a tmpfs)
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "install_engine.h"
#include "synthetic_bundle.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int rounds = 7;

void run(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0 ||
        ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(arguments[0] + " failed");
    }
}

void printLoad(const char* when) {
    double load[3] = {};
    if (::getloadavg(load, 3) == 3) {
        std::printf("load average %s: %.2f %.2f %.2f (%ld cores)\n", when, load[0], load[1],
                    load[2], ::sysconf(_SC_NPROCESSORS_ONLN));
    }
}

// Seconds that `operation` takes, starting with no dirty data of earlier runs in flight.
double secondsOf(const std::function<void()>& operation) {
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    operation();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("/var/tmp");
    QTemporaryDir work(base + "/bench_install-XXXXXX");
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    const fs::path root = work.path().toStdString();
    const fs::path source = root / "payload" / "Vantorel.app";
    const auto bytes = bench::makeSyntheticBundle(source);
    std::printf("bundle: %.0f MiB in %s\n", static_cast<double>(bytes) / (1 << 20), root.c_str());
    const auto noValidation = [](const fs::path&) {};

    std::vector<double> cp, cpSync, first, replacement;
    const std::vector<std::function<void(int)>> operations = {
        [&](int round) {
            const fs::path to = root / ("cp" + std::to_string(round));
            cp.push_back(secondsOf([&] { run({"cp", "-a", source, to}); }));
            fs::remove_all(to);
        },
        [&](int round) {
            const fs::path to = root / ("cpsync" + std::to_string(round));
            cpSync.push_back(secondsOf([&] {
                run({"cp", "-a", source, to});
                run({"sync", "-f", to});
            }));
            fs::remove_all(to);
        },
        [&](int round) {
            const fs::path directory = root / ("first" + std::to_string(round));
            first.push_back(
                secondsOf([&] { InstallEngine::install(source, directory, noValidation); }));
            fs::remove_all(directory);
        },
        [&](int round) {
            const fs::path directory = root / ("replacement" + std::to_string(round));
            InstallEngine::install(source, directory, noValidation);
            replacement.push_back(
                secondsOf([&] { InstallEngine::install(source, directory, noValidation); }));
            fs::remove_all(directory);
        },
    };
    // Each round runs the four in another order, so that none always comes first or last.
    printLoad("before");
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < operations.size(); ++i) {
            operations[(i + static_cast<size_t>(round)) % operations.size()](round);
        }
    }

    printLoad("after");
    const double synced = bench::median(cpSync), plain = bench::median(cp);
    std::printf("cp -a && sync -f    median %.3f s\n", synced);
    std::printf("cp -a               median %.3f s\n", plain);
    for (const auto& [name, seconds] :
         {std::pair{"first installation", &first}, std::pair{"replacement       ", &replacement}}) {
        const double median = bench::median(*seconds);
        std::printf("%s  median %.3f s  = %.2f x cp -a && sync -f, %.2f x cp -a\n", name, median,
                    median / synced, median / plain);
    }
    return 0;
}
