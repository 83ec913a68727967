#include "running_applications.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>

#include "bundle.h"

namespace {

namespace fs = std::filesystem;

fs::path procEntry(pid_t pid) {
    return fs::path("/proc") / std::to_string(pid);
}

// Field 22 of /proc/PID/stat: the start time in clock ticks since boot. The command name (field
// 2) may hold spaces and parentheses, so the fields are counted after its last ')'.
std::optional<std::uint64_t> startTimeOf(pid_t pid) {
    std::ifstream stat(procEntry(pid) / "stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return std::nullopt;
    }
    const auto commandEnd = line.rfind(')');
    if (commandEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(commandEnd + 1));
    std::string field;
    // Fields 3 to 21 come before the start time.
    for (int index = 3; index <= 21; ++index) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
    }
    std::uint64_t startTime = 0;
    if (!(fields >> startTime)) {
        return std::nullopt;
    }
    return startTime;
}

std::optional<pid_t> processIdentifierOf(const char* name) {
    pid_t pid = 0;
    const char* end = name + std::char_traits<char>::length(name);
    const auto [rest, error] = std::from_chars(name, end, pid);
    if (error != std::errc() || rest != end || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

bool belongsToCurrentUser(pid_t pid) {
    struct stat st {};
    return ::stat(procEntry(pid).c_str(), &st) == 0 && st.st_uid == ::getuid();
}

// The bundle whose Contents/MacOS holds the executable, or nothing when it lies elsewhere.
std::optional<fs::path> bundleOfExecutable(const fs::path& executable) {
    const fs::path folder = executable.parent_path();
    const fs::path contents = folder.parent_path();
    const fs::path bundle = contents.parent_path();
    if (folder.filename() != "MacOS" || contents.filename() != "Contents" ||
        bundle.extension() != ".app") {
        return std::nullopt;
    }
    return bundle;
}

// Sends the signal only to the process that the handle names. The process descriptor pins the
// process that holds the identifier now; the start time read after opening it tells whether that
// is still the handle's process.
bool sendSignal(pid_t pid, std::uint64_t startTime, int signal) noexcept {
    try {
        const int descriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (descriptor < 0) {
            if (errno != ENOSYS) {
                return false;
            }
            // Without process descriptors a PID can be reused between the check and the signal;
            // the window is tiny, and the check still rules out every older reuse.
            return startTimeOf(pid) == startTime && ::kill(pid, signal) == 0;
        }
        const bool sameProcess = startTimeOf(pid) == startTime;
        const bool delivered =
            sameProcess && ::syscall(SYS_pidfd_send_signal, descriptor, signal, nullptr, 0) == 0;
        std::ignore = ::close(descriptor);
        return delivered;
    } catch (...) {
        return false;  // reading /proc failed: nothing is sent
    }
}

}  // namespace

std::vector<RunningApplication> RunningApplication::runningApplications(
    std::string_view bundleIdentifier) {
    std::vector<RunningApplication> found;
    // Several processes usually share one bundle: its Info.plist is read once per query.
    std::map<fs::path, bool> bundleMatches;

    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(proc)) {
        const auto pid = processIdentifierOf(entry->d_name);
        if (!pid || !belongsToCurrentUser(*pid)) {
            continue;
        }
        std::error_code error;
        const fs::path executable = fs::read_symlink(procEntry(*pid) / "exe", error);
        if (error) {
            continue;  // ended meanwhile, a kernel thread, or not ours to look at
        }
        const auto bundle = bundleOfExecutable(executable);
        if (!bundle) {
            continue;
        }
        auto [match, isNew] = bundleMatches.try_emplace(*bundle, false);
        if (isNew) {
            const auto opened = Bundle::open(*bundle);
            match->second = opened && opened->bundleIdentifier() == bundleIdentifier;
        }
        if (!match->second) {
            continue;
        }
        if (const auto startTime = startTimeOf(*pid)) {
            found.emplace_back(*pid, *startTime);
        }
    }
    ::closedir(proc);

    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::tuple(a.startTime(), a.processIdentifier()) <
               std::tuple(b.startTime(), b.processIdentifier());
    });
    return found;
}

bool RunningApplication::terminate() const noexcept {
    return sendSignal(processIdentifier_, startTime_, SIGTERM);
}

bool RunningApplication::forceTerminate() const noexcept {
    return sendSignal(processIdentifier_, startTime_, SIGKILL);
}
