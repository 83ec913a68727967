// Start-up of the installer against an empty Qt Quick window of the same size, measured in the
// same run: the time from starting the process to its first frame on screen, and its peak resident
// memory up to that frame. The installer draws with the software scene graph; the window it is
// held to uses the same, and a second empty window with Qt Quick's default graphics (OpenGL here)
// shows what that choice saves. Needs an X display; without one it runs itself under xvfb-run.
//
// bench_startup --against PROGRAM holds PROGRAM (the installer's copy inside the mounted disk
// image) to the installer of the build tree instead. --before-each COMMAND runs a shell command
// before every measured start of either program, for example one that mounts the image afresh, or
// one that also empties the page cache so that both programs start cold. --target RATIO is the
// target printed beside that comparison's ratio (1.2 by default; none for a figure without one).
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
constexpr double imageTarget =
    1.2;  // a copy from the disk image against the build tree's, by default
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

// Runs a shell command (such as one that mounts the disk image afresh) before a start.
void runBeforeStart(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("the command to run before each start failed: " + command);
    }
}

struct Options {
    std::optional<fs::path> against;
    std::string beforeEach;  // empty for none
    std::optional<double> againstTarget = imageTarget;
};

std::optional<double> parseTarget(const std::string& text) {
    if (text == "none") {
        return std::nullopt;
    }
    std::size_t used = 0;
    double ratio = 0;
    try {
        ratio = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || !(ratio > 0)) {
        throw std::runtime_error("--target takes a ratio above 0 or none, not '" + text + "'");
    }
    return ratio;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--against" && i + 1 < argc) {
            options.against = fs::path(argv[++i]);
        } else if (argument == "--before-each" && i + 1 < argc) {
            options.beforeEach = argv[++i];
        } else if (argument == "--target" && i + 1 < argc) {
            options.againstTarget = parseTarget(argv[++i]);
        } else {
            throw std::runtime_error(
                "usage: bench_startup [--against PROGRAM [--target RATIO|none]] "
                "[--before-each SHELL-COMMAND]");
        }
    }
    return options;
}

// Medians of start-up time and peak memory of each program, started in turn.
struct Medians {
    std::vector<double> ms;
    std::vector<double> mib;
};

Medians measureInTurn(const std::vector<Program>& programs, const fs::path& home,
                      const std::string& beforeEach) {
    // One start of each first, so that all find the QML and shader caches and the fonts warm.
    for (const Program& program : programs) {
        measure(program, home);
    }
    std::vector<std::vector<double>> seconds(programs.size()), mib(programs.size());
    for (int i = 0; i < runsPerProgram; ++i) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
            if (!beforeEach.empty()) {
                runBeforeStart(beforeEach);
            }
            const Run run = measure(programs[p], home);
            seconds[p].push_back(run.seconds);
            mib[p].push_back(run.peakMiB);
        }
    }
    Medians medians;
    for (std::size_t p = 0; p < programs.size(); ++p) {
        medians.ms.push_back(bench::median(seconds[p]) * 1000);
        medians.mib.push_back(bench::median(mib[p]));
    }
    return medians;
}

void printAgainstBaseline(const Medians& m, std::optional<double> target) {
    std::printf(
        "medians of %d starts each\n"
        "start to first frame: installer from the build tree %.0f ms, the other copy %.0f ms: "
        "ratio %.2f",
        runsPerProgram, m.ms[0], m.ms[1], m.ms[1] / m.ms[0]);
    if (target) {
        std::printf(" (target <= %.1f)", *target);
    }
    std::printf(
        "\npeak memory:          installer from the build tree %.1f MiB, the other copy %.1f MiB: "
        "ratio %.2f\n",
        m.mib[0], m.mib[1], m.mib[1] / m.mib[0]);
}

void printAgainstEmptyWindows(const Medians& m) {
    std::printf("medians of %d starts each; empty window = empty Qt Quick window, 520 x 480\n",
                runsPerProgram);
    std::printf(
        "start to first frame: installer %.0f ms, empty window %.0f ms: ratio %.2f "
        "(target <= %.1f); empty window with default graphics %.0f ms: ratio %.2f\n",
        m.ms[0], m.ms[1], m.ms[0] / m.ms[1], target, m.ms[2], m.ms[0] / m.ms[2]);
    std::printf(
        "peak memory:          installer %.1f MiB, empty window %.1f MiB: ratio %.2f "
        "(target <= %.1f); empty window with default graphics %.1f MiB: ratio %.2f\n",
        m.mib[0], m.mib[1], m.mib[0] / m.mib[1], target, m.mib[2], m.mib[0] / m.mib[2]);
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
    std::vector<char*> args{xvfbRun, automatic, server, screen};
    for (char** argument = argv; *argument != nullptr; ++argument) {
        args.push_back(*argument);  // this program and its own arguments
    }
    args.push_back(nullptr);
    execvp(xvfbRun, args.data());
    throw std::runtime_error(std::string("xvfb-run: ") + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        ensureDisplay(argv);
        const Program installer{VANTOREL_INSTALLER_PROGRAM, {}};
        std::vector<Program> programs{installer};
        if (options.against) {
            programs.push_back(Program{*options.against, {}});
        } else {
            programs.push_back(Program{VANTOREL_STARTUP_BASELINE, "software"});
            programs.push_back(Program{VANTOREL_STARTUP_BASELINE, {}});
        }
        char pattern[] = "/tmp/bench_startup.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        }
        const fs::path home = pattern;
        const Medians medians = measureInTurn(programs, home, options.beforeEach);
        std::error_code ignored;
        fs::remove_all(home, ignored);  // best effort: a temporary folder

        if (options.against) {
            printAgainstBaseline(medians, options.againstTarget);
        } else {
            printAgainstEmptyWindows(medians);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_startup: %s\n", error.what());
        return 1;
    }
}
