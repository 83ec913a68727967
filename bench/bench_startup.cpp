// Start-up of the installer against an empty Qt Quick window of the same size, measured in the
// same run: the time from starting the process to its first frame on screen, and its peak resident
// memory up to that frame. The installer draws with the software scene graph; the window it is
// held to uses the same, and a second empty window with Qt Quick's default graphics (OpenGL here)
// shows what that choice saves. Needs an X display; without one it runs itself under xvfb-run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "synthetic_bundle.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int runsPerProgram = 15;
constexpr double target = 1.3;
constexpr auto firstFrameTimeout = std::chrono::seconds(30);
// Printed by the scene graph's render loops ("Frame rendered with 'software' renderloop",
// "syncAndRender: frame rendered") once a frame has been rendered and shown.
constexpr const char* firstFrameMarker = "rame rendered";

struct Run {
    double seconds;
    double peakMiB;
};

// The environment of the measured programs: ours, plus a basic render loop that reports its
// frames, and a throwaway home folder.
std::vector<std::string> childEnvironment(const fs::path& home) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.starts_with("HOME=") || text.starts_with("XDG_") ||
            text.starts_with("QSG_RENDER_LOOP=") || text.starts_with("QT_LOGGING_RULES=")) {
            continue;
        }
        entries.push_back(text);
    }
    entries.push_back("HOME=" + home.string());
    entries.push_back("XDG_CACHE_HOME=" + (home / ".cache").string());
    entries.push_back("XDG_RUNTIME_DIR=" + home.string());
    entries.push_back("QSG_RENDER_LOOP=basic");
    entries.push_back("QT_LOGGING_RULES=qt.scenegraph.time.renderloop=true");
    return entries;
}

// Reads the child's standard error until the first-frame marker shows up.
bool waitForFirstFrame(int fd) {
    std::string pending;
    const auto deadline = Clock::now() + firstFrameTimeout;
    while (Clock::now() < deadline) {
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return false;  // the program ended before showing anything
        }
        pending.append(buffer, std::size_t(got));
        if (pending.find(firstFrameMarker) != std::string::npos) {
            return true;
        }
        // Keep only a tail long enough to hold a marker split across reads.
        if (pending.size() > 256) {
            pending.erase(0, pending.size() - 64);
        }
    }
    return false;
}

struct Program {
    fs::path path;
    std::string argument;  // empty for none
};

Run measure(const Program& program, const fs::path& home) {
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> environment = childEnvironment(home);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string path = program.path.string();
    std::string argument = program.argument;
    char* argv[] = {path.data(), argument.empty() ? nullptr : argument.data(), nullptr};

    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe[1]);
    if (spawned != 0) {
        close(pipe[0]);
        throw std::runtime_error("Cannot start " + path + ": " + std::strerror(spawned));
    }
    const bool shown = waitForFirstFrame(pipe[0]);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kill(pid, SIGKILL);
    close(pipe[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!shown) {
        throw std::runtime_error(path + " showed no frame within 30 s");
    }
    return Run{seconds, double(usage.ru_maxrss) / 1024.0};
}

// Re-runs this program under a virtual X server when there is no display.
void ensureDisplay(char** argv) {
    if (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr) {
        return;
    }
    std::fprintf(stderr, "No display: running under xvfb-run.\n");
    char xvfbRun[] = "xvfb-run";
    char automatic[] = "-a";
    char server[] = "-s";
    char screen[] = "-screen 0 1280x800x24 -noreset";
    char* args[] = {xvfbRun, automatic, server, screen, argv[0], nullptr};
    execvp(xvfbRun, args);
    throw std::runtime_error(std::string("xvfb-run: ") + std::strerror(errno));
}

}  // namespace

int main(int, char** argv) {
    try {
        ensureDisplay(argv);
        const Program installer{VANTOREL_INSTALLER_PROGRAM, {}};
        const Program baseline{VANTOREL_STARTUP_BASELINE, "software"};
        const Program defaultGraphics{VANTOREL_STARTUP_BASELINE, {}};
        char pattern[] = "/tmp/bench_startup.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        }
        const fs::path home = pattern;

        // One start of each first, so that all find the QML and shader caches and the fonts warm.
        const std::vector<Program> programs{installer, baseline, defaultGraphics};
        for (const Program& program : programs) {
            measure(program, home);
        }
        std::vector<std::vector<double>> seconds(programs.size()), mib(programs.size());
        for (int i = 0; i < runsPerProgram; ++i) {
            for (std::size_t p = 0; p < programs.size(); ++p) {
                const Run run = measure(programs[p], home);
                seconds[p].push_back(run.seconds);
                mib[p].push_back(run.peakMiB);
            }
        }
        std::error_code ignored;
        fs::remove_all(home, ignored);  // best effort: a temporary folder

        const auto ms = [&](std::size_t p) { return bench::median(seconds[p]) * 1000; };
        const auto peak = [&](std::size_t p) { return bench::median(mib[p]); };
        std::printf("medians of %d starts each; empty window = empty Qt Quick window, 520 x 480\n",
                    runsPerProgram);
        std::printf(
            "start to first frame: installer %.0f ms, empty window %.0f ms: ratio %.2f "
            "(target <= %.1f); empty window with default graphics %.0f ms: ratio %.2f\n",
            ms(0), ms(1), ms(0) / ms(1), target, ms(2), ms(0) / ms(2));
        std::printf(
            "peak memory:          installer %.1f MiB, empty window %.1f MiB: ratio %.2f "
            "(target <= %.1f); empty window with default graphics %.1f MiB: ratio %.2f\n",
            peak(0), peak(1), peak(0) / peak(1), target, peak(2), peak(0) / peak(2));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_startup: %s\n", error.what());
        return 1;
    }
}
