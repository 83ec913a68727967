#include "application_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bundle.h"
#include "file_error.h"
#include "file_manager.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// RAII for the two spawn descriptions, so that every path releases them.
struct SpawnSettings {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};

    SpawnSettings() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
};

fs::path executableOf(const fs::path& bundlePath) {
    const auto bundle = Bundle::open(bundlePath);
    if (!bundle) {
        throw LaunchError("Nie można otworzyć aplikacji " + files::quoted(bundlePath) +
                          ": w tym miejscu nie ma pakietu aplikacji.");
    }
    const auto executable = bundle->executableURL();
    if (!executable) {
        throw LaunchError("Nie można otworzyć aplikacji " + files::quoted(bundlePath) +
                          ": pakiet nie zawiera programu do uruchomienia.");
    }
    if (!files::isExecutableFile(*executable)) {
        throw LaunchError("Nie można otworzyć aplikacji " + files::quoted(bundlePath) + ": plik " +
                          files::quoted(*executable) + " nie jest programem wykonywalnym.");
    }
    return *executable;
}

// The caller's environment, with the working folder that a shell records (PWD, OLDPWD) made to
// agree with the root folder the application starts in: it must not name the folder the installer
// was started from, such as its disk image.
std::vector<std::string> environmentForApplication() {
    std::vector<std::string> entries{"PWD=/"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (!text.starts_with("PWD=") && !text.starts_with("OLDPWD=")) {
            entries.emplace_back(text);
        }
    }
    return entries;
}

// Starts the executable in a new session; returns its process identifier or throws.
pid_t spawnDetached(const fs::path& executable) {
    SpawnSettings settings;
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&settings.actions, descriptor, "/dev/null",
                                         descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&settings.actions, STDERR_FILENO + 1);
    // A working folder on the installer's disk image would keep that image from being ejected.
    posix_spawn_file_actions_addchdir_np(&settings.actions, "/");

    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&settings.attributes, &noSignals);
    posix_spawnattr_setsigdefault(&settings.attributes, &allSignals);
    posix_spawnattr_setflags(&settings.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string program = executable.string();
    char* const arguments[] = {const_cast<char*>(program.c_str()), nullptr};
    std::vector<std::string> environment = environmentForApplication();
    std::vector<char*> environmentPointers;
    for (std::string& entry : environment) {
        environmentPointers.push_back(entry.data());
    }
    environmentPointers.push_back(nullptr);
    pid_t pid = 0;
    // The C library reports a failed exec here, with its errno.
    const int error = ::posix_spawn(&pid, program.c_str(), &settings.actions, &settings.attributes,
                                    arguments, environmentPointers.data());
    if (error != 0) {
        throw startFailure(executable, error);
    }
    return pid;
}

// The started application stays our child until it ends; collecting its exit status keeps it from
// lingering as a zombie. The waiting thread ends with it, or with the installer.
void reapWhenItEnds(pid_t pid) {
    std::thread([pid] { std::ignore = ::waitpid(pid, nullptr, 0); }).detach();
}

}  // namespace

LaunchError startFailure(const fs::path& executable, int errorNumber) {
    return LaunchError("Nie udało się uruchomić " + files::quoted(executable) + ": " +
                       files::systemReason(errorNumber) + ".");
}

QFuture<void> openApplication(fs::path bundle, OpenConfiguration configuration) {
    // Window managers raise a newly mapped window themselves, so `activates` needs no request of
    // its own here.
    std::ignore = configuration;
    return QtConcurrent::run(
        [](QPromise<void>& promise, const fs::path& bundlePath) {
            try {
                reapWhenItEnds(spawnDetached(executableOf(bundlePath)));
            } catch (...) {
                promise.setException(std::current_exception());
            }
        },
        std::move(bundle));
}
